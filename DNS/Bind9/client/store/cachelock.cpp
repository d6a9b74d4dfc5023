#include "store/cachelock.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>

#include "base/beside.h"

namespace corvane {

CacheLock lockcache(const std::string& path, std::chrono::milliseconds wait) {
  std::string lock = lockpath(path);
  // Never through a link (O_CREAT would create its target), never blocking on a FIFO.
  int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  Fd file(::open(lock.c_str(), flags | O_CREAT, 0666));
  // A sticky directory may refuse O_CREAT on another user's file that exists; the lock is
  // shared between users all the same.
  if (!file && errno == EACCES) file = Fd(::open(lock.c_str(), flags));
  struct stat st;
  if (!file || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return CacheLock();

  // flock has no timeout of its own; polling keeps the wait bounded without signals.
  const Deadline deadline = SteadyClock::now() + wait;
  std::chrono::nanoseconds pause = 1ms;
  for (;;) {
    if (::flock(file.get(), LOCK_EX | LOCK_NB) == 0) return CacheLock{std::move(file)};
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return CacheLock();
    auto left = deadline - SteadyClock::now();
    if (left <= 0s) return CacheLock();
    std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(pause, left));
    pause = std::min<std::chrono::nanoseconds>(pause * 2, 50ms);
  }
}

}  // namespace corvane
