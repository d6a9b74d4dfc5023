// Schema version 2: records of a <name> and a <counter> element under "./bind/statistics".
#include "acquire/extract.h"

#include "base/ending.h"

namespace corvane {

namespace {

// A key read from a child element's text: a record without a name element has the null key.
Key keyof(Value text) {
  if (auto* t = std::get_if<std::string>(&text.v)) return Key(std::move(*t));
  return Key::none();
}

bool isdefaultview(const Tree& tree, ElementId view) {
  Value name = firsttext(tree, view, "./name");
  return name.text() && *name.text() == "_default";
}

// One record: the first text of its "./counter" under the first text of its "./name".
void storerecord(const Tree& tree, ElementId record, Map& into) {
  into.set(keyof(firsttext(tree, record, "./name")), firsttext(tree, record, "./counter"));
}

void storerecords(const Tree& tree, ElementId root, std::string_view path, Map& into) {
  for (ElementId record : findall(tree, root, path)) storerecord(tree, record, into);
}

// The zones of the default view that carry counters, each counter element by its own name.
void defaultzones(const Tree& tree, ElementId root, Document& doc) {
  for (ElementId view : findall(tree, root, "./bind/statistics/views/view")) {
    if (!isdefaultview(tree, view)) continue;
    for (ElementId zone : findall(tree, view, "./zones/zone")) {
      Children groups = children(tree, zone, "counters");
      if (groups.empty()) continue;
      // Sized once: the zones' counters are most of what a large server's document holds.
      size_t count = 0;
      for (ElementId group : groups) count += children(tree, group, "*").count();
      Map counters;
      counters.reserve(count);
      for (ElementId group : groups)
        for (ElementId counter : children(tree, group, "*"))
          counters.set(Key(tree.name(counter)), owntext(tree, counter));
      setzone(doc, keyof(firsttext(tree, zone, "./name")), std::move(counters));
    }
  }
}

void defaultresolver(const Tree& tree, ElementId root, Document& doc) {
  Map& resolvercounter = section(doc, Section::RESOLVERCOUNTER);
  for (ElementId view : findall(tree, root, "./bind/statistics/views/view"))
    if (isdefaultview(tree, view)) storerecords(tree, view, "./resstat", resolvercounter);
}

void resolvercache(const Tree& tree, ElementId root, Document& doc) {
  Map& cache = section(doc, Section::CACHE);
  for (ElementId resolver : findall(tree, root, "./bind/statistics/views/view/cache")) {
    if (needattribute(tree, resolver, "name") != "localhost_resolver") continue;
    storerecords(tree, resolver, "./rrset", cache);
  }
}

}  // namespace

// The passes run in this order, each to its end: where two store the same name in the same
// section, the later pass wins, and the first store fixes the position.
void extractversion2(const Tree& tree, ElementId root, Document& doc) {
  defaultzones(tree, root, doc);
  storerecords(tree, root, "./bind/statistics/server/nsstat", section(doc, Section::COUNTER));
  storerecords(tree, root, "./bind/statistics/server/zonestat",
               section(doc, Section::ZONEMAINTENANCECOUNTER));
  defaultresolver(tree, root, doc);
  storerecords(tree, root, "./bind/statistics/server/sockstat",
               section(doc, Section::SOCKETCOUNTER));
  storerecords(tree, root, "./bind/statistics/server/queries-in/rdtype",
               section(doc, Section::INCOUNTER));
  storerecords(tree, root, "./bind/statistics/views/view/rdtype",
               section(doc, Section::OUTCOUNTER));
  memorysummary(tree, root, "./bind/statistics/memory/summary/*", doc);
  resolvercache(tree, root, doc);
}

}  // namespace corvane
