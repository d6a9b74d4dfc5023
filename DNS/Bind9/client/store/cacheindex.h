// The index beside the cache file: where each section and each zone stands in it, so that a
// poll reads only the bytes of its answer, whatever the size of the server.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

#include "store/document.h"
#include "store/jsonform.h"

namespace corvane {

/// The names of the zones that hold counters, in the document's order, as the cache file gives
/// them back (a null key reads as the text null).
struct ZoneNames {
  std::string bytes;           // the names, one after the other
  std::vector<uint32_t> ends;  // where each ends in `bytes`

  size_t size() const { return ends.size(); }
  std::string_view operator[](size_t i) const {
    uint32_t begin = i == 0 ? 0 : ends[i - 1];
    return std::string_view(bytes).substr(begin, ends[i] - begin);
  }
};

/// What a poll read of the statistics: the part of the document that its answer looks at, and,
/// where the index kept them for an outline of the zones, the names of the zones that hold
/// counters (the document's `zones` is then left empty).
struct Reading {
  Document doc;
  std::optional<ZoneNames> counted;
};

/// Where the index of the cache file at `cachepath` is kept.
std::string indexpath(const std::string& cachepath);

/// The bytes of the index of a cache file that holds the JSON form of `doc`, laid out as
/// `layout` says, and whose status once in place is `st`: it serves that file and no other.
/// Empty when the index would be larger than MAXINDEXBYTES.
std::string makeindex(const struct stat& st, const Document& doc, const Layout& layout);

/// What `need` asks of the cache file open at `cache`, whose status is `st`, read through the
/// index open at `index`: only the bytes of the part asked for, each slice read with readjson.
/// Nothing when the index is not one of this program's, was written for another file, or points
/// at bytes that do not hold what it says: the whole file then answers, never a wrong part.
std::optional<Reading> readindexed(int index, int cache, const struct stat& st, const Need& need);

}  // namespace corvane
