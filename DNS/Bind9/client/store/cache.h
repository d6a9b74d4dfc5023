// The statistics cache: the last fetched document, kept in one JSON file shared by all runs.
#pragma once

#include <string>

#include "bounds.h"
#include "store/cacheindex.h"
#include "store/document.h"

namespace corvane {

/// Path of the cache file.
inline constexpr const char* JSONFILE = "/tmp/corvane.json";

/// Whether the file at `path` is at most `life` old at time `now` (seconds since the epoch).
/// A file that cannot be found is stale; a modification time ahead of `now` is fresh. A file
/// that is not a regular file, or belongs to neither this user nor root, is stale too: anyone
/// can plant one in a shared directory, and it is never answered from.
bool cachefresh(const std::string& path, double now, Seconds life = CACHELIFE);

/// The current wall-clock time in seconds since the epoch, with fractions.
double wallclock();

/// The part of the document held in the cache file that `need` names. Where the index beside
/// the file was written for this very file, only the bytes of that part are read. Otherwise
/// all of the file is read and checked, whatever the need: a file that cannot be read, is not a
/// regular file owned by this user or root, is larger than MAXCACHEBYTES, or is not one
/// complete JSON object is a Failure naming the path and the reason. Never blocks on what sits
/// at `path` or beside it.
Reading readcache(const std::string& path, const Need& need = Need());

/// Replaces the cache file with the JSON form of `doc`, then its index. The text goes to a new
/// file beside it that is then renamed over `path`, so a concurrent reader sees the old or the
/// new text, never a part, and a link planted at `path` is replaced, not followed. A new file
/// gets read and write for all less the umask; a regular file that is replaced passes its
/// permissions on (and, when root writes, its owner). On failure the old file stays as it was,
/// no temporary file is left, and a Failure names the path and the system's reason. The index
/// is written the same way, but a failure to write it is no failure of the run: a poll that
/// finds no index for the file reads the file.
void writecache(const std::string& path, const Document& doc);

/// An exclusive lock on the file `path` + ".lock", held while one run fetches and writes the
/// cache so that runs started together cost the server one fetch. Released when destroyed.
class CacheLock {
 public:
  CacheLock() = default;
  explicit CacheLock(int fd) : fd_(fd) {}
  CacheLock(CacheLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  CacheLock& operator=(CacheLock&& other) noexcept;
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;
  ~CacheLock() { release(); }

  bool held() const { return fd_ >= 0; }
  void release();

 private:
  int fd_ = -1;
};

/// Takes the lock of the cache file at `path`, waiting at most `wait` for the run that holds
/// it. Never fails: a lock that cannot be had (no permission, a foreign file at the lock's
/// path, the wait exceeded) comes back not held, and the run goes on without it.
CacheLock lockcache(const std::string& path, Seconds wait = LOCKWAIT);

}  // namespace corvane
