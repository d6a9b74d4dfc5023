#include "acquire/xmltree.h"

#include <expat.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>

#include "endrun.h"

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

// FNV-1a: names are a few bytes long, where it beats any hash with a setup cost.
constexpr uint64_t HASHSEED = 0xcbf29ce484222325ULL;
constexpr uint64_t HASHPRIME = 0x100000001b3ULL;

uint64_t hashof(std::string_view text) {
  uint64_t hash = HASHSEED;
  for (unsigned char c : text) hash = (hash ^ c) * HASHPRIME;
  return hash;
}

// Attribute values repeat: every zone names the same counters. A value of up to SHAREDVALUE
// bytes that was seen before is kept once and shared; the first SHAREDVALUES distinct ones are
// remembered, which bounds the table whatever the document.
constexpr size_t SHAREDVALUE = 32;
constexpr size_t SHAREDVALUES = size_t{1} << 16;

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
  std::vector<Span> valueslots = std::vector<Span>(1024, Span{NOTEXT, 0});  // open addressing
  size_t valuecount = 0;

  // Expat hands over a name as a C string; its hash, its length and whether a namespace URI
  // stands in it come from one pass over it.
  NameId intern(const char* raw) {
    uint64_t hash = HASHSEED;
    const char* end = raw;
    bool namespaced = false;
    for (; *end; ++end) {
      hash = (hash ^ static_cast<unsigned char>(*end)) * HASHPRIME;
      namespaced |= *end == NSSEP;
    }
    std::string_view name(raw, static_cast<size_t>(end - raw));
    if (!namespaced) return internhashed(name, hash);
    size_t sep = name.find(NSSEP);
    scratch.clear();
    scratch += '{';
    scratch.append(raw, sep);
    scratch += '}';
    scratch.append(raw + sep + 1, name.size() - sep - 1);
    return internhashed(scratch, hashof(scratch));
  }

  NameId internhashed(std::string_view name, uint64_t hash) {
    std::vector<NameId>& slots = tree.nameslots;
    size_t mask = slots.size() - 1;
    size_t i = hash & mask;
    for (; slots[i] != NONAME; i = (i + 1) & mask)
      if (tree.names[slots[i]] == name) return slots[i];
    auto id = static_cast<NameId>(tree.names.size());
    tree.names.emplace_back(name);
    slots[i] = id;
    if (2 * tree.names.size() > slots.size()) {
      slots.assign(slots.size() * 2, NONAME);
      for (NameId n = 0; n < tree.names.size(); ++n) {
        size_t j = hashof(tree.names[n]) & (slots.size() - 1);
        while (slots[j] != NONAME) j = (j + 1) & (slots.size() - 1);
        slots[j] = n;
      }
    }
    return id;
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
    size_t mask = valueslots.size() - 1;
    size_t i = hashof(value) & mask;
    for (; valueslots[i].offset != NOTEXT; i = (i + 1) & mask)
      if (tree.piece(valueslots[i]) == value) return valueslots[i];
    Span span = appended(s, len);
    if (valuecount == SHAREDVALUES) return span;
    valueslots[i] = span;
    if (2 * ++valuecount > valueslots.size()) {
      std::vector<Span> old(valueslots.size() * 2, Span{NOTEXT, 0});
      old.swap(valueslots);
      mask = valueslots.size() - 1;
      for (Span v : old) {
        if (v.offset == NOTEXT) continue;
        size_t j = hashof(tree.piece(v)) & mask;
        while (valueslots[j].offset != NOTEXT) j = (j + 1) & mask;
        valueslots[j] = v;
      }
    }
    return span;
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
void XMLCALL onstart(void* user, const XML_Char* name, const XML_Char** atts) {
  auto& b = *static_cast<Builder*>(user);
  if (b.thrown) return;
  try {
    b.start(name, atts);
  } catch (...) {
    b.fail();
  }
}

void XMLCALL onend(void* user, const XML_Char*) {
  auto& b = *static_cast<Builder*>(user);
  if (!b.thrown) b.end();
}

void XMLCALL ondata(void* user, const XML_Char* s, int len) {
  auto& b = *static_cast<Builder*>(user);
  if (b.thrown) return;
  try {
    b.data(s, len);
  } catch (...) {
    b.fail();
  }
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
  if (nameslots.empty()) return NONAME;
  size_t mask = nameslots.size() - 1;
  for (size_t i = hashof(name) & mask; nameslots[i] != NONAME; i = (i + 1) & mask)
    if (names[nameslots[i]] == name) return nameslots[i];
  return NONAME;
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
  Builder builder{tree, p, body.size() * TREEBYTESPERBYTE + TREEALLOWANCE, {}, 0, {}, nullptr};
  // A statistics document holds an element, an attribute and eleven bytes of text in some
  // forty bytes. Room reserved and never used costs address space, not memory; room that runs
  // out costs a copy of everything so far.
  tree.elements.reserve(body.size() / 24 + 16);
  tree.attributes.reserve(body.size() / 24 + 16);
  tree.strings.reserve(body.size() / 2 + 64);
  tree.nameslots.assign(128, NONAME);

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
