#include "store/document.h"

#include <gtest/gtest.h>

#include "base/ending.h"
#include "store/jsonform.h"

namespace corvane {
namespace {

std::string keys(const Map& map) {
  std::string out;
  for (const Member& m : map.members())
    out.append(m.key.null ? std::string_view("<null>") : m.key.text.view()).append(" ");
  return out;
}

TEST(Document, NewDocumentHasNineEmptySectionsInOrder) {
  Document doc = newdocument();
  EXPECT_EQ(writejson(doc),
            R"({"zones": {}, "counter": {}, "zonemaintenancecounter": {}, "resolvercounter": {}, )"
            R"("socketcounter": {}, "incounter": {}, "outcounter": {}, "cache": {}, "memory": {}})");
  EXPECT_TRUE(doc.erase("zones"));
  EXPECT_FALSE(doc.erase("zones"));
  EXPECT_EQ(writejson(doc),
            R"({"counter": {}, "zonemaintenancecounter": {}, "resolvercounter": {}, )"
            R"("socketcounter": {}, "incounter": {}, "outcounter": {}, "cache": {}, "memory": {}})");
}

// Maps of every size: the small ones are scanned, the larger ones indexed, and the order and
// the overwrite rule must not depend on which.
TEST(Map, FirstWriteDecidesPositionLastWriteTheValue) {
  for (int size : {1, 2, 8, 9, 16, 17, 100, 1000}) {
    Map map;
    for (int i = 0; i < size; ++i) map.set("k" + std::to_string(i), std::to_string(i));
    for (int i = 0; i < size; i += 3) map.set("k" + std::to_string(i), "again" + std::to_string(i));
    ASSERT_EQ(map.size(), static_cast<size_t>(size));
    for (int i = 0; i < size; ++i) {
      const Member& m = map.members()[i];
      EXPECT_EQ(m.key.text, "k" + std::to_string(i));
      std::string want = (i % 3 ? "" : "again") + std::to_string(i);
      EXPECT_EQ(*m.value.text(), want);
      ASSERT_TRUE(map.find("k" + std::to_string(i))) << size << " " << i;
      EXPECT_EQ(*map.find("k" + std::to_string(i))->text(), want);
    }
    EXPECT_FALSE(map.contains("k" + std::to_string(size)));
    EXPECT_FALSE(map.contains(Key::none()));

    Map copy = map;
    map.set("k0", "changed");
    EXPECT_EQ(*copy.find("k0")->text(), "again0");
    ASSERT_TRUE(copy.find("k" + std::to_string(size - 1)));
  }
}

// Keys around the length that still fits in place, in maps whose index needs one, two and
// four bytes a slot; with the null key among them, and the room reserved or grown.
TEST(Map, KeysOfEveryLengthInIndexesOfEveryWidth) {
  auto keyof = [](int i) {
    static const size_t lengths[] = {0, 1, 14, 15, 16, 17, 40};
    std::string k = std::to_string(i) + "-";
    k.resize(std::max(k.size(), lengths[i % 7]), 'x');
    return k;
  };
  for (int size : {7, 150, 250, 50000}) {
    for (bool reserved : {false, true}) {
      SCOPED_TRACE(std::to_string(size) + (reserved ? " reserved" : " grown"));
      Map map;
      if (reserved) map.reserve(size + 1);
      for (int i = 0; i < size; ++i) {
        if (i == size / 2) map.set(Key::none(), "none");
        map.set(keyof(i), std::to_string(i));
      }
      map.set(keyof(size - 1), "last");
      ASSERT_EQ(map.size(), static_cast<size_t>(size) + 1);
      const Map copy = map;
      for (const Map* m : {static_cast<const Map*>(&map), &copy}) {
        for (int i = 0; i < size; ++i) {
          const Value* v = m->find(keyof(i));
          ASSERT_TRUE(v) << i;
          EXPECT_EQ(*v->text(), i == size - 1 ? "last" : std::to_string(i));
        }
        EXPECT_EQ(*m->find(Key::none())->text(), "none");
        EXPECT_TRUE(m->members()[size / 2].key.null);
        EXPECT_EQ(m->members()[size / 2 + 1].key.text, keyof(size / 2));
        EXPECT_FALSE(m->contains("null"));
        EXPECT_FALSE(m->contains(keyof(size)));
      }
      EXPECT_TRUE(map.erase(Key::none()));
      EXPECT_FALSE(map.contains(Key::none()));
      EXPECT_EQ(*map.find(keyof(size / 2))->text(), std::to_string(size / 2));
      EXPECT_EQ(*copy.find(Key::none())->text(), "none");
    }
  }
}

TEST(Map, EraseKeepsTheOthersInOrderAndFindable) {
  for (int size : {3, 10, 50}) {
    Map map;
    map.set(Key::none(), "n");
    for (int i = 0; i < size; ++i) map.set("k" + std::to_string(i), std::to_string(i));
    EXPECT_TRUE(map.erase("k1"));
    EXPECT_FALSE(map.erase("k1"));
    EXPECT_FALSE(map.contains("k1"));
    EXPECT_EQ(*map.find(Key::none())->text(), "n");
    EXPECT_EQ(*map.find("k" + std::to_string(size - 1))->text(), std::to_string(size - 1));
    EXPECT_EQ(map.members()[1].key.text, "k0");
    EXPECT_EQ(map.members()[2].key.text, "k2");
    EXPECT_TRUE(map.erase(Key::none()));
    EXPECT_FALSE(map.contains(Key::none()));
    EXPECT_EQ(map.size(), static_cast<size_t>(size - 1));
    map.set("k1", "back");
    EXPECT_EQ(map.members().back().key.text, "k1");
  }
}

TEST(Map, NullKeyAndTheTextNullAreDifferentKeys) {
  Map map;
  map.set(Key::none(), "absent name");
  map.set("null", "the word");
  map.set(Key::none(), "absent again");
  EXPECT_EQ(map.size(), 2u);
  EXPECT_EQ(*map.find(Key::none())->text(), "absent again");
  EXPECT_EQ(*map.find("null")->text(), "the word");
  EXPECT_EQ(keys(map), "<null> null ");
  // The JSON form cannot tell them apart: both are named null.
  EXPECT_EQ(writejson(map), R"({"null": "absent again", "null": "the word"})");
}

TEST(Document, ZoneWrittenAgainIsReplacedWholeInPlace) {
  Document doc = newdocument();
  Map first, second, other;
  first.set("NOERROR", "1");
  first.set("NXDOMAIN", "2");
  second.set("A", "3");
  other.set("A", "4");
  setzone(doc, "a.example", first);
  setzone(doc, "b.example", other);
  setzone(doc, "a.example", second);
  setzone(doc, "c.example", Map());
  EXPECT_EQ(writejson(section(doc, "zones")),
            R"({"a.example": {"A": "3"}, "b.example": {"A": "4"}, "c.example": {}})");

  setcounter(doc, "counter", "Requestv4", "10");
  setcounter(doc, "counter", "Requestv6", Value());
  setcounter(doc, "counter", "Requestv4", "11");
  EXPECT_EQ(writejson(section(doc, "counter")), R"({"Requestv4": "11", "Requestv6": null})");
}

TEST(Document, SectionThatIsMissingOrNotAMapFails) {
  Document doc = newdocument();
  doc.set("zones", "not a map");
  for (std::string name : {"zones", "nosuchsection", "Counter"}) {
    try {
      section(doc, name);
      ADD_FAILURE() << name;
    } catch (const Failure& e) {
      EXPECT_NE(std::string(e.what()).find("\"" + name + "\""), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(setcounter(doc, "nosuchsection", "a", "b"), Failure);
  EXPECT_THROW(setzone(doc, "a.example", Map()), Failure);
}

}  // namespace
}  // namespace corvane
