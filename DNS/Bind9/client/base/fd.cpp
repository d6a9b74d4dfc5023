#include "base/fd.h"

#include <cerrno>
#include <unistd.h>

namespace corvane {

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.release();
  }
  return *this;
}

int Fd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

int Fd::close() {
  if (fd_ < 0) return 0;
  int err = ::close(release()) == 0 ? 0 : errno;
  return err == EINTR ? 0 : err;  // Linux closes the descriptor all the same
}

ssize_t readat(int fd, void* into, size_t n, uint64_t at) {
  auto* p = static_cast<char*>(into);
  size_t done = 0;
  while (done < n) {
    ssize_t got = ::pread(fd, p + done, n - done, static_cast<off_t>(at + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

int writeall(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

}  // namespace corvane
