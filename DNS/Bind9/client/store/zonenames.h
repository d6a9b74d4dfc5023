// The names of the zones that discovery lists, one after the other in one text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/document.h"

namespace corvane {

/// The names of the zones that hold counters, in the document's order: kept in one text, so
/// that ten thousand of them cost two allocations, as the index holds them.
struct ZoneNames {
  std::string bytes;           // the names, one after the other
  std::vector<uint32_t> ends;  // where each ends in `bytes`
  std::vector<bool> null;      // which are the null key; empty when none is

  size_t size() const { return ends.size(); }
  std::string_view operator[](size_t i) const {
    uint32_t begin = i == 0 ? 0 : ends[i - 1];
    return std::string_view(bytes).substr(begin, ends[i] - begin);
  }
  bool isnull(size_t i) const { return i < null.size() && null[i]; }
};

/// Whether a zone's value holds counters: a map that is not empty, or one kept packed.
bool holdscounters(const Value& zone);

/// The zones of `zones` that hold counters.
ZoneNames countedzones(const Map& zones);

}  // namespace corvane
