#include "store/jsonform.h"

#include <gtest/gtest.h>

#include "base/ending.h"

namespace corvane {
namespace {

TEST(WriteJson, EscapesEveryCharacterOutsidePrintableAscii) {
  struct Case {
    std::string text, json;
  } cases[] = {
      {"plain text ~!", R"("plain text ~!")"},
      {"", R"("")"},
      {"\"\\\t\n", R"("\"\\\t\n")"},
      {"\b\f\r", R"("\b\f\r")"},
      {"a/b", R"("a/b")"},
      {std::string("\0\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"\x7f", R"("\u007f")"},
      {"caf\xc3\xa9", R"("caf\u00e9")"},
      {"\xe2\x82\xac", R"("\u20ac")"},
      {"\xef\xbf\xbf", R"("\uffff")"},
      {"\xf0\x9f\x98\x80", R"("\ud83d\ude00")"},
      {"\xf4\x8f\xbf\xbf", R"("\udbff\udfff")"},
      // Bytes that are not UTF-8 stand for themselves, one escape each.
      {"\xff", R"("\u00ff")"},
      {"\xc3", R"("\u00c3")"},
      {"\xc3(", R"("\u00c3(")"},
      {"\xc0\xaf", R"("\u00c0\u00af")"},
      {"\xe0\x80\xaf", R"("\u00e0\u0080\u00af")"},
      {"\xed\xa0\x80", R"("\u00ed\u00a0\u0080")"},
      {"\xf4\x90\x80\x80", R"("\u00f4\u0090\u0080\u0080")"},
      {"\xe2\x82", R"("\u00e2\u0082")"},
      {"\x80" "a", R"("\u0080a")"},
  };
  for (const Case& c : cases) EXPECT_EQ(writejson(Value(c.text)), c.json) << c.json;
}

TEST(WriteJson, LaysOutMapsArraysAndScalars) {
  Map zone;
  zone.set("QryAuthAns", "417");
  zone.set("QryNoauthAns", Value());
  zone.set("empty", "");
  Map entry;
  entry.set("{#ZONE}", "example.org");
  Map discovery;
  discovery.set("data", Array{Value(entry), Value(Map())});
  Map nullkey;
  nullkey.set(Key::none(), "1");
  struct Case {
    Value value;
    std::string json;
  } cases[] = {
      {Value(), "null"},
      {Value(Map()), "{}"},
      {Value(Array()), "[]"},
      {Value(zone), R"({"QryAuthAns": "417", "QryNoauthAns": null, "empty": ""})"},
      {Value(discovery), R"({"data": [{"{#ZONE}": "example.org"}, {}]})"},
      {Value(Array{Value(), Value("a"), Value(Array())}), R"([null, "a", []])"},
      {Value(Literal{"-1.5e3"}), "-1.5e3"},
      {Value(nullkey), R"({"null": "1"})"},
  };
  for (const Case& c : cases) EXPECT_EQ(writejson(c.value), c.json);
  EXPECT_EQ(writejson(zone), writejson(Value(zone)));
}

// The cache file is written a chunk at a time: the pieces must join into exactly the text
// written whole, and none but the last may be shorter than a chunk.
TEST(WriteJson, InChunksJoinsIntoTheWholeText) {
  Document doc = newdocument();
  for (int z = 0; z < 300; ++z) {
    Map counters;
    for (int c = 0; c < 20; ++c) counters.set("Counter\t" + std::to_string(c), std::to_string(z * c));
    counters.set(Key::none(), Value());
    setzone(doc, "zone-\xc3\xa9" + std::to_string(z) + ".example", std::move(counters));
  }
  setcounter(doc, "memory", "TotalUse", "\"quoted\"");
  const std::string whole = writejson(doc);
  for (size_t chunk : {size_t{1}, size_t{100}, size_t{4096}, size_t{1} << 20}) {
    SCOPED_TRACE(chunk);
    std::vector<std::string> pieces;
    std::string out;
    std::function<void(std::string&)> drain = [&](std::string& text) {
      pieces.push_back(text);
      text.clear();
    };
    writejson(doc, out, drain, chunk);
    EXPECT_TRUE(out.empty());
    std::string joined;
    for (size_t i = 0; i < pieces.size(); ++i) {
      if (i + 1 < pieces.size()) {
        EXPECT_GE(pieces[i].size(), chunk) << i;
      }
      joined += pieces[i];
    }
    EXPECT_EQ(joined, whole);
    EXPECT_EQ(pieces.size() > 1, chunk < whole.size());
  }
}

TEST(ReadJson, DecodesEveryEscapeAndWhiteSpace) {
  struct Case {
    std::string json, text;
  } cases[] = {
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"("\u00e9\u00E9")", "\xc3\xa9\xc3\xa9"},
      {R"("\u0000")", std::string(1, '\0')},
      {R"("\ud83d\ude00")", "\xf0\x9f\x98\x80"},
      {R"("\uD83D\uDE00")", "\xf0\x9f\x98\x80"},
      {"\"caf\xc3\xa9\"", "caf\xc3\xa9"},
      {" \t\r\n\"x\" \n", "x"},
  };
  for (const Case& c : cases) {
    Value v = readjson(c.json);
    ASSERT_TRUE(v.text()) << c.json;
    EXPECT_EQ(*v.text(), c.text) << c.json;
  }
}

TEST(ReadJson, BuildsOrderedMapsByTheOverwriteRule) {
  Value v = readjson(R"({"b": "1", "a": {"x": null}, "b": "2", "c": [1, true, false, null, "s"]})");
  ASSERT_TRUE(v.map());
  EXPECT_EQ(writejson(v), R"({"b": "2", "a": {"x": null}, "c": [1, true, false, null, "s"]})");
  EXPECT_TRUE(v.map()->find("a")->map()->find("x")->isnull());
  EXPECT_EQ(v.map()->find("c")->array()->at(1).literal()->text, "true");

  // Duplicates in a map large enough to be indexed, nested inside another.
  std::string json = R"({"zones": {)";
  for (int i = 0; i < 40; ++i) json += "\"k" + std::to_string(i) + "\": \"" + std::to_string(i) + "\", ";
  json += R"("k3": "last", "k39": "end"}})";
  Value big = readjson(json);
  const Map& zones = *big.map()->find("zones")->map();
  ASSERT_EQ(zones.size(), 40u);
  EXPECT_EQ(zones.members()[3].key.text, "k3");
  EXPECT_EQ(*zones.members()[3].value.text(), "last");
  EXPECT_EQ(*zones.find("k39")->text(), "end");
  EXPECT_EQ(*zones.find("k20")->text(), "20");
}

TEST(ReadJson, NumbersKeepTheirSpelling) {
  for (std::string number : {"0", "-0", "12", "12.50e-3", "1E+2", "18446744073709551616", "-9e300"}) {
    Value v = readjson(number);
    ASSERT_TRUE(v.literal()) << number;
    EXPECT_EQ(v.literal()->text, number);
    EXPECT_EQ(writejson(v), number);
  }
}

TEST(ReadJson, RoundTripsWhatTheWriterWrote) {
  Map zone;
  zone.set("quote\"back\\tab\tlf\n", "\"\\\t\n");
  zone.set("caf\xc3\xa9", "\xf0\x9f\x98\x80\x7f\x01");
  zone.set("null", Value());
  zone.set("", "");
  Document doc = newdocument();
  setzone(doc, "example.org", zone);
  setzone(doc, Key::none(), Map());
  setcounter(doc, "memory", "TotalUse", "123456");

  std::string json = writejson(doc);
  Value back = readjson(json);
  ASSERT_TRUE(back.map());
  EXPECT_EQ(writejson(back), json);
  const Map& zones = *back.map()->find("zones")->map();
  const Map& read = *zones.find("example.org")->map();
  EXPECT_EQ(*read.find("quote\"back\\tab\tlf\n")->text(), "\"\\\t\n");
  EXPECT_EQ(*read.find("caf\xc3\xa9")->text(), "\xf0\x9f\x98\x80\x7f\x01");
  EXPECT_TRUE(read.find("null")->isnull());
  EXPECT_EQ(*read.find("")->text(), "");
  // The null key comes back as the text null.
  EXPECT_FALSE(zones.contains(Key::none()));
  EXPECT_TRUE(zones.contains("null"));
}

TEST(ReadJson, RefusesWhatIsNotOneCompleteValue) {
  struct Case {
    std::string json, why;
  } cases[] = {
      {"", "the text is empty at offset 0"},
      {" \n\t ", "the text is empty"},
      {"{", "ends before the value does"},
      {R"({"zones": {}, "counter": {})", "ends before the value does at offset 27"},
      {R"({"a": "b)", "ends before the value does"},
      {"{} x", "text after the value at offset 3"},
      {"{}{}", "text after the value at offset 2"},
      {std::string("{}\0", 3), "text after the value at offset 2"},
      {std::string("{\"a\0\": 1}", 8), "NUL byte at offset 3"},
      {"\"a\tb\"", "control character inside a string at offset 2"},
      {"\"a\nb\"", "control character inside a string"},
      {R"("\x")", "an invalid escape at offset 1"},
      {R"("\u12g4")", "\\u escape"},
      {R"("\ud83d")", "surrogate"},
      {R"("\ud83d\u0041")", "surrogate"},
      {"[1,]", "not a JSON value"},
      {"{\"a\" 1}", "':' expected"},
      {"{\"a\": 1 \"b\": 2}", "',' or '}' expected"},
      {"{1: 2}", "member name expected"},
      {"[1 2]", "',' or ']' expected"},
      {"nul", "ends before the value does at offset 3"},
      {"nulx", "not a JSON value"},
      {"'a'", "not a JSON value"},
      {"01", "text after the value"},
      {"1.x", "malformed number"},
  };
  for (const Case& c : cases) {
    try {
      readjson(c.json);
      ADD_FAILURE() << "accepted " << c.json;
    } catch (const Failure& e) {
      EXPECT_NE(std::string(e.what()).find(c.why), std::string::npos) << c.json << ": " << e.what();
    }
  }
}

TEST(ReadJson, BoundsNesting) {
  auto nested = [](size_t depth, char open, char close) {
    return std::string(depth, open) + std::string(depth, close);
  };
  EXPECT_EQ(writejson(readjson(nested(MAXDEPTH, '[', ']'))), nested(MAXDEPTH, '[', ']'));
  std::string objects;
  for (size_t i = 0; i < MAXDEPTH; ++i) objects += "{\"a\": ";
  objects += "null" + std::string(MAXDEPTH, '}');
  EXPECT_NO_THROW(readjson(objects));
  for (size_t depth : {MAXDEPTH + 1, size_t(1'000'000)}) {
    for (char open : {'[', '{'}) {
      std::string json = open == '[' ? nested(depth, '[', ']') : std::string(depth, '{');
      if (open == '{') {
        json.clear();
        for (size_t i = 0; i < depth; ++i) json += "{\"a\":";
      }
      try {
        readjson(json);
        ADD_FAILURE() << "accepted nesting of " << depth;
      } catch (const Failure& e) {
        EXPECT_NE(std::string(e.what()).find("nesting deeper than 512 levels"), std::string::npos)
            << e.what();
      }
    }
  }
}

}  // namespace
}  // namespace corvane
