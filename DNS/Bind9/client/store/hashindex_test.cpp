#include "store/hashindex.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace corvane {
namespace {

// The short texts are read in overlapping words, the long ones sixteen bytes at a time with a
// tail: a byte that no read covers would leave texts that differ in it alike.
TEST(HashBytes, EveryByteOfEveryLengthCounts) {
  std::set<uint64_t> seen;
  size_t texts = 0;
  for (size_t length = 0; length <= 80; ++length) {
    std::string text(length, 'a');
    seen.insert(hashbytes(text));
    ++texts;
    for (size_t i = 0; i < length; ++i) {
      std::string changed = text;
      changed[i] = 'b';
      seen.insert(hashbytes(changed));
      ++texts;
    }
  }
  EXPECT_EQ(seen.size(), texts);
}

// One, two and four bytes a slot, each at its fullest.
TEST(HashIndex, FindsWhatWasEnteredInEveryWidth) {
  for (size_t entries : {size_t{12}, size_t{192}, size_t{193}, size_t{49152}, size_t{49153}}) {
    SCOPED_TRACE(entries);
    HashIndex index(entries);
    EXPECT_TRUE(index.fits(entries));
    std::vector<std::string> texts;
    for (size_t i = 0; i < entries; ++i) texts.push_back("counter" + std::to_string(i));
    auto same = [&](const std::string& text) {
      return [&texts, &text](uint32_t e) { return texts[e] == text; };
    };
    for (uint32_t i = 0; i < entries; ++i) {
      HashIndex::Found f = index.find(hashbytes(texts[i]), same(texts[i]));
      ASSERT_EQ(f.entry, HashIndex::NOENTRY);
      index.put(f.slot, i);
    }
    HashIndex copy = index;
    for (uint32_t i = 0; i < entries; ++i)
      ASSERT_EQ(copy.find(hashbytes(texts[i]), same(texts[i])).entry, i);
    EXPECT_EQ(index.find(hashbytes("absent"), same("absent")).entry, HashIndex::NOENTRY);
  }
}

}  // namespace
}  // namespace corvane
