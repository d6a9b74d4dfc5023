#include "acquire/xmltree.h"

#include <expat.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>

#include "base/ending.h"

namespace corvane {

namespace {

// Expat joins a namespace URI and a local name with this character. No XML 1.0 document can
// hold U+0001, so it never occurs inside a URI and the split is unambiguous.
constexpr char NSSEP = '\x01';

// The tree may take this many bytes per byte of body, plus a fixed allowance. A flat run of
// empty elements comes to about seven; only entities declared in the document can push past
// it, and expanding them without end is the memory exhaustion this stops.
constexpr size_t TREEBYTESPERBYTE = 8;
constexpr size_t TREEALLOWANCE = size_t{64} << 20;

// Attribute values repeat: every zone names the same counters. A value of up to SHAREDVALUE
// bytes that was seen before is kept once and shared; the first SHAREDVALUES distinct ones are
// remembered, which bounds the table whatever the document.
constexpr size_t SHAREDVALUE = 32;
constexpr size_t SHAREDVALUES = size_t{1} << 16;
constexpr size_t SHAREDINDEX = 768;  // the first index's room; it grows as values come

// The names index's first room; it grows as names come.
constexpr size_t NAMEINDEX = 96;

// Expat copies what XML_Parse is given into its own buffer before parsing it: handed over in
// pieces, the body is not copied whole a second time.
constexpr size_t PARSEPIECE = size_t{1} << 16;

struct Builder {
  struct Open {
    ElementId id;
    ElementId lastchild;
  };

  Tree& tree;
  XML_Parser parser;
  size_t budget;
  std::vector<Open> open;
  uint32_t textstart = 0;  // where the innermost open element's own text began in strings
  std::string scratch;
  std::exception_ptr thrown;
  std::vector<Span> shared;             // the values kept once
  HashIndex sharedindex{SHAREDINDEX};  // `shared` by their hash

  // Expat hands over a name as a C string, "uri\x01local" when it is in a namespace.
  NameId intern(const char* raw) {
    std::string_view name(raw);
    size_t sep = name.find(NSSEP);
    if (sep == std::string_view::npos) return internname(name);
    scratch.clear();
    scratch += '{';
    scratch.append(name.substr(0, sep));
    scratch += '}';
    scratch.append(name.substr(sep + 1));
    return internname(scratch);
  }

  NameId internname(std::string_view name) {
    HashIndex::Entry found = tree.nameindex.findoradd(
        hashbytes(name), tree.names.size(), [&](uint32_t n) { return tree.names[n] == name; },
        [&](uint32_t n) { return hashbytes(tree.names[n]); });
    if (found.added) tree.names.emplace_back(name);
    return found.entry;
  }

  void checkbudget() const {
    size_t used = tree.elements.size() * sizeof(Element) +
                  tree.attributes.size() * sizeof(Attribute) + tree.strings.size();
    if (used > budget)
      throw Failure("the XML document expands to more than " + std::to_string(budget >> 20) +
                    " MiB of elements and texts (entities declared in it?)");
  }

  void append(const char* s, size_t len) {
    // Offsets are 32 bits and NOTEXT is the largest; the budget keeps far below either.
    if (tree.strings.size() + len >= NOTEXT) throw Failure("the XML document's texts exceed 4 GiB");
    tree.strings.append(s, len);
    checkbudget();
  }

  Span appended(const char* s, size_t len) {
    auto offset = static_cast<uint32_t>(tree.strings.size());
    append(s, len);
    return Span{offset, static_cast<uint32_t>(len)};
  }

  Span storevalue(const char* s) {
    size_t len = std::strlen(s);
    if (len > SHAREDVALUE) return appended(s, len);
    std::string_view value(s, len);
    uint64_t hash = hashbytes(value);
    auto same = [&](uint32_t v) { return tree.piece(shared[v]) == value; };
    if (shared.size() == SHAREDVALUES) {
      uint32_t known = sharedindex.find(hash, same).entry;
      return known != HashIndex::NOENTRY ? shared[known] : appended(s, len);
    }
    HashIndex::Entry found = sharedindex.findoradd(
        hash, shared.size(), same, [&](uint32_t v) { return hashbytes(tree.piece(shared[v])); });
    if (!found.added) return shared[found.entry];
    shared.push_back(appended(s, len));
    return shared.back();
  }

  // The text ends at the first child's start tag or at the end tag; comments and
  // processing instructions before it were never reported, so it arrives whole.
  void closetext(ElementId id) {
    auto end = static_cast<uint32_t>(tree.strings.size());
    if (end > textstart) tree.elements[id].text = Span{textstart, end - textstart};
  }

  void start(const char* name, const char** atts) {
    if (!open.empty() && open.back().lastchild == NOELEMENT) closetext(open.back().id);
    if (tree.elements.size() >= NOELEMENT) throw Failure("the XML document has too many elements");
    auto id = static_cast<ElementId>(tree.elements.size());
    Element e;
    e.name = intern(name);
    e.firstattribute = static_cast<uint32_t>(tree.attributes.size());
    for (const char** a = atts; *a; a += 2) {
      NameId an = intern(a[0]);
      tree.attributes.push_back(Attribute{an, storevalue(a[1])});
    }
    e.attributecount = static_cast<uint32_t>(tree.attributes.size()) - e.firstattribute;
    tree.elements.push_back(e);
    if (!open.empty()) {
      Open& parent = open.back();
      if (parent.lastchild == NOELEMENT)
        tree.elements[parent.id].firstchild = id;
      else
        tree.elements[parent.lastchild].nextsibling = id;
      parent.lastchild = id;
    }
    open.push_back(Open{id, NOELEMENT});
    textstart = static_cast<uint32_t>(tree.strings.size());
    checkbudget();
  }

  void end() {
    if (open.back().lastchild == NOELEMENT) closetext(open.back().id);
    open.pop_back();
  }

  void data(const char* s, int len) {
    // Character data after an element's first child belongs to no text the tree keeps.
    if (!open.empty() && open.back().lastchild == NOELEMENT) append(s, static_cast<size_t>(len));
  }

  // Nothing may unwind through expat's C frames: keep the exception and stop the parser.
  void fail() {
    if (!thrown) thrown = std::current_exception();
    XML_StopParser(parser, XML_FALSE);
  }
};

// Once stopped, expat may still report the end of the element it stopped in (or more): the
// tree no longer matches what it reports, so nothing is done with it.
template <class Step>
void guarded(void* user, Step step) {
  auto& b = *static_cast<Builder*>(user);
  if (b.thrown) return;
  try {
    step(b);
  } catch (...) {
    b.fail();
  }
}

void XMLCALL onstart(void* user, const XML_Char* name, const XML_Char** atts) {
  guarded(user, [&](Builder& b) { b.start(name, atts); });
}

void XMLCALL onend(void* user, const XML_Char*) {
  auto& b = *static_cast<Builder*>(user);
  if (!b.thrown) b.end();
}

void XMLCALL ondata(void* user, const XML_Char* s, int len) {
  guarded(user, [&](Builder& b) { b.data(s, len); });
}

struct ParserFree {
  void operator()(XML_ParserStruct* p) const { XML_ParserFree(p); }
};

// The steps of a path, resolved to names of the tree. "." stays where it is.
struct Steps {
  static constexpr int MAX = 16;
  NameId ids[MAX];
  int count = 0;
  bool possible = true;  // false when a step names no element of the tree
};

Steps resolve(const Tree& tree, std::string_view path) {
  Steps steps;
  while (!path.empty()) {
    size_t slash = path.find('/');
    std::string_view step = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    if (step == ".") continue;
    if (steps.count == Steps::MAX) throw Failure("element path too long: " + std::string(path));
    NameId id = step == "*" ? ANYNAME : tree.lookup(step);
    if (id == NONAME) steps.possible = false;
    steps.ids[steps.count++] = id;
  }
  return steps;
}

// The first of `id` and its later siblings that bears `name`.
ElementId nextmatch(const Tree& tree, ElementId id, NameId name) {
  while (id != NOELEMENT && name != ANYNAME && tree.elements[id].name != name)
    id = tree.elements[id].nextsibling;
  return id;
}

}  // namespace

NameId Tree::lookup(std::string_view name) const {
  if (!nameindex) return NONAME;
  uint32_t entry =
      nameindex.find(hashbytes(name), [&](uint32_t n) { return names[n] == name; }).entry;
  return entry == HashIndex::NOENTRY ? NONAME : entry;
}

Children children(const Tree& tree, ElementId parent, std::string_view name) {
  NameId want = name == "*" ? ANYNAME : tree.lookup(name);
  Children::iterator first{&tree, want == NONAME ? NOELEMENT : tree.elements[parent].firstchild,
                           want};
  first.skip();
  return Children{first};
}

Tree parsexml(std::string_view body) {
  Tree tree;
  std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreateNS(nullptr, NSSEP));
  if (!parser) throw std::bad_alloc();
  XML_Parser p = parser.get();
  Builder builder{tree, p, body.size() * TREEBYTESPERBYTE + TREEALLOWANCE, {}, 0, {}, nullptr, {}};
  // A statistics document holds an element, an attribute and eleven bytes of text in some
  // forty bytes. Room reserved and never used costs address space, not memory; room that runs
  // out costs a copy of everything so far.
  tree.elements.reserve(body.size() / 24 + 16);
  tree.attributes.reserve(body.size() / 24 + 16);
  tree.strings.reserve(body.size() / 2 + 64);
  tree.nameindex = HashIndex(NAMEINDEX);

  XML_SetUserData(p, &builder);
  XML_SetElementHandler(p, onstart, onend);
  XML_SetCharacterDataHandler(p, ondata);
  // No external entity handler is set, so no external entity is ever read, and the external
  // DTD subset is not even looked at. Expat's own limits (output past 8 MiB may not exceed a
  // hundred times the input) stop an entity bomb early; the tree's budget stops the rest.
  XML_SetParamEntityParsing(p, XML_PARAM_ENTITY_PARSING_NEVER);

  const char* at = body.data();
  size_t left = body.size();
  do {
    size_t piece = std::min(left, PARSEPIECE);
    left -= piece;
    if (XML_Parse(p, at, static_cast<int>(piece), left == 0) != XML_STATUS_OK) {
      if (builder.thrown) std::rethrow_exception(builder.thrown);
      throw Failure("XML not well formed: " + std::string(XML_ErrorString(XML_GetErrorCode(p))) +
                    " at line " + std::to_string(XML_GetCurrentLineNumber(p)) + ", column " +
                    std::to_string(XML_GetCurrentColumnNumber(p) + 1));
    }
    at += piece;
  } while (left > 0);
  return tree;
}

std::vector<ElementId> findall(const Tree& tree, ElementId from, std::string_view path) {
  Steps steps = resolve(tree, path);
  std::vector<ElementId> current{from}, next;
  if (!steps.possible) return {};
  for (int i = 0; i < steps.count && !current.empty(); ++i) {
    next.clear();
    for (ElementId parent : current)
      for (ElementId c = nextmatch(tree, tree.elements[parent].firstchild, steps.ids[i]);
           c != NOELEMENT; c = nextmatch(tree, tree.elements[c].nextsibling, steps.ids[i]))
        next.push_back(c);
    current.swap(next);
  }
  return current;
}

ElementId findfirst(const Tree& tree, ElementId from, std::string_view path) {
  Steps steps = resolve(tree, path);
  if (!steps.possible) return NOELEMENT;
  if (steps.count == 0) return from;
  // Depth first over the steps, backtracking to the next sibling when a branch dies out:
  // the first complete match is the first element of the whole selection.
  ElementId at[Steps::MAX];
  int depth = 0;
  at[0] = nextmatch(tree, tree.elements[from].firstchild, steps.ids[0]);
  while (depth >= 0) {
    if (at[depth] == NOELEMENT) {
      if (--depth >= 0)
        at[depth] = nextmatch(tree, tree.elements[at[depth]].nextsibling, steps.ids[depth]);
      continue;
    }
    if (depth == steps.count - 1) return at[depth];
    at[depth + 1] = nextmatch(tree, tree.elements[at[depth]].firstchild, steps.ids[depth + 1]);
    ++depth;
  }
  return NOELEMENT;
}

Value owntext(const Tree& tree, ElementId id) {
  return tree.hastext(id) ? Value(tree.text(id)) : Value();
}

Value firsttext(const Tree& tree, ElementId from, std::string_view path) {
  ElementId id = findfirst(tree, from, path);
  return id == NOELEMENT ? Value() : Value(tree.text(id));
}

std::optional<std::string_view> attribute(const Tree& tree, ElementId id, std::string_view name) {
  return attribute(tree, id, tree.lookup(name));
}

std::optional<std::string_view> attribute(const Tree& tree, ElementId id, NameId name) {
  if (name == NONAME) return std::nullopt;
  const Element& e = tree.elements[id];
  for (uint32_t i = e.firstattribute; i < e.firstattribute + e.attributecount; ++i)
    if (tree.attributes[i].name == name) return tree.piece(tree.attributes[i].value);
  return std::nullopt;
}

std::string_view needattribute(const Tree& tree, ElementId id, std::string_view name) {
  if (auto value = attribute(tree, id, name)) return *value;
  throw Failure("XML element <" + std::string(tree.name(id)) + "> has no attribute \"" +
                std::string(name) + "\"");
}

}  // namespace corvane
