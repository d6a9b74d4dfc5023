#include "store/cacheindex.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "base/bounds.h"
#include "base/fd.h"
#include "store/hashindex.h"

namespace corvane {

namespace {

// The index is a header of FIELDS words, then an entry of ENTRYFIELDS words for each section
// and, sorted by name, for each zone, then the names of the entries one after the other, then
// the names of the zones that hold counters: where each ends, and the names themselves. Words
// are 64 bits in the machine's own order: an index is read on the host that wrote it, and the
// ORDER word tells another's at once. A change of layout takes a new MAGIC.
enum Field {
  MAGIC, ORDER,
  // The cache file's status once in place. The change time is the kernel's alone to set: a
  // file rewritten by any means has another, whatever its size and modification time say.
  DEV, INO, SIZE, MTIME, MTIMENS, CTIME, CTIMENS,
  SECTIONCOUNT, ZONECOUNT, NAMEBYTES,
  COUNTED, COUNTEDBYTES, COUNTEDCHECK,
  TAIL,   // where the text after the zones begins (0: nowhere): the json answer's members
  CHECK,  // of the words before it
  FIELDS
};
enum EntryField { NAME, NAMELENGTH, BEGIN, END, ENTRYCHECK, ENTRYFIELDS };
static_assert(FIELDS == CacheIndex::HEADERWORDS);

constexpr uint64_t MAGICWORD = 0x0178656469766301ULL;  // "\x01cvidex\x01" read as a word
constexpr uint64_t ORDERWORD = 0x0102030405060708ULL;
constexpr size_t WORD = sizeof(uint64_t);
constexpr size_t HEADERSIZE = FIELDS * WORD;
constexpr size_t ENTRYSIZE = ENTRYFIELDS * WORD;
// The program's own documents hold nine sections.
constexpr uint64_t MAXSECTIONS = 64;

// The checks guard against an index torn or damaged, not against a forger, who could as well
// rewrite the cache file itself.
uint64_t check(const void* bytes, size_t n) {
  return hashbytes(std::string_view(static_cast<const char*>(bytes), n));
}

// Of two pieces: each hashed, the first's hash folded into the second's.
uint64_t check(const void* a, size_t an, const void* b, size_t bn) {
  return hashing::mix(check(a, an) ^ hashing::ODD, check(b, bn));
}

uint64_t entrycheck(std::string_view name, uint64_t begin, uint64_t end) {
  uint64_t span[2] = {begin, end};
  return check(name.data(), name.size(), span, sizeof span);
}

void putword(std::string& out, uint64_t v) { out.append(reinterpret_cast<const char*>(&v), WORD); }

uint64_t word(const char* at) {
  uint64_t v;
  std::memcpy(&v, at, WORD);
  return v;
}

// The member name under which the cache file gives a key back.
std::string_view filename(const Key& key) { return key.null ? "null" : std::string_view(key.text); }

struct Named {
  std::string_view name;
  Layout::Span span;
  size_t position;
  bool counted;
};

// A name that stands twice in one object (a null key and the text null) reads back as one
// member: at the first one's place, with the last one's value.
std::vector<Named> asread(std::vector<Named> all) {
  std::stable_sort(all.begin(), all.end(),
                   [](const Named& a, const Named& b) { return a.name < b.name; });
  std::vector<Named> once;
  for (const Named& n : all) {
    if (!once.empty() && once.back().name == n.name) {
      size_t first = once.back().position;
      once.back() = n;
      once.back().position = first;
    } else {
      once.push_back(n);
    }
  }
  return once;
}

// What the index lists: the document's sections in their order, its zones sorted by name, and
// where the zones stand among the sections (null: nowhere, or they are not a map).
struct Listed {
  std::vector<Named> sections, zones;
  const Member* zonesmember = nullptr;
};

std::optional<Listed> collect(const Document& doc, const Layout& layout) {
  const std::vector<Member>& members = doc.members();
  if (layout.members.size() != members.size() || layout.inner.size() != members.size()) return {};
  Listed listed;
  for (size_t i = 0; i < members.size(); ++i) {
    listed.sections.push_back({filename(members[i].key), layout.members[i], i, false});
    if (members[i].key.null || members[i].key.text != nameof(Section::ZONES)) continue;
    // Zones that are not a map are for the whole file to answer about.
    if (!members[i].value.map()) return {};
    listed.zonesmember = &members[i];
    const std::vector<Member>& inner = members[i].value.map()->members();
    if (layout.inner[i].size() != inner.size()) return {};
    for (size_t j = 0; j < inner.size(); ++j) {
      listed.zones.push_back({filename(inner[j].key), layout.inner[i][j], j, holdscounters(inner[j].value)});
    }
  }
  listed.sections = asread(std::move(listed.sections));
  listed.zones = asread(std::move(listed.zones));
  return listed;
}

// The names of the zones that hold counters, in the document's order: where each ends, then
// the names.
struct Counted {
  size_t count = 0;
  std::string ends, names;
};

Counted countednames(const std::vector<Named>& zones) {
  std::vector<const Named*> inorder;
  for (const Named& z : zones)
    if (z.counted) inorder.push_back(&z);
  std::sort(inorder.begin(), inorder.end(),
            [](const Named* a, const Named* b) { return a->position < b->position; });
  Counted counted;
  counted.count = inorder.size();
  for (const Named* z : inorder) {
    counted.names += z->name;
    auto end = static_cast<uint32_t>(counted.names.size());
    counted.ends.append(reinterpret_cast<const char*>(&end), sizeof end);
  }
  return counted;
}

void header(uint64_t (&h)[FIELDS], const struct stat& st, const Listed& listed,
            size_t namebytes, const Counted& counted, uint64_t tail) {
  h[MAGIC] = MAGICWORD;
  h[ORDER] = ORDERWORD;
  h[DEV] = st.st_dev;
  h[INO] = st.st_ino;
  h[SIZE] = static_cast<uint64_t>(st.st_size);
  h[MTIME] = static_cast<uint64_t>(st.st_mtim.tv_sec);
  h[MTIMENS] = static_cast<uint64_t>(st.st_mtim.tv_nsec);
  h[CTIME] = static_cast<uint64_t>(st.st_ctim.tv_sec);
  h[CTIMENS] = static_cast<uint64_t>(st.st_ctim.tv_nsec);
  h[SECTIONCOUNT] = listed.sections.size();
  h[ZONECOUNT] = listed.zones.size();
  h[NAMEBYTES] = namebytes;
  h[COUNTED] = counted.count;
  h[COUNTEDBYTES] = counted.names.size();
  h[COUNTEDCHECK] = check(counted.ends.data(), counted.ends.size(), counted.names.data(),
                          counted.names.size());
  h[TAIL] = tail;
  h[CHECK] = check(h, CHECK * WORD);
}

void putentry(std::string& out, uint64_t nameat, const Named& n) {
  putword(out, nameat);
  putword(out, n.name.size());
  putword(out, n.span.begin);
  putword(out, n.span.end);
  putword(out, entrycheck(n.name, n.span.begin, n.span.end));
}

}  // namespace

std::string makeindex(const struct stat& st, const Document& doc, const Layout& layout) {
  std::optional<Listed> listed = collect(doc, layout);
  if (!listed) return {};
  Counted counted = countednames(listed->zones);
  size_t namebytes = 0;
  for (const auto* list : {&listed->sections, &listed->zones})
    for (const Named& n : *list) namebytes += n.name.size();
  size_t total = HEADERSIZE + (listed->sections.size() + listed->zones.size()) * ENTRYSIZE +
                 namebytes + counted.ends.size() + counted.names.size();
  if (total > MAXINDEXBYTES || listed->sections.size() > MAXSECTIONS ||
      counted.names.size() > UINT32_MAX)
    return {};

  // The json answer is "{" and the text after the zones, when they come first.
  const std::vector<Member>& members = doc.members();
  uint64_t tail = 0;
  if (listed->zonesmember && listed->zonesmember == &members.front())
    tail = layout.members.front().end + (members.size() > 1 ? 2 : 0);
  uint64_t h[FIELDS] = {};
  header(h, st, *listed, namebytes, counted, tail);
  std::string out;
  out.reserve(total);
  out.append(reinterpret_cast<const char*>(h), HEADERSIZE);
  uint64_t nameat = 0;
  for (const auto* list : {&listed->sections, &listed->zones})
    for (const Named& n : *list) {
      putentry(out, nameat, n);
      nameat += n.name.size();
    }
  for (const auto* list : {&listed->sections, &listed->zones})
    for (const Named& n : *list) out += n.name;
  out += counted.ends;
  out += counted.names;
  return out;
}

namespace {

// The first bytes of an index are read at once: the whole of a small one, and of a large one
// the header and the section entries. A poll then costs a read or two, not one per entry.
constexpr size_t HEADREAD = 16 << 10;

bool readexactly(int fd, void* into, size_t n, uint64_t at) {
  return readat(fd, into, n, at) == static_cast<ssize_t>(n);
}

}  // namespace

std::optional<CacheIndex> CacheIndex::open(int fd, const struct stat& cache) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (st.st_uid != ::geteuid() && st.st_uid != 0) return std::nullopt;
  auto size = static_cast<uint64_t>(st.st_size);
  if (size < HEADERSIZE || size > MAXINDEXBYTES) return std::nullopt;
  CacheIndex index;
  index.fd_ = fd;
  index.cachesize_ = static_cast<uint64_t>(cache.st_size);
  index.head_.resize(std::min<uint64_t>(size, HEADREAD));
  if (!readexactly(fd, index.head_.data(), index.head_.size(), 0)) return std::nullopt;
  uint64_t* h = index.header_;
  std::memcpy(h, index.head_.data(), HEADERSIZE);
  if (h[MAGIC] != MAGICWORD || h[ORDER] != ORDERWORD || h[CHECK] != check(h, CHECK * WORD))
    return std::nullopt;
  if (h[DEV] != static_cast<uint64_t>(cache.st_dev) ||
      h[INO] != static_cast<uint64_t>(cache.st_ino) ||
      h[SIZE] != static_cast<uint64_t>(cache.st_size) ||
      h[MTIME] != static_cast<uint64_t>(cache.st_mtim.tv_sec) ||
      h[MTIMENS] != static_cast<uint64_t>(cache.st_mtim.tv_nsec) ||
      h[CTIME] != static_cast<uint64_t>(cache.st_ctim.tv_sec) ||
      h[CTIMENS] != static_cast<uint64_t>(cache.st_ctim.tv_nsec))
    return std::nullopt;
  // Every count is checked against the size before it is multiplied, so nothing wraps.
  uint64_t left = size - HEADERSIZE;
  if (h[SECTIONCOUNT] > MAXSECTIONS || h[ZONECOUNT] > left / ENTRYSIZE) return std::nullopt;
  left -= (h[SECTIONCOUNT] + h[ZONECOUNT]) * ENTRYSIZE;
  if (h[NAMEBYTES] > left) return std::nullopt;
  left -= h[NAMEBYTES];
  if (h[COUNTED] > left / sizeof(uint32_t)) return std::nullopt;
  left -= h[COUNTED] * sizeof(uint32_t);
  if (h[COUNTEDBYTES] != left || h[TAIL] > index.cachesize_) return std::nullopt;
  index.names_ = HEADERSIZE + (h[SECTIONCOUNT] + h[ZONECOUNT]) * ENTRYSIZE;
  index.counted_ = index.names_ + h[NAMEBYTES];
  return index;
}

bool CacheIndex::read(void* into, size_t n, uint64_t at) const {
  if (n == 0) return true;  // `into` may then be the null data of an empty vector
  if (at <= head_.size() && n <= head_.size() - at) {
    std::memcpy(into, head_.data() + at, n);
    return true;
  }
  return readexactly(fd_, into, n, at);
}

bool CacheIndex::namefits(uint64_t at, uint64_t length) const {
  return at <= header_[NAMEBYTES] && length <= header_[NAMEBYTES] - at;
}

// The entry in `raw`, its name read (or taken from `known`, the names area already read) and
// both checked.
std::optional<IndexEntry> CacheIndex::decode(const char* raw, const std::string* known) const {
  uint64_t at = word(raw + NAME * WORD), length = word(raw + NAMELENGTH * WORD);
  IndexEntry e;
  e.present = true;
  e.begin = word(raw + BEGIN * WORD);
  e.end = word(raw + END * WORD);
  if (!namefits(at, length)) return std::nullopt;
  if (e.begin > e.end || e.end > cachesize_) return std::nullopt;
  if (known) {
    e.name = known->substr(at, length);
  } else {
    e.name.resize(length);
    if (!read(e.name.data(), length, names_ + at)) return std::nullopt;
  }
  if (entrycheck(e.name, e.begin, e.end) != word(raw + ENTRYCHECK * WORD)) return std::nullopt;
  return e;
}

// The sections' names come first among the names: their entries and their names are read
// once each.
std::optional<IndexEntry> CacheIndex::section(std::string_view name) const {
  std::string raw(header_[SECTIONCOUNT] * ENTRYSIZE, '\0');
  if (!read(raw.data(), raw.size(), HEADERSIZE)) return std::nullopt;
  uint64_t span = 0;
  for (const char* e = raw.data(); e < raw.data() + raw.size(); e += ENTRYSIZE) {
    uint64_t at = word(e + NAME * WORD), length = word(e + NAMELENGTH * WORD);
    if (!namefits(at, length)) return std::nullopt;
    span = std::max(span, at + length);
  }
  std::string all(span, '\0');
  if (!read(all.data(), all.size(), names_)) return std::nullopt;
  for (size_t i = 0; i < raw.size(); i += ENTRYSIZE) {
    std::optional<IndexEntry> e = decode(raw.data() + i, &all);
    if (!e) return std::nullopt;
    if (e->name == name) return e;
  }
  return IndexEntry{};
}

std::optional<IndexEntry> CacheIndex::zone(std::string_view name) const {
  uint64_t low = 0, high = header_[ZONECOUNT];
  while (low < high) {
    uint64_t middle = low + (high - low) / 2;
    char raw[ENTRYSIZE];
    if (!read(raw, ENTRYSIZE, HEADERSIZE + (header_[SECTIONCOUNT] + middle) * ENTRYSIZE))
      return std::nullopt;
    std::optional<IndexEntry> e = decode(raw, nullptr);
    if (!e) return std::nullopt;
    if (e->name == name) return e;
    if (std::string_view(e->name) < name)
      low = middle + 1;
    else
      high = middle;
  }
  return IndexEntry{};
}

std::optional<ZoneNames> CacheIndex::countedzones() const {
  ZoneNames names;
  names.ends.resize(header_[COUNTED]);
  names.bytes.resize(header_[COUNTEDBYTES]);
  size_t endbytes = names.ends.size() * sizeof(uint32_t);
  if (!read(names.ends.data(), endbytes, counted_) ||
      !read(names.bytes.data(), names.bytes.size(), counted_ + endbytes))
    return std::nullopt;
  if (check(names.ends.data(), endbytes, names.bytes.data(), names.bytes.size()) !=
      header_[COUNTEDCHECK])
    return std::nullopt;
  uint32_t last = 0;
  for (uint32_t end : names.ends) {
    if (end < last || end > names.bytes.size()) return std::nullopt;
    last = end;
  }
  return names;
}

uint64_t CacheIndex::tail() const { return header_[TAIL]; }

}  // namespace corvane
