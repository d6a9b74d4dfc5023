#include "store/cacheindex.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <fcntl.h>
#include <random>
#include <unistd.h>

#include "answer.h"
#include "base/beside.h"
#include "store/cache.h"
#include "store/cachelock.h"
#include "testsupport/tempdir.h"

namespace corvane {
namespace {

// Names that the JSON form escapes, that collide once written (a null key and the text null),
// that sort oddly, or that name a section.
const char* const NAMES[] = {"a", "b.example", "null", "", "say \"hi\"", "back\\slash", "tab\tnew\nline",
                             "caf\xc3\xa9", "\xf0\x9f\x98\x80", "\x01", "zones", "counter",
                             "a-name-well-over-fifteen-characters.example", "A", "!A", "_A"};

Key anykey(std::mt19937& random) {
  size_t pick = random() % (std::size(NAMES) + 1);
  return pick == std::size(NAMES) ? Key::none() : Key(NAMES[pick]);
}

Value anyvalue(std::mt19937& random) {
  switch (random() % 4) {
    case 0: return Value();
    case 1: return Value("");
    default: return Value(std::to_string(random() % 1000));
  }
}

Map anymap(std::mt19937& random, size_t most) {
  Map map;
  for (size_t n = random() % (most + 1); n > 0; --n) map.set(anykey(random), anyvalue(random));
  return map;
}

Document anydocument(std::mt19937& random) {
  Document doc = newdocument();
  for (size_t n = random() % 12; n > 0; --n) setzone(doc, anykey(random), anymap(random, 4));
  for (std::string_view name : SECTIONS)
    if (name != "zones") section(doc, name) = anymap(random, 6);
  return doc;
}

std::string answer(const std::string& path, const Args& args) {
  try {
    Reading reading = readcache(path, readsof(args));
    Ending e = answerquery(args, reading);
    return std::to_string(e.status) + " " + e.out + "|" + e.err;
  } catch (const Failure& f) {
    return std::string("failure ") + f.what();
  }
}

// Whether the index beside `path` serves `need` itself, without the whole file.
bool served(const std::string& path, const Need& need) {
  int cache = ::open(path.c_str(), O_RDONLY), index = ::open(indexpath(path).c_str(), O_RDONLY);
  struct stat st;
  bool yes = cache >= 0 && index >= 0 && ::fstat(cache, &st) == 0 &&
             readindexed(index, cache, st, need).has_value();
  ::close(cache);
  ::close(index);
  return yes;
}

// Every question an item may ask of `doc`, with options that find something and some that do not.
std::vector<Args> questions(const Document& doc) {
  std::vector<Args> all = {{"discoverzones", {}, {}, {}}, {"json", {}, {}, {}},
                           {"nosuch", {}, "x", {}}, {"zonecounter", "a", {}, {}}};
  std::vector<std::string> words = {"nosuch"};
  for (const Member& m : doc.members()) {
    if (const Map* inner = m.value.map())
      for (const Member& n : inner->members()) words.push_back(n.key.null ? "null" : std::string(n.key.text));
  }
  for (const std::string& z : words) {
    all.push_back({"jsonzone", z, {}, {}});
    all.push_back({"zones", {}, z, {}});
    for (const char* section : {"counter", "memory", "cache"}) all.push_back({section, {}, z, {}});
    for (const char* c : {"a", "null", "A", ""}) all.push_back({"zonecounter", z, c, {}});
  }
  return all;
}

// The index serves `args` itself, and answers as the whole file does.
void expectsame(const std::string& path, const Args& args, const Document& doc) {
  std::string index = indexpath(path);
  EXPECT_TRUE(served(path, readsof(args))) << *args.action;
  std::string indexed = answer(path, args);
  ASSERT_EQ(::rename(index.c_str(), (index + ".away").c_str()), 0);
  std::string whole = answer(path, args);
  ASSERT_EQ(::rename((index + ".away").c_str(), index.c_str()), 0);
  ASSERT_EQ(indexed, whole) << *args.action << " -z " << args.z.value_or("-") << " -c "
                            << args.c.value_or("-") << "\n" << writejson(doc);
}

using CacheIndex = testsupport::TempDir;

TEST_F(CacheIndex, AnswersAsTheWholeFileDoes) {
  std::mt19937 random(20261210);
  for (int round = 0; round < 60; ++round) {
    Document doc = anydocument(random);
    writecache(path, doc);
    ASSERT_EQ(::access(indexpath(path).c_str(), F_OK), 0);
    for (const Args& args : questions(doc)) expectsame(path, args, doc);
  }
}

// A server's worth of zones: the index is read in pieces, not at once.
TEST_F(CacheIndex, AnswersFromALargeIndex) {
  std::mt19937 random(20261211);
  Document doc = anydocument(random);
  for (int i = 0; i < 3000; ++i)
    setzone(doc, Key("zone-" + std::to_string(i * 7919 % 3000) + ".example"), anymap(random, 3));
  writecache(path, doc);
  struct stat st;
  ASSERT_EQ(::stat(indexpath(path).c_str(), &st), 0);
  EXPECT_GT(st.st_size, 100 << 10);
  std::vector<Args> asked = {{"discoverzones", {}, {}, {}}, {"json", {}, {}, {}}};
  for (const char* z : {"zone-0.example", "zone-1499.example", "zone-2999.example", "zone-3000.example", "a"}) {
    asked.push_back({"jsonzone", z, {}, {}});
    for (const char* c : {"a", "null", "A"}) asked.push_back({"zonecounter", z, c, {}});
  }
  for (const char* section : {"counter", "memory", "cache"}) asked.push_back({section, {}, "a", {}});
  for (const Args& args : asked) expectsame(path, args, doc);
}

// A cache file answered from without a usable index gets one again, for that very file, from
// the first poll that reads it whole; not while another run holds the lock.
TEST_F(CacheIndex, AFileReadWholeGetsItsIndexAgain) {
  std::mt19937 random(20261212);
  Document doc = anydocument(random);
  for (int i = 0; i < 50; ++i) setzone(doc, Key("zone-" + std::to_string(i) + ".example"), anymap(random, 3));
  const std::string index = indexpath(path);
  auto touch = [&] {
    timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 5, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), later, 0), 0);
  };
  auto damage = [&] {
    int fd = ::open(index.c_str(), O_RDWR);
    char byte = 0;
    ASSERT_EQ(::pread(fd, &byte, 1, 100), 1);  // in the header
    byte ^= 0x40;
    ASSERT_EQ(::pwrite(fd, &byte, 1, 100), 1);
    ::close(fd);
  };
  const struct {
    const char* what;
    std::function<void()> voids;
  } cases[] = {
      {"touched", touch},
      {"index removed", [&] { ::unlink(index.c_str()); }},
      {"index damaged", damage},
  };
  const Args asked[] = {{"zonecounter", "zone-7.example", "a", {}}, {"counter", {}, "A", {}},
                        {"discoverzones", {}, {}, {}}, {"json", {}, {}, {}}};
  for (const auto& c : cases) {
    for (const Args& args : asked) {
      writecache(path, doc);
      c.voids();
      ASSERT_FALSE(served(path, readsof(args))) << c.what;
      std::string whole = answer(path, args);
      EXPECT_TRUE(served(path, readsof(args))) << c.what << " " << *args.action;
      EXPECT_EQ(answer(path, args), whole) << c.what << " " << *args.action;
    }
  }
  writecache(path, doc);
  touch();
  CacheLock fetching = lockcache(path, SteadyClock::now());
  ASSERT_TRUE(fetching.held());
  answer(path, asked[0]);
  EXPECT_FALSE(served(path, readsof(asked[0])));
}

}  // namespace
}  // namespace corvane
