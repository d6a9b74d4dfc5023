// A file descriptor with one owner, and the loops that read and write through one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <sys/types.h>

namespace corvane {

/// Owns a descriptor: closes it on every way out of a scope, unless it was closed or released.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { close(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  /// Gives the descriptor up without closing it.
  int release();
  /// Closes it now: 0, or the error that close reported (some file systems report a full disk
  /// only then).
  int close();

 private:
  int fd_ = -1;
};

/// Reads from offset `at` into `into` until `n` bytes are read or the file ends: the number
/// read, or -1 with errno set. An interrupted read goes on where it was.
ssize_t readat(int fd, void* into, size_t n, uint64_t at);

/// Writes all of `text`: 0, or the error that stopped it. An interrupted write goes on.
int writeall(int fd, std::string_view text);

}  // namespace corvane
