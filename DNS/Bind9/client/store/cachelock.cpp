#include "store/cachelock.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "base/atomicfile.h"
#include "base/beside.h"

namespace corvane {

namespace {

constexpr mode_t LOCKMODE = 0644;

bool sameinode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The lock file, opened for reading: never through a link (O_CREAT would create its target),
// never blocking on a FIFO. Nothing when none can be had here.
Fd openlock(const std::string& lock, struct stat& st) {
  int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  Fd file(::open(lock.c_str(), flags | O_CREAT, LOCKMODE));
  // A sticky directory may refuse O_CREAT on another user's file that exists; the lock is
  // shared between users all the same.
  if (!file && errno == EACCES) file = Fd(::open(lock.c_str(), flags));
  if (!file || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Fd();
  // The file-creation mask must not keep other users' runs from opening it.
  if (st.st_uid == ::geteuid() && (st.st_mode & 0777) != LOCKMODE) ::fchmod(file.get(), LOCKMODE);
  return file;
}

// Whether the lock at `lock` is still the file open as `st`: one replaced or removed since
// serves no one.
bool current(const std::string& lock, const struct stat& st) {
  struct stat now;
  return ::lstat(lock.c_str(), &now) == 0 && sameinode(now, st);
}

bool wedged(const struct stat& st) { return WallClock::now() - modified(st) > RUNLIMIT; }

// A new lock file in the place of one that a stopped run holds. Where this user may not
// replace it, the runs wait on it as long as it is held.
void replace(const std::string& lock) {
  try {
    AtomicFile fresh(lock, "lock file " + lock);
    fresh.setmode(LOCKMODE);
    fresh.commit();
  } catch (const std::exception&) {
  }
}

}  // namespace

CacheLock lockcache(const std::string& path, Deadline deadline) {
  const std::string lock = lockpath(path);
  struct stat st;
  Fd file = openlock(lock, st);
  if (!file) return CacheLock{};
  // flock has no timeout of its own; polling keeps the wait bounded without signals.
  std::chrono::nanoseconds pause = 1ms;
  bool replaced = false;
  for (;;) {
    if (::flock(file.get(), LOCK_EX | LOCK_NB) == 0) {
      if (current(lock, st)) {
        ::futimens(file.get(), nullptr);  // when it was taken, for the runs that wait
        return CacheLock{std::move(file), CacheLock::HELD};
      }
    } else if (errno == EINTR) {
      continue;
    } else if (errno != EWOULDBLOCK) {
      return CacheLock{};
    } else if (!replaced && current(lock, st) && ::fstat(file.get(), &st) == 0 && wedged(st)) {
      replace(lock);
      replaced = true;
    }
    auto left = deadline - SteadyClock::now();
    if (left <= 0s) return CacheLock{Fd(), CacheLock::BUSY};
    // A lock file replaced since it was opened is taken anew at once.
    if (!current(lock, st)) {
      file = openlock(lock, st);
      if (!file) return CacheLock{};
      continue;
    }
    std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(pause, left));
    pause = std::min<std::chrono::nanoseconds>(pause * 2, 50ms);
  }
}

}  // namespace corvane
