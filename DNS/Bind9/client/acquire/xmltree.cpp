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

// What gathers in expat's buffer before it parses: a call per network read would cost a
// call's overhead per few bytes.
constexpr size_t PARSEPIECE = size_t{1} << 16;

struct Builder {
  struct Open {
    ElementId id;
    ElementId lastchild;
    bool anychild;  // a child came, kept or not: the own text is over
    bool onpath;    // the element and its ancestors are the first steps of the cut's path
    uint32_t step;  // in `steps`
  };
  // Where the tree stood when the element being cut began.
  struct Mark {
    size_t elements = 0, attributes = 0, strings = 0;
    ElementId previous = NOELEMENT;  // the parent's last child before it
  };

  Builder(Tree& t, XML_Parser p, const std::vector<std::string>& k, const Cut& c)
      : tree(t), parser(p), keep(k), cut(c) {}

  Tree& tree;
  XML_Parser parser;
  size_t budget = TREEALLOWANCE;
  std::vector<Open> open;
  uint32_t textstart = 0;  // where the innermost open element's own text began in strings
  std::string scratch;
  std::exception_ptr thrown;
  std::vector<Span> shared;             // the values kept once
  HashIndex sharedindex{SHAREDINDEX};  // `shared` by their hash

  // The paths kept, as a tree of steps; node 0 is the root. Empty: everything is kept.
  struct Step {
    NameId name;
    std::vector<uint32_t> next;
  };
  const std::vector<std::string>& keep;
  std::vector<Step> steps;
  size_t skipping = 0;  // the depth within an element that is not kept

  const Cut& cut;
  std::vector<NameId> cutpath;  // empty: nothing is cut
  bool cutting = false;         // inside an element that will be cut
  Mark mark;
  std::vector<ElementId> chain;

  // Expat hands over a name as a C string, "uri\x01local" when it is in a namespace: the
  // tree names it "{uri}local".
  std::string_view qualified(const char* raw) {
    std::string_view name(raw);
    size_t sep = name.find(NSSEP);
    if (sep == std::string_view::npos) return name;
    scratch.clear();
    scratch += '{';
    scratch.append(name.substr(0, sep));
    scratch += '}';
    scratch.append(name.substr(sep + 1));
    return scratch;
  }

  NameId intern(const char* raw) { return internname(qualified(raw)); }

  // The NameId of a name, or NONAME, without adding it: what is not kept must not fill the
  // names table with words of its own.
  NameId known(const char* raw) { return tree.lookup(qualified(raw)); }

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
    // What is cut goes again with its texts: a value shared from there would be left dangling.
    if (len > SHAREDVALUE || cutting) return appended(s, len);
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

  // Whether the element that starts now, under the open ones, is on the cut's path; at its
  // last step it is cut.
  bool onpath(NameId name) {
    size_t depth = open.size();
    if (depth >= cutpath.size() || (depth > 0 && !open.back().onpath)) return false;
    return cutpath[depth] == name;
  }

  // The step of the kept paths that an element named `name` takes under the innermost open
  // one; NOSTEP when it is not kept.
  static constexpr uint32_t NOSTEP = UINT32_MAX;
  uint32_t stepof(NameId name) const {
    if (steps.empty()) return 0;
    for (uint32_t k : steps[open.back().step].next)
      if (steps[k].name == name || steps[k].name == ANYNAME) return k;
    return NOSTEP;
  }

  void start(const char* name, const char** atts) {
    if (skipping > 0) {
      ++skipping;
      return;
    }
    if (!open.empty() && !open.back().anychild) closetext(open.back().id);
    uint32_t step = 0;
    if (!open.empty() && !steps.empty()) {
      step = stepof(known(name));
      if (step == NOSTEP) {
        open.back().anychild = true;
        skipping = 1;
        return;
      }
    }
    if (tree.elements.size() >= NOELEMENT) throw Failure("the XML document has too many elements");
    auto id = static_cast<ElementId>(tree.elements.size());
    Element e;
    e.name = intern(name);
    bool path = onpath(e.name);
    if (path && open.size() + 1 == cutpath.size()) {
      mark = Mark{tree.elements.size(), tree.attributes.size(), tree.strings.size(),
                  open.back().lastchild};
      cutting = true;
    }
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
      parent.anychild = true;
    }
    open.push_back(Open{id, NOELEMENT, false, path, step});
    textstart = static_cast<uint32_t>(tree.strings.size());
    if (open.size() == 1) {
      compilekeep();
      armcut();
    }
    checkbudget();
  }

  // The kept paths as steps of names, interned once the root is there.
  void compilekeep() {
    if (keep.empty()) return;
    steps.push_back(Step{tree.elements[0].name, {}});
    for (const std::string& path : keep) {
      uint32_t at = 0;
      for (size_t from = 0; from <= path.size();) {
        size_t slash = std::min(path.find('/', from), path.size());
        std::string_view word = std::string_view(path).substr(from, slash - from);
        NameId name = word == "*" ? ANYNAME : internname(word);
        uint32_t next = NOSTEP;
        for (uint32_t k : steps[at].next)
          if (steps[k].name == name) next = k;
        if (next == NOSTEP) {
          next = static_cast<uint32_t>(steps.size());
          steps.push_back(Step{name, {}});
          steps[at].next.push_back(next);
        }
        at = next;
        from = slash + 1;
      }
    }
  }

  void armcut() {
    if (cut.path.empty() || !cut.arm || !cut.take) return;
    if (tree.name(0) != cut.path[0] || !cut.arm(tree, 0)) return;
    for (const std::string& step : cut.path) cutpath.push_back(internname(step));
    open.back().onpath = true;
  }

  void end() {
    if (skipping > 0) {
      --skipping;
      return;
    }
    if (!open.back().anychild) closetext(open.back().id);
    bool cutnow = cutting && open.size() == cutpath.size();
    if (cutnow) takecut();
    open.pop_back();
  }

  // Hands the element that ends now to the cut, then drops it: the arena goes back to where
  // it began, and its parent to the children it had before.
  void takecut() {
    chain.clear();
    for (const Open& o : open) chain.push_back(o.id);
    cut.take(tree, chain);
    cutting = false;
    tree.elements.resize(mark.elements);
    tree.attributes.resize(mark.attributes);
    tree.strings.resize(mark.strings);
    Open& parent = open[open.size() - 2];
    parent.lastchild = mark.previous;
    if (mark.previous == NOELEMENT)
      tree.elements[parent.id].firstchild = NOELEMENT;
    else
      tree.elements[mark.previous].nextsibling = NOELEMENT;
  }

  void data(const char* s, int len) {
    // Character data after an element's first child belongs to no text the tree keeps.
    if (skipping == 0 && !open.empty() && !open.back().anychild) append(s, static_cast<size_t>(len));
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
  guarded(user, [&](Builder& b) { b.end(); });
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

struct TreeBuilder::State {
  Tree tree;
  std::vector<std::string> keep;
  Cut cut;
  std::unique_ptr<XML_ParserStruct, ParserFree> parser;
  Builder builder;
  char* buffer = nullptr;  // expat's, for the piece that gathers
  size_t room = 0;         // of `buffer`
  size_t filled = 0;       // of `room`
  uint64_t parsed = 0;     // bytes handed to expat
  uint64_t pending = 0;    // of them, the unfinished token that expat holds

  State(Cut c, std::vector<std::string> k, size_t expected)
      : keep(std::move(k)),
        cut(std::move(c)),
        parser(XML_ParserCreateNS(nullptr, NSSEP)),
        builder(tree, parser.get(), keep, cut) {
    if (!parser) throw std::bad_alloc();
    // A statistics document holds an element, an attribute and eleven bytes of text in some
    // forty bytes. Room reserved and never used costs address space, not memory; room that
    // runs out costs a copy of everything so far.
    tree.elements.reserve(expected / 24 + 16);
    tree.attributes.reserve(expected / 24 + 16);
    tree.strings.reserve(expected / 2 + 64);
    tree.nameindex = HashIndex(NAMEINDEX);
    XML_Parser p = parser.get();
    XML_SetUserData(p, &builder);
    XML_SetElementHandler(p, onstart, onend);
    XML_SetCharacterDataHandler(p, ondata);
    // No external entity handler is set, so no external entity is ever read, and the external
    // DTD subset is not even looked at. Expat's own limits (output past 8 MiB may not exceed a
    // hundred times the input) stop an entity bomb early; the tree's budget stops the rest.
    XML_SetParamEntityParsing(p, XML_PARAM_ENTITY_PARSING_NEVER);
  }

  [[noreturn]] void fault() {
    XML_Parser p = parser.get();
    if (builder.thrown) std::rethrow_exception(builder.thrown);
    if (XML_GetErrorCode(p) == XML_ERROR_NO_MEMORY) throw std::bad_alloc();
    throw Failure("XML not well formed: " + std::string(XML_ErrorString(XML_GetErrorCode(p))) +
                  " at line " + std::to_string(XML_GetCurrentLineNumber(p)) + ", column " +
                  std::to_string(XML_GetCurrentColumnNumber(p) + 1));
  }

  // Expat 2.5 scans an unfinished token again from its start whenever more bytes come, which
  // makes one long token cost the square of its length. It is parsed again only once as many
  // new bytes as it holds have gathered, which keeps the cost linear, and no token may grow
  // past MAXTOKENBYTES, which keeps expat's buffer small.
  void parse(bool final) {
    XML_Parser p = parser.get();
    builder.budget = (parsed + filled) * TREEBYTESPERBYTE + TREEALLOWANCE;
    bool done = room == 0 ? XML_Parse(p, "", 0, final) == XML_STATUS_OK
                          : XML_ParseBuffer(p, static_cast<int>(filled), final) == XML_STATUS_OK;
    parsed += filled;
    room = filled = 0;
    if (!done) fault();
    XML_Index at = XML_GetCurrentByteIndex(p);
    pending = at < 0 ? parsed : parsed - static_cast<uint64_t>(at);
    if (pending > MAXTOKENBYTES)
      throw Failure("the XML document holds a token longer than " +
                    std::to_string(MAXTOKENBYTES >> 20) + " MiB at line " +
                    std::to_string(XML_GetCurrentLineNumber(p)));
  }

  void feed(std::string_view bytes) {
    while (!bytes.empty()) {
      if (room == 0) {
        // Parsed again once as many new bytes as the token holds have come, and no later than
        // the bytes that may take it past its bound.
        size_t want = std::max<uint64_t>(PARSEPIECE, std::min(pending, MAXTOKENBYTES + 1 - pending));
        buffer = static_cast<char*>(XML_GetBuffer(parser.get(), static_cast<int>(want)));
        if (!buffer) fault();
        room = want;
      }
      size_t n = std::min(room - filled, bytes.size());
      std::memcpy(buffer + filled, bytes.data(), n);
      filled += n;
      bytes.remove_prefix(n);
      if (filled == room) parse(false);
    }
  }
};

TreeBuilder::TreeBuilder(Cut cut, std::vector<std::string> keep, size_t expected)
    : state_(std::make_unique<State>(std::move(cut), std::move(keep), expected)) {}

TreeBuilder::~TreeBuilder() = default;

void TreeBuilder::feed(std::string_view bytes) { state_->feed(bytes); }

Tree TreeBuilder::finish() {
  state_->parse(true);
  return std::move(state_->tree);
}

Tree parsexml(std::string_view body) {
  TreeBuilder builder({}, {}, body.size());
  builder.feed(body);
  return builder.finish();
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
