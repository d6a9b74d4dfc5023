#include "answer.h"

#include <gtest/gtest.h>

#include "store/jsonform.h"
#include "testsupport/ask.h"

namespace corvane {
namespace {

using namespace testsupport;

// A small server: two zones with counters around one without, and a few sections.
Document sample() {
  Document doc = newdocument();
  Map a;
  a.set("QUERY", "417");
  a.set("NXDOMAIN", "0012");
  setzone(doc, "a.example", a);
  setzone(doc, "empty.example", Map());
  Map b;
  b.set("A", Value());
  b.set("AAAA", "");
  setzone(doc, "b.example", b);
  setcounter(doc, "counter", "Requestv4", "42");
  setcounter(doc, "counter", "Odd", "say \"hi\"\\\tand\nmore");
  setcounter(doc, "counter", "Unset", Value());
  setcounter(doc, "cache", "A", "7");
  setcounter(doc, "cache", "!A", "3");
  setcounter(doc, "memory", "InUse", "123456");
  return doc;
}

const std::string MARK = "ZBX_NOTSUPPORTED\n";
const std::string MISSING = "Missing argument\n";
const std::string JSONREST =
    "{\"counter\": {\"Requestv4\": \"42\", \"Odd\": \"say \\\"hi\\\"\\\\\\tand\\nmore\", \"Unset\": null}, "
    "\"zonemaintenancecounter\": {}, \"resolvercounter\": {}, \"socketcounter\": {}, "
    "\"incounter\": {}, \"outcounter\": {}, \"cache\": {\"A\": \"7\", \"!A\": \"3\"}, "
    "\"memory\": {\"InUse\": \"123456\"}}\n";

// The answer from a whole document, as a fetching run gives it.
Ending answerquery(const Args& args, Document& doc) {
  Reading reading = readdocument(std::move(doc), readsof(args));
  Ending e = corvane::answerquery(args, reading);
  doc = std::move(reading.doc);
  return e;
}

struct Case {
  const char* name;
  Args args;
  int status;
  std::string out, err;
};

void check(const Case& c, Document& doc) {
  SCOPED_TRACE(c.name);
  Ending e;
  try {
    e = answerquery(c.args, doc);
  } catch (const Failure& f) {
    FAIL() << "Failure: " << f.what();
  }
  EXPECT_EQ(e.status, c.status);
  EXPECT_EQ(e.out, c.out);
  EXPECT_EQ(e.err, c.err);
}

TEST(AnswerQuery, AnswersEveryAction) {
  const Case cases[] = {
      {"discovery lists zones with counters in order",
       ask("discoverzones"), 0, "{\"data\": [{\"{#ZONE}\": \"a.example\"}, {\"{#ZONE}\": \"b.example\"}]}\n", ""},
      {"discovery ignores even empty -z and -c", ask("discoverzones", "", ""), 0,
       "{\"data\": [{\"{#ZONE}\": \"a.example\"}, {\"{#ZONE}\": \"b.example\"}]}\n", ""},

      {"zone counter", ask("zonecounter", "a.example", "QUERY"), 0, "417\n", ""},
      {"counter texts are never numbers", ask("zonecounter", "a.example", "NXDOMAIN"), 0, "0012\n", ""},
      {"a null counter", ask("zonecounter", "b.example", "A"), 0, "None\n", ""},
      {"an empty counter", ask("zonecounter", "b.example", "AAAA"), 0, "\n", ""},
      {"no such counter", ask("zonecounter", "a.example", "query"), 1, MARK, ""},
      {"no such zone", ask("zonecounter", "A.example", "QUERY"), 1, MARK, ""},
      {"a zone without counters", ask("zonecounter", "empty.example", "QUERY"), 1, MARK, ""},

      {"jsonzone", ask("jsonzone", "a.example", "ignored"), 0,
       "{\"QUERY\": \"417\", \"NXDOMAIN\": \"0012\"}\n", ""},
      {"jsonzone with nulls", ask("jsonzone", "b.example"), 0, "{\"A\": null, \"AAAA\": \"\"}\n", ""},
      {"jsonzone of an empty zone", ask("jsonzone", "empty.example"), 0, "{}\n", ""},
      {"jsonzone of no zone", ask("jsonzone", "c.example"), 1, MARK, ""},

      {"json leaves out the zones", ask("json", "a.example", "QUERY"), 0, JSONREST, ""},
      {"json ignores empty options", ask("json", "", ""), 0, JSONREST, ""},

      {"section counter", ask("counter", "ignored", "Requestv4"), 0, "42\n", ""},
      {"values print exactly", ask("counter", none, "Odd"), 0, "say \"hi\"\\\tand\nmore\n", ""},
      {"null prints None", ask("counter", none, "Unset"), 0, "None\n", ""},
      {"cache, unlisted in the help", ask("cache", none, "!A"), 0, "3\n", ""},
      {"memory, unlisted in the help", ask("memory", none, "InUse"), 0, "123456\n", ""},
      {"no such key", ask("counter", none, "requestv4"), 1, MARK, ""},
      {"an empty section", ask("outcounter", none, "A"), 1, MARK, ""},
      {"zones prints a zone's map", ask("zones", none, "a.example"), 0,
       "{\"QUERY\": \"417\", \"NXDOMAIN\": \"0012\"}\n", ""},
      {"zones prints an empty map", ask("zones", none, "empty.example"), 0, "{}\n", ""},
  };
  for (const Case& c : cases) {
    Document doc = sample();
    check(c, doc);
  }
}

TEST(AnswerQuery, ChecksOptionsBeforeLookingAnythingUp) {
  const Case cases[] = {
      {"zonecounter, no -z", ask("zonecounter", none, "QUERY"), 1, MARK, MISSING},
      {"zonecounter, no -c", ask("zonecounter", "a.example"), 1, MARK, MISSING},
      {"zonecounter, empty -z", ask("zonecounter", "", "QUERY"), 1, MARK, MISSING},
      {"zonecounter, empty -c", ask("zonecounter", "a.example", ""), 1, MARK, MISSING},
      {"jsonzone, no -z", ask("jsonzone", none, "QUERY"), 1, MARK, MISSING},
      {"jsonzone, empty -z", ask("jsonzone", ""), 1, MARK, MISSING},
      {"counter, no -c", ask("counter", "a.example"), 1, MARK, MISSING},
      {"counter, empty -c", ask("counter", none, ""), 1, MARK, MISSING},
      // The option test comes first, so a word that names no section is only missing -c.
      {"unknown action, no -c", ask("nosuch"), 1, MARK, MISSING},
      {"capitals, no -c", ask("JSON"), 1, MARK, MISSING},
  };
  for (const Case& c : cases) {
    Document doc = sample();
    check(c, doc);
  }
  // Even a document without zones answers the missing option, not a failure.
  for (const Case& c : cases) {
    Document doc = sample();
    doc.erase("zones");
    check(c, doc);
  }
}

TEST(AnswerQuery, DiscoveryOfNoZonesAndOfTheNullZone) {
  Document doc = newdocument();
  Case empty{"no zones", ask("discoverzones"), 0, "{\"data\": []}\n", ""};
  check(empty, doc);

  Map counters;
  counters.set("QUERY", "1");
  setzone(doc, Key::none(), counters);
  setzone(doc, "null", Map());
  setzone(doc, "z", counters);
  Case nullzone{"the null zone is the JSON null", ask("discoverzones"), 0,
                "{\"data\": [{\"{#ZONE}\": null}, {\"{#ZONE}\": \"z\"}]}\n", ""};
  check(nullzone, doc);
  // The text null is another key: its empty map is not the null zone's map.
  Case text{"the text null", ask("jsonzone", "null"), 0, "{}\n", ""};
  check(text, doc);

  // Read back from its JSON form, the null zone has become the text null.
  section(doc, "zones").erase("null");
  Value back = readjson(writejson(Value(doc)));
  Document reread = std::move(*back.map());
  Case reread1{"reread", ask("discoverzones"), 0,
               "{\"data\": [{\"{#ZONE}\": \"null\"}, {\"{#ZONE}\": \"z\"}]}\n", ""};
  check(reread1, reread);
}

TEST(AnswerQuery, JsonRemovesTheZonesFromTheDocumentOnly) {
  Document doc = sample();
  Ending e = answerquery(ask("json"), doc);
  EXPECT_EQ(e.out, JSONREST);
  EXPECT_FALSE(doc.contains("zones"));
  EXPECT_EQ(doc.size(), 8u);
  ASSERT_NE(doc.find("memory"), nullptr);
  EXPECT_EQ(*doc.find("memory")->map()->find("InUse")->text(), "123456");

  // A cache file keeps its own sections and order.
  Value foreign = readjson(R"({"memory": {"x": "1"}, "zones": {}, "extra": {"y": null}})");
  Document fdoc = std::move(*foreign.map());
  EXPECT_EQ(answerquery(ask("json"), fdoc).out, "{\"memory\": {\"x\": \"1\"}, \"extra\": {\"y\": null}}\n");
}

TEST(AnswerQuery, FailsWhenTheDocumentLacksWhatTheActionNames) {
  const struct {
    const char* name;
    Args args;
    bool withzones;
  } cases[] = {
      {"unknown action", ask("nosuch", none, "x"), true},
      {"capitals are another word", ask("JSON", none, "x"), true},
      {"Counter", ask("Counter", none, "Requestv4"), true},
      {"the empty action", ask("", none, "x"), true},
      {"discoverzones without zones", ask("discoverzones"), false},
      {"json without zones", ask("json"), false},
      {"zonecounter without zones", ask("zonecounter", "a", "b"), false},
      {"jsonzone without zones", ask("jsonzone", "a"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Document doc = sample();
    if (!c.withzones) doc.erase("zones");
    EXPECT_THROW(answerquery(c.args, doc), Failure);
  }
  // A zone section that is not an object fails too, rather than answering from nothing.
  Value foreign = readjson(R"({"zones": [], "counter": "x"})");
  Document fdoc = std::move(*foreign.map());
  EXPECT_THROW(answerquery(ask("discoverzones"), fdoc), Failure);
  EXPECT_THROW(answerquery(ask("counter", none, "x"), fdoc), Failure);
}

TEST(AnswerQuery, PrintsForeignValuesInTheirJsonForm) {
  Value foreign = readjson(
      R"({"zones": {"n": {"a": 1}, "t": "text", "l": [1, "x"]}, "counter": {"num": 12.50, "yes": true, "list": ["a", null], "map": {"k": "v"}}})");
  Document doc = std::move(*foreign.map());
  const Case cases[] = {
      {"a number as written", ask("counter", none, "num"), 0, "12.50\n", ""},
      {"true", ask("counter", none, "yes"), 0, "true\n", ""},
      {"an array", ask("counter", none, "list"), 0, "[\"a\", null]\n", ""},
      {"a map", ask("counter", none, "map"), 0, "{\"k\": \"v\"}\n", ""},
      {"a counter given as a number", ask("zonecounter", "n", "a"), 0, "1\n", ""},
      {"a zone that is no map has no counters", ask("zonecounter", "t", "a"), 1, MARK, ""},
      {"jsonzone of a text zone", ask("jsonzone", "t"), 0, "\"text\"\n", ""},
      {"only maps with counters are discovered", ask("discoverzones"), 0,
       "{\"data\": [{\"{#ZONE}\": \"n\"}]}\n", ""},
  };
  for (const Case& c : cases) check(c, doc);
}

}  // namespace
}  // namespace corvane
