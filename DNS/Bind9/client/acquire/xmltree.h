// The element tree of an XML document, built on expat, and the path search over it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/document.h"
#include "store/hashindex.h"

namespace corvane {

using ElementId = uint32_t;
inline constexpr ElementId NOELEMENT = UINT32_MAX;

/// An element or attribute name, interned: the names of one tree are a few dozen distinct
/// words repeated a million times, so elements hold an index and a step compares integers.
using NameId = uint32_t;
inline constexpr NameId NONAME = UINT32_MAX;

/// A piece of Tree::strings. `offset` NOTEXT marks the absence of a text.
struct Span {
  uint32_t offset = 0;
  uint32_t size = 0;
};
inline constexpr uint32_t NOTEXT = UINT32_MAX;

struct Attribute {
  NameId name = NONAME;
  Span value;
};

/// One element. Names of elements and attributes in a namespace read "{uri}local".
/// `text` is the character data between the start tag and the first child or the end tag;
/// an element without any has no text (offset NOTEXT), never an empty one.
struct Element {
  NameId name = NONAME;
  uint32_t firstattribute = 0;  // into Tree::attributes
  uint32_t attributecount = 0;  // in start-tag order
  Span text{NOTEXT, 0};
  ElementId firstchild = NOELEMENT;
  ElementId nextsibling = NOELEMENT;
};

/// The elements in one arena, the root first, children after their parent: deep documents
/// cost no recursion to build, search or destroy.
struct Tree {
  std::vector<Element> elements;
  std::vector<Attribute> attributes;
  std::vector<std::string> names;  // by NameId
  std::string strings;             // every text and attribute value; a recurring short value once
  /// `names` by their hash: every start tag and attribute looks its name up here.
  HashIndex nameindex;

  const Element& operator[](ElementId id) const { return elements[id]; }
  ElementId root() const { return 0; }

  std::string_view name(ElementId id) const { return names[elements[id].name]; }
  bool hastext(ElementId id) const { return elements[id].text.offset != NOTEXT; }
  /// The element's own text; empty when it has none.
  std::string_view text(ElementId id) const { return piece(elements[id].text); }
  std::string_view piece(Span s) const {
    return s.offset == NOTEXT ? std::string_view()
                              : std::string_view(strings).substr(s.offset, s.size);
  }
  /// The NameId of `name`, or NONAME when no element or attribute of the tree bears it.
  NameId lookup(std::string_view name) const;
};

/// A step that selects every child, whatever its name.
inline constexpr NameId ANYNAME = NONAME - 1;

/// The children of one element that bear one name (or ANYNAME), in document order, for a
/// range-for: a step of a path without building the selection.
struct Children {
  struct iterator {
    const Tree* tree;
    ElementId at;
    NameId want;
    ElementId operator*() const { return at; }
    iterator& operator++() {
      at = tree->elements[at].nextsibling;
      skip();
      return *this;
    }
    bool operator==(const iterator& other) const { return at == other.at; }
    void skip() {
      if (want == ANYNAME) return;
      while (at != NOELEMENT && tree->elements[at].name != want)
        at = tree->elements[at].nextsibling;
    }
  };
  iterator first;
  iterator begin() const { return first; }
  iterator end() const { return iterator{first.tree, NOELEMENT, first.want}; }
  bool empty() const { return first.at == NOELEMENT; }
  size_t count() const {
    size_t n = 0;
    for (iterator i = first; i.at != NOELEMENT; ++i) ++n;
    return n;
  }
};

/// The children of `parent` named `name` ("*": every child).
Children children(const Tree& tree, ElementId parent, std::string_view name);

/// The longest single token (a start tag with its attributes, a comment, a declaration) that a
/// parse takes. BIND's longest is the start tag of a zone, under 2 KiB.
inline constexpr size_t MAXTOKENBYTES = size_t{4} << 20;

/// Elements that a parse hands on instead of keeping. Under a root that `arm` accepts (its
/// attributes are in the tree then), every element at `path`, the root's name first, is given
/// to `take` once its end tag is read, with the chain of its ancestors from the root, and is
/// then dropped with all it holds: the tree stays the size of what is left.
struct Cut {
  std::vector<std::string> path;
  std::function<bool(const Tree&, ElementId root)> arm;
  std::function<void(const Tree&, const std::vector<ElementId>& chain)> take;
};

/// One XML 1.0 document parsed as its bytes arrive, in pieces of any size; only the parser's
/// own buffer and the tree are held. External entities and external DTDs are never loaded;
/// entity expansion is bounded, and so is a token's length. What is not one well-formed
/// document throws Failure with the parser's reason, line and column, from the piece that
/// shows it or from finish.
class TreeBuilder {
 public:
  /// With `keep`, paths below the root such as "server/counters/counter" or "memory/summary/*",
  /// only the root and the elements on them are kept, with their attributes and own texts:
  /// what the paths do not name costs no memory, however much of it comes.
  explicit TreeBuilder(Cut cut = {}, std::vector<std::string> keep = {}, size_t expected = 0);
  ~TreeBuilder();
  TreeBuilder(const TreeBuilder&) = delete;
  TreeBuilder& operator=(const TreeBuilder&) = delete;

  /// The next bytes of the document.
  void feed(std::string_view bytes);
  /// The tree, after the last bytes.
  Tree finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

/// Parses one XML 1.0 document held whole, as a TreeBuilder fed with it does.
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

/// The value of an attribute, or nothing.
std::optional<std::string_view> attribute(const Tree& tree, ElementId id, std::string_view name);

/// The same with the name looked up once (Tree::lookup), for a step repeated on many elements.
std::optional<std::string_view> attribute(const Tree& tree, ElementId id, NameId name);

/// The value of an attribute that the step needs: its absence throws Failure naming the
/// element and the attribute.
std::string_view needattribute(const Tree& tree, ElementId id, std::string_view name);

}  // namespace corvane
