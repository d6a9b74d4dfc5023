#include "base/mapped.h"

#include <sys/mman.h>
#include <unistd.h>

namespace corvane {

std::optional<Mapped> Mapped::map(int fd, size_t size) {
  const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  // Zeros beyond the file: the rest of its last page, and a page more where it ends on one's end.
  const size_t length = (size / page + 1) * page;
  void* area = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) return std::nullopt;
  if (size > 0 && ::mmap(area, size, PROT_READ, MAP_PRIVATE | MAP_FIXED | MAP_POPULATE, fd, 0) == MAP_FAILED) {
    ::munmap(area, length);
    return std::nullopt;
  }
  return Mapped(area, length, size);
}

Mapped::~Mapped() {
  if (area_) ::munmap(area_, length_);
}

}  // namespace corvane
