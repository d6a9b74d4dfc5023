// The element tree of an XML document, built on expat, and the path search over it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/document.h"

namespace corvane {

using ElementId = uint32_t;
inline constexpr ElementId NOELEMENT = UINT32_MAX;

/// One element. Names of elements and attributes in a namespace read "{uri}local".
/// `text` is the character data between the start tag and the first child or the end tag;
/// `hastext` is false when there is none at all (an empty text is then no text).
struct Element {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;  // in start-tag order
  std::string text;
  bool hastext = false;
  ElementId firstchild = NOELEMENT;
  ElementId lastchild = NOELEMENT;
  ElementId nextsibling = NOELEMENT;
};

/// The elements in one arena, the root first: deep documents cost no recursion to build,
/// search or destroy.
struct Tree {
  std::vector<Element> elements;
  const Element& operator[](ElementId id) const { return elements[id]; }
  ElementId root() const { return 0; }
};

/// Parses one XML 1.0 document. External entities are never loaded. A body that is not one
/// well-formed document throws Failure with the parser's reason, line and column.
Tree parsexml(std::string_view body);

/// The elements that a relative path such as "./bind/statistics" or "./memory/summary/*"
/// selects from `from`, in document order: each step selects the children of the current
/// selection whose name equals it ("*": every child). Never deeper descendants.
std::vector<ElementId> findall(const Tree& tree, ElementId from, std::string_view path);

/// The first element that `path` selects, or NOELEMENT.
ElementId findfirst(const Tree& tree, ElementId from, std::string_view path);

/// An element's own text: null when it has none.
Value owntext(const Tree& tree, ElementId id);

/// The first text of a path: the first selected element's text, the empty text when it has
/// none, null when the path selects nothing.
Value firsttext(const Tree& tree, ElementId from, std::string_view path);

/// The value of an attribute, or nullptr.
const std::string* attribute(const Tree& tree, ElementId id, std::string_view name);

/// The value of an attribute that the step needs: its absence throws Failure naming the
/// element and the attribute.
const std::string& needattribute(const Tree& tree, ElementId id, std::string_view name);

}  // namespace corvane
