// The names of the files kept beside the cache file, every one derived from the cache path.
#pragma once

#include <string>

namespace corvane {

/// Where the index of the cache file at `cache` is kept.
std::string indexpath(const std::string& cache);

/// The lock that the runs of one cache file take turns on.
std::string lockpath(const std::string& cache);

/// A name beside `target` for the new file that will replace it, one that no other run picks
/// at the same moment (the creation with O_EXCL settles the rest); `attempt` counts the names
/// already taken.
std::string temporaryname(const std::string& target, unsigned attempt);

}  // namespace corvane
