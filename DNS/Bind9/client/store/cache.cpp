#include "store/cache.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/atomicfile.h"
#include "base/beside.h"
#include "base/ending.h"
#include "base/fd.h"
#include "base/mapped.h"
#include "base/port.h"
#include "store/cacheindex.h"
#include "store/cachelock.h"

namespace corvane {

namespace {

// What gathers of the cache text before it is written out.
constexpr size_t WRITECHUNK = 64 << 10;

std::string named(const std::string& path) { return "cache file " + path; }

// `what` is a view so that building the call cannot disturb errno before it is read.
[[noreturn]] void fail(const std::string& path, std::string_view what, int err = 0) {
  std::string message = named(path) + ": ";
  message += what;
  if (err) message += std::string(": ") + std::strerror(err);
  throw Failure(message);
}

// In a shared directory anyone may leave a file at the cache's path; only a regular file of
// this user or root can have come from a run of this program.
const char* untrusted(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if (st.st_uid != geteuid() && st.st_uid != 0) return "owned by another user";
  return nullptr;
}

// The Parts that build what a Need names of a cache file read whole, and what an index of the
// file takes besides: every section, left empty but for the one that the need names, and every
// zone with its first counter, which tells whether it holds any.
struct Plan {
  Part first{false, {}, &EVERYTHING, true};  // a zone: its first counter
  Part outline{false, {}, &first, false};     // the zones: each with its first counter
  Part empty;                                 // a section left empty
  std::array<Pick, 1> keypick;
  Part member;                                // the section named: the one member
  std::array<Pick, 2> toppicks;
  Part top;

  explicit Plan(const Need& need) {
    const std::string_view zones = nameof(Section::ZONES);
    keypick = {Pick{need.key, &EVERYTHING}};
    toppicks = {Pick{need.section, &member}, Pick{zones, &outline}};
    top = Part{false, toppicks, &empty, false};
    switch (need.shape) {
      case Need::WHOLE: top = EVERYTHING; break;
      case Need::NOTHING: toppicks[0] = Pick{zones, &outline}; break;
      case Need::MEMBER:
        // Of the zones, the one named whole; of another section, the one member alone.
        member = Part{false, keypick, need.section == zones ? &first : nullptr, false};
        break;
      case Need::OUTLINE: toppicks[0] = Pick{need.section, &outline}; break;
      case Need::ALLBUT:
        toppicks[0] = Pick{need.section, need.section == zones ? &outline : &empty};
        top.other = &EVERYTHING;
        break;
    }
  }
  Plan(const Plan&) = delete;
  Plan& operator=(const Plan&) = delete;
};

}  // namespace

std::string cachefor(const std::string& path, unsigned port) {
  if (port == DEFAULTPORT) return path;
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = path.size();
  return path.substr(0, dot) + "-" + std::to_string(port) + path.substr(dot);
}

bool cachefresh(const std::string& path, WallClock::time_point now, std::chrono::milliseconds life) {
  // A link is not followed: whoever planted it chose what it points at.
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return false;
  if (untrusted(st)) return false;
  return now - modified(st) <= life;
}

Reading readdocument(Document doc, const Need& need) {
  Reading reading{std::move(doc), {}};
  // A section that is no map is for the answer to find fault with.
  Value* section = reading.doc.find(Key(need.shape == Need::WHOLE ? nameof(Section::ZONES) : need.section));
  Map* members = section ? section->map() : nullptr;
  if (!members) return reading;
  // The zones that a fetch keeps packed are made maps again where the answer reads them.
  if (need.shape == Need::OUTLINE) {
    reading.zones = countedzones(*members);
  } else if (need.shape == Need::MEMBER && need.section == nameof(Section::ZONES)) {
    if (Value* zone = members->find(Key(need.key))) unpack(*zone);
  } else if (need.shape == Need::WHOLE) {
    std::vector<Key> zones;
    for (const Member& zone : members->members()) zones.push_back(zone.key);
    for (const Key& zone : zones) unpack(*members->find(zone));
  }
  return reading;
}

namespace {

// What `need` names of a JSON text, pulled or in memory.
template <class Text>
std::optional<Reading> readpart(const Text& text, const Need& need, Layout* layout) {
  Plan plan(need);
  std::optional<Value> value = readjson(text, plan.top, layout);
  if (!value || !value->map()) return std::nullopt;
  return readdocument(std::move(*value->map()), need);
}

}  // namespace

std::optional<Reading> readtext(const Pull& pull, const Need& need, Layout* layout) {
  return readpart(pull, need, layout);
}

namespace {

// The value of the member that `e` points at, read with readjson once the bytes before it
// are found to name it as the index does; nothing otherwise.
std::optional<Value> memberof(int cache, const IndexEntry& e) {
  std::string expect;
  writetext(e.name, expect);
  expect += ": ";
  if (e.begin < expect.size()) return std::nullopt;
  std::string text(expect.size() + (e.end - e.begin), '\0');
  if (readat(cache, text.data(), text.size(), e.begin - expect.size()) !=
      static_cast<ssize_t>(text.size()))
    return std::nullopt;
  if (std::string_view(text).substr(0, expect.size()) != expect) return std::nullopt;
  try {
    return readjson(std::string_view(text).substr(expect.size()));
  } catch (const Failure&) {
    return std::nullopt;
  }
}

// {section: {key: value}}, as a read of the whole file for this member builds it.
std::optional<Reading> member(const CacheIndex& index, int cache, const Need& need) {
  std::optional<IndexEntry> e = index.section(need.section);
  if (!e) return std::nullopt;
  Reading reading;
  if (!e->present) return reading;
  std::optional<Value> value;
  if (need.section == nameof(Section::ZONES)) {
    std::optional<IndexEntry> zone = index.zone(need.key);
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

// The zones section, left empty, and the names of the zones that hold counters.
std::optional<Reading> outline(const CacheIndex& index, const Need& need) {
  std::optional<IndexEntry> e = index.section(need.section);
  if (!e || need.section != nameof(Section::ZONES)) return std::nullopt;
  Reading reading;
  if (!e->present) return reading;
  std::optional<ZoneNames> names = index.countedzones();
  if (!names) return std::nullopt;
  reading.zones = std::move(*names);
  reading.doc.set(Key(need.section), Value(Map()));
  return reading;
}

// "{" and the text after the zones: every other section, the zones left empty before them.
std::optional<Reading> allbutzones(const CacheIndex& index, int cache, const Need& need) {
  const uint64_t tail = index.tail();
  if (need.section != nameof(Section::ZONES) || tail == 0) return std::nullopt;
  std::string text = "{";
  text.resize(1 + (index.cachesize() - tail));
  if (readat(cache, text.data() + 1, text.size() - 1, tail) != static_cast<ssize_t>(text.size() - 1))
    return std::nullopt;
  Value rest;
  try {
    rest = readjson(text);
  } catch (const Failure&) {
    return std::nullopt;
  }
  if (!rest.map()) return std::nullopt;
  Reading reading;
  reading.doc.set(Key(need.section), Value(Map()));
  for (const Member& m : rest.map()->members()) reading.doc.set(m.key, m.value);
  return reading;
}

}  // namespace

std::optional<Reading> readindexed(int index, int cache, const struct stat& st, const Need& need) {
  if (need.shape == Need::WHOLE) return std::nullopt;
  std::optional<CacheIndex> found = CacheIndex::open(index, st);
  if (!found) return std::nullopt;
  switch (need.shape) {
    case Need::NOTHING: return Reading{};
    case Need::MEMBER: return member(*found, cache, need);
    case Need::OUTLINE: return outline(*found, need);
    case Need::ALLBUT: return allbutzones(*found, cache, need);
    case Need::WHOLE: break;
  }
  return std::nullopt;
}

namespace {

std::string larger(const std::string& what) {
  return "larger than " + std::to_string(MAXCACHEBYTES >> 20) + " MiB" + what;
}

// Every byte of the file, bounded: the partial read goes through the same reader.
Pull bounded(const std::string& path, int fd, uint64_t& total) {
  return [&path, fd, &total](char* into, size_t room) -> size_t {
    ssize_t n = readat(fd, into, room, total);
    if (n < 0) fail(path, "cannot read it", errno);
    total += static_cast<size_t>(n);
    if (total > MAXCACHEBYTES) fail(path, larger(""));
    return static_cast<size_t>(n);
  };
}

// The whole file, read and checked, whatever the need, with where its parts stand. Only a
// file found at fault is read a second time, whole, for readjson to say what is wrong with it.
Reading readwhole(const std::string& path, int fd, const struct stat& st, const Need& need,
                  Layout& layout) {
  // Mapped, the file is read at several times the speed of a copy through a buffer.
  if (std::optional<Mapped> mapped = Mapped::map(fd, static_cast<size_t>(st.st_size)))
    if (std::optional<Reading> reading = readpart(mapped->text(), need, &layout)) return std::move(*reading);
  uint64_t total = 0;
  Pull pull = bounded(path, fd, total);
  layout = Layout();
  if (std::optional<Reading> reading = readtext(pull, need, &layout)) return std::move(*reading);
  total = 0;
  std::string text(static_cast<size_t>(st.st_size) + 1, '\0');
  size_t have = 0;
  while (size_t n = pull(text.data() + have, text.size() - have)) {
    have += n;
    if (have == text.size()) text.resize(text.size() * 2);  // grown since fstat; pull bounds it
  }
  text.resize(have);
  Value value;
  try {
    value = readjson(text);
  } catch (const Failure& e) {
    fail(path, e.what());
  }
  if (!value.map()) fail(path, "does not hold a JSON object");
  layout = Layout();  // nothing is known of where the parts of this one stand
  return readdocument(std::move(*value.map()), need);
}

// The index of the file put in place at `path`, whose status is `st`. Whatever goes wrong
// leaves no index: a poll then reads the file.
void writeindex(const std::string& path, const struct stat& st, const Document& doc,
                const Layout& layout) {
  std::string target = indexpath(path);
  try {
    std::string bytes = makeindex(st, doc, layout);
    if (bytes.empty()) throw Failure("no index");
    AtomicFile index(target, "index " + target);
    // The index goes with the file: same owner, same permissions, so that whoever may replace
    // the one may replace the other.
    index.passon(st);
    index.write(bytes);
    index.commit();
  } catch (const std::exception&) {
    // An index of an older file serves no one: it is ignored, but gone is clearer.
    ::unlink(target.c_str());
  }
}

bool samefile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// A file answered from without its index, after a touch, a deletion of the index or another
// version's index, gets one again, for the very file that was read: the polls after this one
// read only the bytes of their answers. Only when the lock is free at once (a fetch under way
// writes an index of its own) and the index is not another user's, which cannot be replaced.
void heal(const std::string& path, const struct stat& st, const Document& doc, const Layout& layout) {
  if (layout.members.empty()) return;
  struct stat old;
  if (::lstat(indexpath(path).c_str(), &old) == 0 && old.st_uid != ::geteuid() && ::geteuid() != 0)
    return;
  CacheLock lock = lockcache(path, SteadyClock::now());
  struct stat now;
  if (!lock.held() || ::lstat(path.c_str(), &now) != 0 || !samefile(now, st)) return;
  writeindex(path, st, doc, layout);
}

}  // namespace

Reading readcache(const std::string& path, const Need& need) {
  // Never through a link, and non-blocking: a FIFO or a device planted after the freshness
  // test must not hold the run.
  Fd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file) fail(path, "cannot open it", errno);
  struct stat st;
  if (::fstat(file.get(), &st) != 0) fail(path, "cannot read its status", errno);
  if (const char* why = untrusted(st))
    fail(path, std::string(why) + " (uid " + std::to_string(st.st_uid) + ")");
  if (static_cast<uint64_t>(st.st_size) > MAXCACHEBYTES)
    fail(path, larger(" (" + std::to_string(st.st_size) + " bytes), more than any statistics document"));

  // Never through a link, never blocking on a FIFO; readindexed checks the rest.
  Fd index(::open(indexpath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (index && need.shape != Need::WHOLE)
    if (std::optional<Reading> part = readindexed(index.get(), file.get(), st, need)) return std::move(*part);
  Layout layout;
  Reading reading = readwhole(path, file.get(), st, need, layout);
  // An index that served the file would have answered any other need: only a whole read may
  // pass one by that is good.
  bool good = need.shape == Need::WHOLE && index && CacheIndex::open(index.get(), st);
  if (!good) heal(path, st, reading.doc, layout);
  return reading;
}

void writecache(const std::string& path, const Document& doc) {
  AtomicFile file(path, named(path));
  // The file that is replaced keeps its permissions, and its owner when root replaces another
  // user's file: the monitoring agent's own runs must still be able to replace it later.
  file.inherit();

  // The text goes out in chunks as it is written: whole, it would be a large second copy of
  // the document at the run's peak of memory.
  std::string text;
  text.reserve(WRITECHUNK + 4096);
  Layout layout;
  writejson(doc, text, [&](std::string& out) { file.write(out); out.clear(); }, WRITECHUNK, &layout);
  if (std::optional<struct stat> placed = file.commit())
    writeindex(path, *placed, doc, layout);
  else
    ::unlink(indexpath(path).c_str());
}

}  // namespace corvane
