// A file mapped into memory for reading, with a NUL byte after its last.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace corvane {

/// The first `size` bytes of the file open at `fd`, read-only in memory, followed by at least
/// one NUL byte: what a reader that stops at NUL may scan many bytes at a time without reading
/// past the mapping. Unmapped when destroyed.
class Mapped {
 public:
  static std::optional<Mapped> map(int fd, size_t size);
  Mapped(Mapped&& other) noexcept : area_(other.area_), length_(other.length_), size_(other.size_) {
    other.area_ = nullptr;
  }
  Mapped(const Mapped&) = delete;
  Mapped& operator=(const Mapped&) = delete;
  Mapped& operator=(Mapped&&) = delete;
  ~Mapped();

  std::string_view text() const { return {static_cast<const char*>(area_), size_}; }

 private:
  Mapped(void* area, size_t length, size_t size) : area_(area), length_(length), size_(size) {}
  void* area_;
  size_t length_;
  size_t size_;
};

}  // namespace corvane
