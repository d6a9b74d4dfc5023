// The outcome of a fetch that failed, kept beside the cache file, so that the runs that come
// after it share the failure as they share a document, instead of asking the server again.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "base/bounds.h"
#include "base/ending.h"

namespace corvane {

/// Keeps `ending`, how the fetch that failed at `when` ended its run, beside the cache file at
/// `cache`: written through a new file renamed over the old, readable by all users' runs (it
/// holds what any of them would print). Where another user's record stands there that this
/// user may not replace, this user's record goes beside it under a name with this user's
/// number. A record that cannot be written is no failure of the run: the runs after it fetch
/// again.
void recordoutcome(const std::string& cache, const Ending& ending, WallClock::time_point when);

/// The ending of a fetch that failed at most `life` before `now`, as recordoutcome kept it (the
/// later of two).
/// Nothing when there is none, when it is older or dated after `now` (the clock was set back),
/// and when it is damaged, larger than MAXOUTCOMEBYTES, a link, not a regular file, or neither
/// this user's nor root's.
std::optional<Ending> recentoutcome(const std::string& cache, WallClock::time_point now,
                                    std::chrono::milliseconds life = FAILURELIFE);

/// Removes the outcome kept beside the cache file: a fetch that succeeded ends it.
void clearoutcome(const std::string& cache);

}  // namespace corvane
