#include "acquire/schema.h"

#include <string>
#include <utility>

#include "base/ending.h"
#include "base/escape.h"

namespace corvane {

namespace {

// The root's attributes as {'name': 'value', ...}, in start-tag order.
std::string attributemap(const Tree& tree, ElementId id) {
  std::string out = "{";
  const Element& e = tree[id];
  for (uint32_t i = 0; i < e.attributecount; ++i) {
    const Attribute& a = tree.attributes[e.firstattribute + i];
    if (i > 0) out += ", ";
    out += quoted(tree.names[a.name]);
    out += ": ";
    out += quoted(tree.piece(a.value));
  }
  return out + "}";
}

}  // namespace

Detected detectversion(std::string_view body) { return detectversion(parsexml(body)); }

Detected detectversion(Tree parsed) {
  Detected found{std::move(parsed), 0, 0};
  const Tree& tree = found.tree;
  ElementId root = tree.root();
  found.root = root;

  std::string_view version;
  std::string_view rootname = tree.name(root);
  if (rootname == "isc") {
    ElementId statistics = findfirst(tree, root, "./bind/statistics");
    if (statistics == NOELEMENT)
      throw Failure("the XML statistics (root <isc>) hold no bind/statistics element");
    version = needattribute(tree, statistics, "version");
  } else if (rootname == "statistics") {
    version = needattribute(tree, root, "version");
  } else {
    // A namespace URI may hold any character; keep the diagnostic on its one line.
    throw notsupported("Unknown root tag: " + literal(rootname) + "\n");
  }

  // Only one leading digit counts: "10.0" is no version 1 nor 10.
  if (version.size() < 2 || version[0] < '0' || version[0] > '9' || version[1] != '.') {
    throw Failure("the XML statistics' version " + quoted(version) +
                  " does not begin with a digit and a full stop");
  }
  found.version = version[0] - '0';
  if (found.version > 3)
    throw notsupported("Unsupported bind statistics version: " + attributemap(tree, root) +
                       "\n");
  return found;
}

}  // namespace corvane
