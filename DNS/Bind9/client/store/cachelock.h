// The lock that the runs of one cache file take turns on while one of them fetches.
#pragma once

#include <chrono>
#include <string>

#include "base/bounds.h"
#include "base/fd.h"

namespace corvane {

/// An exclusive lock on the lock file beside the cache file at `path`, held while one run
/// fetches and writes the cache so that runs started together cost the server one fetch.
/// Released when destroyed.
struct CacheLock {
  Fd file;

  bool held() const { return static_cast<bool>(file); }
  void release() { file.close(); }
};

/// Takes the lock of the cache file at `path`, waiting at most `wait` for the run that holds
/// it. Never fails: a lock that cannot be had (no permission, a foreign file at the lock's
/// path, the wait exceeded) comes back not held, and the run goes on without it.
CacheLock lockcache(const std::string& path, std::chrono::milliseconds wait = LOCKWAIT);

}  // namespace corvane
