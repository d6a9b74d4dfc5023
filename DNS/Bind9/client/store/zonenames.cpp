#include "store/zonenames.h"

namespace corvane {

bool holdscounters(const Value& zone) {
  if (const Map* counters = zone.map()) return !counters->empty();
  const Literal* packed = zone.literal();
  return packed && packed->text.size() > 2 && packed->text.front() == '{';
}

ZoneNames countedzones(const Map& zones) {
  ZoneNames names;
  for (const Member& zone : zones.members()) {
    if (!holdscounters(zone.value)) continue;
    if (zone.key.null) names.null.resize(names.size() + 1);
    names.bytes += zone.key.text.view();
    names.ends.push_back(static_cast<uint32_t>(names.bytes.size()));
    if (zone.key.null) names.null.back() = true;
  }
  if (!names.null.empty()) names.null.resize(names.size());
  return names;
}

}  // namespace corvane
