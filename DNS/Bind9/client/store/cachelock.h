// The lock that the runs of one cache file take turns on while one of them fetches.
#pragma once

#include <cstdint>
#include <string>

#include "base/bounds.h"
#include "base/fd.h"

namespace corvane {

/// A lock on the lock file beside the cache file, held while one run fetches and writes the
/// cache (or records why it could not), so that runs started together cost the server one
/// request. Released when destroyed.
struct CacheLock {
  enum State : uint8_t {
    HELD,
    UNAVAILABLE,  ///< no lock can be had here (no permission, a foreign file at its path)
    BUSY,         ///< another run held it until the deadline
  };
  Fd file;
  State state = UNAVAILABLE;

  bool held() const { return static_cast<bool>(file); }
  void release() { file.close(); }
};

/// Takes the lock of the cache file at `path`, waiting until `deadline` for the run that holds
/// it. The lock file holds no data: it is opened for reading only and made readable by all,
/// so that every user's runs take turns on it whoever created it. The run that takes it marks
/// the file's time; a lock marked longer than RUNLIMIT ago belongs to a run that has stopped
/// (or is stuck in the kernel), and is replaced by a new one for the runs after it.
CacheLock lockcache(const std::string& path, Deadline deadline);

}  // namespace corvane
