// The two clocks of a run, and file times on the one that they follow.
#pragma once

#include <chrono>
#include <sys/stat.h>

namespace corvane {

/// Freshness is a matter of the wall clock, which file times follow; every wait of a run is
/// measured on the steady clock, which no one can set back.
using WallClock = std::chrono::system_clock;
using SteadyClock = std::chrono::steady_clock;
using Deadline = SteadyClock::time_point;

/// When the file whose status is `st` was last modified, on the wall clock.
inline WallClock::time_point modified(const struct stat& st) {
  return WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(
      std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
}

}  // namespace corvane
