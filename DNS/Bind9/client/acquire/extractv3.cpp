// Schema version 3: counters grouped by a `type` attribute, named by a `name` attribute.
#include "acquire/extract.h"

#include <algorithm>

#include "base/ending.h"
#include "store/jsonform.h"

namespace corvane {

namespace {

// Every "./counter" of a counters element, its text (or null) under its `name` attribute.
void storecounters(const Tree& tree, ElementId counters, Map& into) {
  NameId name = tree.lookup("name");
  for (ElementId counter : children(tree, counters, "counter")) {
    auto key = attribute(tree, counter, name);
    into.set(Key(key ? *key : needattribute(tree, counter, "name")), owntext(tree, counter));
  }
}

void servercounters(const Tree& tree, ElementId root, Document& doc) {
  Map& counter = section(doc, Section::COUNTER);
  Map& socketcounter = section(doc, Section::SOCKETCOUNTER);
  Map& zonemaintenancecounter = section(doc, Section::ZONEMAINTENANCECOUNTER);
  Map& incounter = section(doc, Section::INCOUNTER);
  for (ElementId counters : findall(tree, root, "./server/counters")) {
    std::string_view type = needattribute(tree, counters, "type");
    if (type == "nsstat") storecounters(tree, counters, counter);
    if (type == "sockstat") storecounters(tree, counters, socketcounter);
    if (type == "zonestat") storecounters(tree, counters, zonemaintenancecounter);
    if (type == "qtype") storecounters(tree, counters, incounter);
  }
}

// Every server publishes the built-in CHAOS view "_bind" after "_default". Its resolver and
// cache counters are those of an idle resolver, nearly all zero; were it read like the other
// views, the later view winning, they would stand in for the real resolver's figures.
constexpr std::string_view BUILTINVIEW = "_bind";

void viewcounters(const Tree& tree, ElementId root, Document& doc) {
  Map& outcounter = section(doc, Section::OUTCOUNTER);
  Map& resolvercounter = section(doc, Section::RESOLVERCOUNTER);
  Map& cache = section(doc, Section::CACHE);
  for (ElementId view : findall(tree, root, "./views/view")) {
    if (attribute(tree, view, "name") == BUILTINVIEW) continue;
    for (ElementId counters : findall(tree, view, "./counters")) {
      std::string_view type = needattribute(tree, counters, "type");
      if (type == "resqtype") storecounters(tree, counters, outcounter);
      if (type == "resstats") storecounters(tree, counters, resolvercounter);
      if (type == "cachestats") storecounters(tree, counters, cache);
    }
  }
}

void cacherrsets(const Tree& tree, ElementId root, Document& doc) {
  Map& cache = section(doc, Section::CACHE);
  for (ElementId defaultcache : findall(tree, root, "./views/view/cache")) {
    if (needattribute(tree, defaultcache, "name") != "_default") continue;
    for (ElementId rrset : findall(tree, defaultcache, "./rrset")) {
      ElementId nameelement = findfirst(tree, rrset, "./name");
      if (nameelement == NOELEMENT)
        throw Failure("XML element <rrset> of the _default cache has no <name> element");
      std::string name(tree.text(nameelement));
      Value count = firsttext(tree, rrset, "./counter");
      // A negative-cache entry is named "!TYPE"; its count is kept under that name and again
      // with every "!" made "_".
      if (!name.empty() && name[0] == '!') {
        std::string plain = name;
        std::replace(plain.begin(), plain.end(), '!', '_');
        cache.set(Key(std::move(name)), count);
        cache.set(Key(std::move(plain)), std::move(count));
      } else {
        cache.set(Key(std::move(name)), std::move(count));
      }
    }
  }
}

bool zonetype(std::string_view type) { return type == "rcode" || type == "qtype"; }

// The counters a zone's map will hold at most, so that it is allocated once. Only counts:
// a missing attribute fails later, in the order the stores meet it.
size_t zonecountercount(const Tree& tree, ElementId zone) {
  size_t count = 0;
  for (ElementId group : children(tree, zone, "counters")) {
    auto type = attribute(tree, group, "type");
    if (type && zonetype(*type)) count += children(tree, group, "counter").count();
  }
  return count;
}

// A zone's map: the counters of its groups of the zone types, in document order.
Map zonemap(const Tree& tree, ElementId zone) {
  Map counters;
  counters.reserve(zonecountercount(tree, zone));
  for (ElementId group : children(tree, zone, "counters"))
    if (zonetype(needattribute(tree, group, "type"))) storecounters(tree, group, counters);
  return counters;
}

void zonecounters(const Tree& tree, ElementId root, Document& doc) {
  for (ElementId view : findall(tree, root, "./views/view")) {
    if (needattribute(tree, view, "name") != "_default") continue;
    for (ElementId zone : findall(tree, view, "./zones/zone")) {
      Map counters = zonemap(tree, zone);
      setzone(doc, Key(needattribute(tree, zone, "name")), std::move(counters));
    }
  }
}

// The same pass over zones read while parsing: the views are still in the tree, so a view
// without a name fails where it would have, and a zone that failed fails in its view's turn.
void streamedzonecounters(const Tree& tree, ElementId root, Document& doc,
                          StreamedZones& streamed) {
  for (ElementId view : findall(tree, root, "./views/view")) {
    if (needattribute(tree, view, "name") != "_default") continue;
    if (view == streamed.failedview) throw *streamed.failure;
  }
  Map& zones = section(doc, Section::ZONES);
  for (Member& zone : streamed.zones) zones.set(std::move(zone.key), std::move(zone.value));
  streamed.zones.clear();
}

bool version3(const Tree& tree, ElementId root) {
  auto version = attribute(tree, root, "version");
  return version && version->size() >= 2 && (*version)[0] == '3' && (*version)[1] == '.';
}

}  // namespace

// The passes run in this order, each to its end: where two store the same name in the same
// section, the later pass wins, and the first store fixes the position.
void extractversion3(const Tree& tree, ElementId root, Document& doc, StreamedZones& streamed) {
  servercounters(tree, root, doc);
  viewcounters(tree, root, doc);
  cacherrsets(tree, root, doc);
  if (streamed.armed)
    streamedzonecounters(tree, root, doc, streamed);
  else
    zonecounters(tree, root, doc);
  memorysummary(tree, root, "./memory/summary/*", doc);
}

void extractversion3(const Tree& tree, ElementId root, Document& doc) {
  StreamedZones none;
  extractversion3(tree, root, doc, none);
}

Cut zonecut(StreamedZones& into) {
  Cut cut;
  cut.path = {"statistics", "views", "view", "zones", "zone"};
  cut.arm = [&into](const Tree& tree, ElementId root) { return into.armed = version3(tree, root); };
  cut.take = [&into](const Tree& tree, const std::vector<ElementId>& chain) {
    ElementId view = chain[2], zone = chain[4];
    // Past a failure nothing counts; zones of other views are not read at all.
    if (into.failure || attribute(tree, view, "name") != "_default") return;
    try {
      // The counters first, as extractversion3 reads them, so that a zone without a name and
      // a counter without one fail in the same order. Packed: the maps of a large server's
      // zones would take twice the document's size.
      Value counters = packed(zonemap(tree, zone));
      into.zones.push_back(Member{Key(needattribute(tree, zone, "name")), std::move(counters)});
    } catch (const Failure& failure) {
      into.failure = failure;
      into.failedview = view;
    }
  };
  return cut;
}

}  // namespace corvane
