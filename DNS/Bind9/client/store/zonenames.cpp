#include "store/zonenames.h"

namespace corvane {

ZoneNames countedzones(const Map& zones) {
  ZoneNames names;
  for (const Member& zone : zones.members()) {
    const Map* counters = zone.value.map();
    if (!counters || counters->empty()) continue;
    if (zone.key.null) names.null.resize(names.size() + 1);
    names.bytes += zone.key.text.view();
    names.ends.push_back(static_cast<uint32_t>(names.bytes.size()));
    if (zone.key.null) names.null.back() = true;
  }
  if (!names.null.empty()) names.null.resize(names.size());
  return names;
}

}  // namespace corvane
