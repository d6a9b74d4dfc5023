// What both extractors read alike.
#include "acquire/extract.h"

namespace corvane {

const std::vector<std::string>& extractedpaths() {
  static const std::vector<std::string> paths = {
      // Schema 3 (extractv3.cpp).
      "server/counters/counter",
      "views/view/counters/counter",
      "views/view/cache/rrset/name",
      "views/view/cache/rrset/counter",
      "views/view/zones/zone/counters/*",
      "memory/summary/*",
      // Schema 2 (extractv2.cpp), and bind/statistics for detection.
      "bind/statistics/views/view/name",
      "bind/statistics/views/view/zones/zone/name",
      "bind/statistics/views/view/zones/zone/counters/*",
      "bind/statistics/views/view/resstat/name",
      "bind/statistics/views/view/resstat/counter",
      "bind/statistics/views/view/cache/rrset/name",
      "bind/statistics/views/view/cache/rrset/counter",
      "bind/statistics/views/view/rdtype/name",
      "bind/statistics/views/view/rdtype/counter",
      "bind/statistics/server/nsstat/name",
      "bind/statistics/server/nsstat/counter",
      "bind/statistics/server/zonestat/name",
      "bind/statistics/server/zonestat/counter",
      "bind/statistics/server/sockstat/name",
      "bind/statistics/server/sockstat/counter",
      "bind/statistics/server/queries-in/rdtype/name",
      "bind/statistics/server/queries-in/rdtype/counter",
      "bind/statistics/memory/summary/*",
  };
  return paths;
}

void memorysummary(const Tree& tree, ElementId root, std::string_view path, Document& doc) {
  Map& memory = section(doc, Section::MEMORY);
  for (ElementId entry : findall(tree, root, path))
    memory.set(Key(tree.name(entry)), owntext(tree, entry));
}

}  // namespace corvane
