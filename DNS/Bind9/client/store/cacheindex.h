// The index beside the cache file: where each section and each zone stands in it, so that a
// poll reads only the bytes of its answer, whatever the size of the server.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>

#include "store/document.h"
#include "store/jsonform.h"
#include "store/zonenames.h"

namespace corvane {

/// The bytes of the index of a cache file that holds the JSON form of `doc`, laid out as
/// `layout` says, and whose status once in place is `st`: it serves that file and no other.
/// Empty when the index would be larger than MAXINDEXBYTES.
std::string makeindex(const struct stat& st, const Document& doc, const Layout& layout);

/// Where the value of one member stands in the cache file, as the index says.
struct IndexEntry {
  bool present = false;  // false: the index holds no such name
  std::string name;
  uint64_t begin = 0;
  uint64_t end = 0;
};

/// An index open for reading, found to serve one cache file. Every read checks what it reads:
/// an entry that is damaged or points outside the cache file comes back as nothing.
class CacheIndex {
 public:
  /// The words of the header, as the format counts them.
  static constexpr size_t HEADERWORDS = 17;

  /// The index open at `fd` when it is one of this program's, a regular file of this user or
  /// root, and written for the cache file whose status is `cache`; nothing otherwise.
  static std::optional<CacheIndex> open(int fd, const struct stat& cache);

  /// The section `name`, present or not.
  std::optional<IndexEntry> section(std::string_view name) const;
  /// The zone `name`, present or not.
  std::optional<IndexEntry> zone(std::string_view name) const;
  /// The zones that hold counters, as the cache file gives their names back.
  std::optional<ZoneNames> countedzones() const;
  /// Where the text after the zones begins when they come first, 0 otherwise: with "{" before
  /// it, it is the document less the zones.
  uint64_t tail() const;
  /// The size of the cache file it serves.
  uint64_t cachesize() const { return cachesize_; }

 private:
  CacheIndex() = default;
  bool read(void* into, size_t n, uint64_t at) const;
  bool namefits(uint64_t at, uint64_t length) const;
  std::optional<IndexEntry> decode(const char* raw, const std::string* known) const;

  int fd_ = -1;
  std::string head_;     // its first bytes
  uint64_t header_[HEADERWORDS];
  uint64_t names_ = 0;   // where the names begin
  uint64_t counted_ = 0; // where the zones that hold counters begin
  uint64_t cachesize_ = 0;
};

}  // namespace corvane
