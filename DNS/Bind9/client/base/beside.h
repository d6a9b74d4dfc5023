// The names of the files kept beside the cache file, every one derived from the cache path.
#pragma once

#include <string>

namespace corvane {

/// The directory that holds `path`, where the files kept beside it are.
std::string directoryof(const std::string& path);

/// Where the index of the cache file at `cache` is kept.
std::string indexpath(const std::string& cache);

/// The lock that the runs of one cache file take turns on.
std::string lockpath(const std::string& cache);

/// Where the outcome of the last failed fetch is kept, for the runs that come after it.
std::string outcomepath(const std::string& cache);

/// A name beside `target` for the new file that will replace it: the target's name, ".new.",
/// the number of this process and six letters, so that no other run picks it at the same
/// moment (the creation with O_EXCL settles the rest); `attempt` counts the names already
/// taken.
std::string temporaryname(const std::string& target, unsigned attempt);

/// Removes this user's temporary files of the cache file at `cache` and of the files beside it
/// that no run can still be writing: those of a process that has ended, and those older than
/// the run limit. Never a link, never another user's file.
void removeleftovers(const std::string& cache);

}  // namespace corvane
