#include "store/cacheindex.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "bounds.h"
#include "endrun.h"
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

void putentry(std::string& out, uint64_t nameat, const Named& n) {
  putword(out, nameat);
  putword(out, n.name.size());
  putword(out, n.span.begin);
  putword(out, n.span.end);
  putword(out, entrycheck(n.name, n.span.begin, n.span.end));
}

}  // namespace

std::string indexpath(const std::string& cachepath) { return cachepath + ".index"; }

std::string makeindex(const struct stat& st, const Document& doc, const Layout& layout) {
  const std::vector<Member>& members = doc.members();
  if (layout.members.size() != members.size() || layout.inner.size() != members.size()) return {};
  std::vector<Named> sections, zones;
  const Member* zonesmember = nullptr;
  for (size_t i = 0; i < members.size(); ++i) {
    sections.push_back({filename(members[i].key), layout.members[i], i, false});
    if (!members[i].key.null && members[i].key.text == "zones") {
      // Zones that are not a map are for the whole file to answer about.
      if (!members[i].value.map()) return {};
      zonesmember = &members[i];
      const std::vector<Member>& inner = members[i].value.map()->members();
      if (layout.inner[i].size() != inner.size()) return {};
      for (size_t j = 0; j < inner.size(); ++j) {
        const Map* counters = inner[j].value.map();
        zones.push_back({filename(inner[j].key), layout.inner[i][j], j, counters && !counters->empty()});
      }
    }
  }
  sections = asread(std::move(sections));
  zones = asread(std::move(zones));

  std::vector<const Named*> inorder;
  for (const Named& z : zones)
    if (z.counted) inorder.push_back(&z);
  std::sort(inorder.begin(), inorder.end(),
            [](const Named* a, const Named* b) { return a->position < b->position; });
  std::string countedends, countednames;
  for (const Named* z : inorder) {
    countednames += z->name;
    auto end = static_cast<uint32_t>(countednames.size());
    countedends.append(reinterpret_cast<const char*>(&end), sizeof end);
  }

  size_t namebytes = 0;
  for (const auto* list : {&sections, &zones})
    for (const Named& n : *list) namebytes += n.name.size();
  size_t total = HEADERSIZE + (sections.size() + zones.size()) * ENTRYSIZE + namebytes +
                 countedends.size() + countednames.size();
  if (total > MAXINDEXBYTES || sections.size() > MAXSECTIONS ||
      countednames.size() > UINT32_MAX)
    return {};

  uint64_t header[FIELDS] = {};
  header[MAGIC] = MAGICWORD;
  header[ORDER] = ORDERWORD;
  header[DEV] = st.st_dev;
  header[INO] = st.st_ino;
  header[SIZE] = static_cast<uint64_t>(st.st_size);
  header[MTIME] = static_cast<uint64_t>(st.st_mtim.tv_sec);
  header[MTIMENS] = static_cast<uint64_t>(st.st_mtim.tv_nsec);
  header[CTIME] = static_cast<uint64_t>(st.st_ctim.tv_sec);
  header[CTIMENS] = static_cast<uint64_t>(st.st_ctim.tv_nsec);
  header[SECTIONCOUNT] = sections.size();
  header[ZONECOUNT] = zones.size();
  header[NAMEBYTES] = namebytes;
  header[COUNTED] = inorder.size();
  header[COUNTEDBYTES] = countednames.size();
  header[COUNTEDCHECK] = check(countedends.data(), countedends.size(), countednames.data(),
                               countednames.size());
  // The json answer is "{" and the text after the zones, when they come first.
  if (zonesmember == &members.front())
    header[TAIL] = layout.members.front().end + (members.size() > 1 ? 2 : 0);
  header[CHECK] = check(header, CHECK * WORD);

  std::string out;
  out.reserve(total);
  out.append(reinterpret_cast<const char*>(header), HEADERSIZE);
  uint64_t nameat = 0;
  for (const auto* list : {&sections, &zones})
    for (const Named& n : *list) {
      putentry(out, nameat, n);
      nameat += n.name.size();
    }
  for (const auto* list : {&sections, &zones})
    for (const Named& n : *list) out += n.name;
  out += countedends;
  out += countednames;
  return out;
}

namespace {

bool readat(int fd, void* into, size_t n, uint64_t at) {
  auto* p = static_cast<char*>(into);
  while (n > 0) {
    ssize_t got = ::pread(fd, p, n, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
    at += static_cast<uint64_t>(got);
  }
  return true;
}

struct Entry {
  bool present = false;  // false: the index holds no such name
  std::string name;
  uint64_t begin = 0;
  uint64_t end = 0;
};

// The first bytes of an index are read at once: the whole of a small one, and of a large one
// the header and the section entries. A poll then costs a read or two, not one per entry.
constexpr size_t HEADREAD = 16 << 10;

// An index that serves the cache file, with where its parts begin.
struct Index {
  int fd;
  std::string head;  // its first bytes
  uint64_t header[FIELDS];
  uint64_t entries;  // where the entries begin
  uint64_t names;
  uint64_t counted;
  uint64_t cachesize;

  bool read(void* into, size_t n, uint64_t at) const {
    if (n == 0) return true;  // `into` may then be the null data of an empty vector
    if (at <= head.size() && n <= head.size() - at) {
      std::memcpy(into, head.data() + at, n);
      return true;
    }
    return readat(fd, into, n, at);
  }

  // Whether a name of `length` bytes at `at` lies within the names.
  bool namefits(uint64_t at, uint64_t length) const {
    return at <= header[NAMEBYTES] && length <= header[NAMEBYTES] - at;
  }

  // The entry in `raw`, its name read (or taken from `known`, the names area already read) and
  // both checked; nothing for one that is damaged or points outside the cache file.
  std::optional<Entry> decode(const char* raw, const std::string* known = nullptr) const {
    uint64_t at = word(raw + NAME * WORD), length = word(raw + NAMELENGTH * WORD);
    Entry e;
    e.present = true;
    e.begin = word(raw + BEGIN * WORD);
    e.end = word(raw + END * WORD);
    if (!namefits(at, length)) return std::nullopt;
    if (e.begin > e.end || e.end > cachesize) return std::nullopt;
    if (known) {
      e.name = known->substr(at, length);  // section() read every name this far
    } else {
      e.name.resize(length);
      if (!read(e.name.data(), length, this->names + at)) return std::nullopt;
    }
    if (entrycheck(e.name, e.begin, e.end) != word(raw + ENTRYCHECK * WORD)) return std::nullopt;
    return e;
  }

  // The sections' names come first among the names: their entries and their names are read
  // once each.
  std::optional<Entry> section(std::string_view name) const {
    std::string raw(header[SECTIONCOUNT] * ENTRYSIZE, '\0');
    if (!read(raw.data(), raw.size(), entries)) return std::nullopt;
    uint64_t span = 0;
    for (const char* e = raw.data(); e < raw.data() + raw.size(); e += ENTRYSIZE) {
      uint64_t at = word(e + NAME * WORD), length = word(e + NAMELENGTH * WORD);
      if (!namefits(at, length)) return std::nullopt;
      span = std::max(span, at + length);
    }
    std::string all(span, '\0');
    if (!read(all.data(), all.size(), names)) return std::nullopt;
    for (size_t i = 0; i < raw.size(); i += ENTRYSIZE) {
      std::optional<Entry> e = decode(raw.data() + i, &all);
      if (!e) return std::nullopt;
      if (e->name == name) return e;
    }
    return Entry{};
  }

  // The zone `name`, present or not.
  std::optional<Entry> zone(std::string_view name) const {
    uint64_t low = 0, high = header[ZONECOUNT];
    while (low < high) {
      uint64_t middle = low + (high - low) / 2;
      char raw[ENTRYSIZE];
      if (!read(raw, ENTRYSIZE, entries + (header[SECTIONCOUNT] + middle) * ENTRYSIZE))
        return std::nullopt;
      std::optional<Entry> e = decode(raw);
      if (!e) return std::nullopt;
      if (e->name == name) return e;
      if (std::string_view(e->name) < name)
        low = middle + 1;
      else
        high = middle;
    }
    return Entry{};
  }

  std::optional<ZoneNames> countednames() const {
    ZoneNames names;
    names.ends.resize(header[COUNTED]);
    names.bytes.resize(header[COUNTEDBYTES]);
    size_t endbytes = names.ends.size() * sizeof(uint32_t);
    if (!read(names.ends.data(), endbytes, counted) ||
        !read(names.bytes.data(), names.bytes.size(), counted + endbytes))
      return std::nullopt;
    if (check(names.ends.data(), endbytes, names.bytes.data(), names.bytes.size()) !=
        header[COUNTEDCHECK])
      return std::nullopt;
    uint32_t last = 0;
    for (uint32_t end : names.ends) {
      if (end < last || end > names.bytes.size()) return std::nullopt;
      last = end;
    }
    return names;
  }
};

std::optional<Index> openindex(int fd, const struct stat& cache) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (st.st_uid != ::geteuid() && st.st_uid != 0) return std::nullopt;
  auto size = static_cast<uint64_t>(st.st_size);
  if (size < HEADERSIZE || size > MAXINDEXBYTES) return std::nullopt;
  Index index{fd, std::string(std::min<uint64_t>(size, HEADREAD), '\0'), {}, HEADERSIZE, 0, 0,
              static_cast<uint64_t>(cache.st_size)};
  if (!readat(fd, index.head.data(), index.head.size(), 0)) return std::nullopt;
  uint64_t* h = index.header;
  std::memcpy(h, index.head.data(), HEADERSIZE);
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
  if (h[COUNTEDBYTES] != left || h[TAIL] > index.cachesize) return std::nullopt;
  index.names = HEADERSIZE + (h[SECTIONCOUNT] + h[ZONECOUNT]) * ENTRYSIZE;
  index.counted = index.names + h[NAMEBYTES];
  return index;
}

// The value of the member that `e` points at, read with readjson once the bytes before it
// are found to name it as the index does; nothing otherwise.
std::optional<Value> memberof(int cache, const Entry& e) {
  std::string expect;
  writetext(e.name, expect);
  expect += ": ";
  if (e.begin < expect.size()) return std::nullopt;
  std::string text(expect.size() + (e.end - e.begin), '\0');
  if (!readat(cache, text.data(), text.size(), e.begin - expect.size())) return std::nullopt;
  if (std::string_view(text).substr(0, expect.size()) != expect) return std::nullopt;
  try {
    return readjson(std::string_view(text).substr(expect.size()));
  } catch (const Failure&) {
    return std::nullopt;
  }
}

// {section: {key: value}}, as a read of the whole file for this member builds it.
std::optional<Reading> member(const Index& index, int cache, const Need& need) {
  std::optional<Entry> e = index.section(need.section);
  if (!e) return std::nullopt;
  Reading reading;
  if (!e->present) return reading;
  std::optional<Value> value;
  if (need.section == "zones") {
    std::optional<Entry> zone = index.zone(need.key);
    if (!zone) return std::nullopt;
    Map zones;
    if (zone->present) {
      std::optional<Value> counters = memberof(cache, *zone);
      if (!counters) return std::nullopt;
      zones.set(Key(need.key), std::move(*counters));
    }
    value = Value(std::move(zones));
  } else {
    value = memberof(cache, *e);
    if (!value) return std::nullopt;
    if (Map* map = value->map()) {
      Map part;
      if (Value* found = map->find(Key(need.key))) part.set(Key(need.key), std::move(*found));
      value = Value(std::move(part));
    }
  }
  reading.doc.set(Key(need.section), std::move(*value));
  return reading;
}

}  // namespace

std::optional<Reading> readindexed(int index, int cache, const struct stat& st, const Need& need) {
  if (need.shape == Need::WHOLE) return std::nullopt;
  std::optional<Index> found = openindex(index, st);
  if (!found) return std::nullopt;
  switch (need.shape) {
    case Need::NOTHING: return Reading{};
    case Need::MEMBER: return member(*found, cache, need);
    case Need::OUTLINE: {
      std::optional<Entry> e = found->section(need.section);
      if (!e || need.section != "zones") return std::nullopt;
      Reading reading;
      if (!e->present) return reading;
      reading.counted = found->countednames();
      if (!reading.counted) return std::nullopt;
      reading.doc.set(Key("zones"), Value(Map()));
      return reading;
    }
    case Need::ALLBUT: {
      const uint64_t tail = found->header[TAIL];
      if (need.section != "zones" || tail == 0) return std::nullopt;
      std::string text = "{";
      text.resize(1 + (found->cachesize - tail));
      if (!readat(cache, text.data() + 1, text.size() - 1, tail)) return std::nullopt;
      Value rest;
      try {
        rest = readjson(text);
      } catch (const Failure&) {
        return std::nullopt;
      }
      if (!rest.map()) return std::nullopt;
      Reading reading;
      reading.doc.set(Key("zones"), Value(Map()));
      for (const Member& m : rest.map()->members()) reading.doc.set(m.key, m.value);
      return reading;
    }
    case Need::WHOLE: break;
  }
  return std::nullopt;
}

}  // namespace corvane
