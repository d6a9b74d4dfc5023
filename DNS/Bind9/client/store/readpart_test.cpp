// The partial read of a cache file against the whole one: every answer the same, byte for
// byte, and every text that readjson refuses refused.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "answer.h"
#include "endrun.h"
#include "store/cache.h"
#include "store/jsonform.h"
#include "store/readpart.h"
#include "testsupport/ask.h"

namespace corvane {
namespace {

using namespace testsupport;

// Zone names and counter values that take every path of the writer's escaping.
const char* const NAMES[] = {"a.example", "say \"hi\"\\", "caf\xc3\xa9.example",
                             "\xf0\x9f\x98\x80.example", "null", "", "tab\there"};
const char* const TEXTS[] = {"0", "417", "0012", "", "say \"hi\"\\\tand\nmore", "\xc3\xa9",
                             "\xf0\x9f\x98\x80", "\x01\x7f", "/"};

// A server of `zones` zones: zone i has i % 5 counters (so some are empty), a value of every
// kind among them, null values, a null zone name, and sections of every size.
Document generated(int zones) {
  Document doc = newdocument();
  for (int i = 0; i < zones; ++i) {
    Map counters;
    for (int c = 0; c < i % 5 * 4; ++c) {
      std::string name = c % 7 == 6 ? NAMES[(c / 7 + i) % 7] : "C" + std::to_string(c);
      counters.set(Key(name), c % 11 == 10 ? Value() : Value(TEXTS[(i + c) % 9]));
    }
    std::string name = i < 7 ? NAMES[i] : "zone" + std::to_string(i) + ".example";
    setzone(doc, i == 8 ? Key::none() : Key(name), std::move(counters));
  }
  for (int c = 0; c < 30; ++c) setcounter(doc, "counter", "N" + std::to_string(c), TEXTS[c % 9]);
  setcounter(doc, "counter", "Unset", Value());
  setcounter(doc, "cache", "!A", "3");
  setcounter(doc, "memory", "InUse", "123456");
  return doc;
}

// What a run prints, or the diagnostic it ends with.
std::string outcome(const Args& args, Document& doc) {
  try {
    Ending e = answerquery(args, doc);
    return std::to_string(e.status) + "|" + e.out + "|" + e.err;
  } catch (const Failure& f) {
    return std::string("failure: ") + f.what();
  }
}

// The questions asked of every document: each action, with options present, absent, empty,
// naming what exists and what does not.
std::vector<Args> questions() {
  std::vector<Args> all = {
      ask("discoverzones"), ask("json"), ask("json", "a.example", "C1"),
      ask("zonecounter"), ask("zonecounter", "a.example"), ask("zonecounter", none, "C1"),
      ask("zonecounter", "", "C1"), ask("zonecounter", "a.example", ""),
      ask("jsonzone"), ask("jsonzone", ""), ask("jsonzone", "nowhere"),
      ask("counter"), ask("counter", none, ""), ask("counter", none, "N3"),
      ask("counter", none, "Unset"), ask("counter", none, "nothing"), ask("cache", none, "!A"),
      ask("memory", none, "InUse"), ask("bogus", none, "N1"), ask("bogus"), ask(none, none, "x"),
      ask("zones", none, "a.example"), ask("zones", none, "null"),
      ask("zonecounter", "nowhere", "C1"),
  };
  for (const char* zone : {"a.example", "say \"hi\"\\", "caf\xc3\xa9.example",
                           "\xf0\x9f\x98\x80.example", "null", "tab\there", "zone9.example",
                           "zone13.example", "zone40.example"}) {
    all.push_back(ask("jsonzone", zone));
    all.push_back(ask("zones", none, zone));
    for (const char* counter : {"C0", "C1", "C5", "C10", "C13", "tab\there", "C99"})
      all.push_back(ask("zonecounter", zone, counter));
  }
  return all;
}

Pull chunks(std::string_view text, size_t size) {
  auto at = std::make_shared<size_t>(0);
  return [text, size, at](char* into, size_t room) {
    size_t n = std::min({size, room, text.size() - *at});
    std::memcpy(into, text.data() + *at, n);
    *at += n;
    return n;
  };
}

class ReadPart : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/corvane-readpart-test.XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    dir = tmpl;
    path = dir + "/corvane.json";
  }
  void TearDown() override {
    ::unlink(path.c_str());
    ::rmdir(dir.c_str());
  }

  void place(const std::string& text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
  }

  // The run as it was: the whole text through readjson, then the answer.
  std::string whole(const std::string& text, const Args& args) {
    Value value;
    try {
      value = readjson(text);
    } catch (const Failure& f) {
      return "failure: cache file " + path + ": " + f.what();
    }
    if (!value.map()) return "failure: cache file " + path + ": does not hold a JSON object";
    return outcome(args, *value.map());
  }

  // The run as it is: the cache file read for what the answer needs.
  std::string part(const Args& args) {
    Document doc;
    try {
      doc = readcache(path, needof(args));
    } catch (const Failure& f) {
      return std::string("failure: ") + f.what();
    }
    return outcome(args, doc);
  }

  void sameanswers(const std::string& text, const std::vector<Args>& asked = questions()) {
    place(text);
    for (const Args& args : asked) {
      SCOPED_TRACE(args.action.value_or("<none>") + " -z " + args.z.value_or("<none>") +
                   " -c " + args.c.value_or("<none>"));
      EXPECT_EQ(part(args), whole(text, args));
    }
  }

  std::string dir, path;
};

TEST_F(ReadPart, AnswersAsTheWholeDocumentDoes) {
  for (int zones : {0, 1, 9, 60}) {
    SCOPED_TRACE(zones);
    sameanswers(writejson(generated(zones)));
  }
}

TEST_F(ReadPart, AnswersFilesThisProgramDidNotWriteAsBefore) {
  std::string doc = writejson(generated(12));
  const std::string texts[] = {
      // White space wherever the grammar allows it.
      " \t\r\n{ \"zones\" :\n{\"a.example\"\t:{ \"C1\" : \"1\" } , \"b\":{}}\r,"
      "\"counter\":{\"N3\":null}}\n ",
      // Names given twice: the first place, the last value, also of whole sections and zones.
      R"({"zones": {"a.example": {"C1": "1", "C1": "2"}, "b": {}, "a.example": {"C5": "5"}}, )"
      R"("counter": {"N3": "x"}, "zones": {"a.example": {"C1": "3"}}, "counter": {}})",
      // Sections in another order, some missing, some not objects.
      R"({"memory": {"InUse": "1"}, "counter": "flat", "zones": {"a.example": "flat"}})",
      R"({"counter": {}})",
      R"({"zones": null, "json": {}})",
      R"({"zones": "x", "counter": {}})",
      // What only a foreign file holds: numbers, literals, arrays, deeper nesting.
      R"({"zones": {"a.example": {"C1": 12, "C5": true}}, "counter": {"N3": [1, "2"]}})",
      R"({"zones": {"a.example": {"C1": {"deeper": "1"}}}, "counter": {"N3": false}})",
      // Every escape, and a low surrogate without its high half.
      R"({"zones": {"a.example": {"C1": "\u00e9\ud83d\ude00\u0000\/\b\f\n\r\t\"\\"}}})",
      R"({"zones": {"caf\u00e9.example": {"tab\there": "\udc00 lone low half"}}})",
      "[]",
      "\"text\"",
      doc,
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.substr(0, 80));
    sameanswers(text);
  }
}

TEST_F(ReadPart, LongTextsAcrossTheBuffer) {
  Document doc = newdocument();
  Map counters;
  // Longer than the reader's buffer, with escapes of every length around its boundaries.
  std::string longtext(150'000, 'x');
  for (size_t i = 60'000; i < 70'000; i += 7) longtext[i] = "\"\\\t\x01"[i % 4];
  longtext += "\xf0\x9f\x98\x80";
  counters.set("C1", longtext);
  counters.set(Key(longtext), "long name");
  setzone(doc, "a.example", counters);
  std::string longzone(70'000, 'z');
  setzone(doc, Key(longzone), counters);
  std::string text = writejson(doc);
  std::optional<Value> part = readjsonpart(chunks(text, 65536), Need());
  ASSERT_TRUE(part.has_value());
  EXPECT_TRUE(writejson(*part) == text);
  sameanswers(text, {ask("discoverzones"), ask("json"), ask("jsonzone", "a.example"),
                     ask("zonecounter", "a.example", "C1"), ask("zonecounter", longzone, longtext),
                     ask("zones", none, longzone)});
}

// Every text the program writes is read by the partial reader itself, however it arrives, and
// gives exactly what readjson gives.
TEST(ReadJsonPart, ReadsWhatTheWriterWroteInPiecesOfAnySize) {
  std::string text = writejson(generated(30));
  // The null zone and the zone "null" are one zone once read back.
  std::string expected = writejson(readjson(text));
  for (size_t size : {1, 2, 3, 5, 11, 64, 4096, 1 << 20}) {
    SCOPED_TRACE(size);
    std::optional<Value> part = readjsonpart(chunks(text, size), Need());
    ASSERT_TRUE(part.has_value());
    EXPECT_TRUE(writejson(*part) == expected);
    for (const Args& args : questions())
      EXPECT_TRUE(readjsonpart(chunks(text, size), needof(args)).has_value());
  }
}

// Cut short anywhere, or with one byte changed anywhere, a text is read by the partial reader
// only when readjson reads it too, and then to the same value.
TEST(ReadJsonPart, RefusesEveryTextThatReadjsonRefuses) {
  Document doc = newdocument();
  Map counters;
  counters.set("C1", "say \"hi\"\\\t\xc3\xa9\xf0\x9f\x98\x80");
  counters.set("C2", Value());
  setzone(doc, "a.example", counters);
  setcounter(doc, "counter", "N1", "12");
  std::string text = writejson(doc);

  // Every need, so that the path that skips what it does not build is checked as well.
  const Need needs[] = {Need(), needof(ask("discoverzones")), needof(ask("json")),
                        needof(ask("counter")), needof(ask("zonecounter", "a.example", "C1")),
                        needof(ask("counter", none, "N1"))};
  auto agree = [&](const std::string& candidate) {
    std::optional<std::string> expected;
    try {
      Value v = readjson(candidate);
      if (v.map()) expected = writejson(v);
    } catch (const Failure&) {
    }
    for (const Need& need : needs) {
      std::optional<Value> part = readjsonpart(chunks(candidate, 3), need);
      if (!expected) {
        EXPECT_FALSE(part.has_value()) << candidate;
      } else if (part && need.shape == Need::WHOLE) {
        EXPECT_EQ(writejson(*part), *expected) << candidate;
      }
    }
  };
  for (size_t cut = 0; cut < text.size(); ++cut) agree(text.substr(0, cut));
  const char replacements[] = {'"', '\\', '{', '}', ',', ':', ' ', 'n', 'u', 'x', '0', '\x01',
                               '\0'};
  for (size_t at = 0; at < text.size(); ++at)
    for (char r : replacements) {
      std::string changed = text;
      changed[at] = r;
      agree(changed);
    }
  for (std::string tail : {std::string(" "), std::string("\n\t\r "), std::string(" x"),
                           std::string("{}"), std::string(1, '\0'), std::string("\xef\xbb\xbf")})
    agree(text + tail);
}

}  // namespace
}  // namespace corvane
