#include "acquire/schema.h"

#include <gtest/gtest.h>

#include <string>

#include "base/ending.h"

using namespace corvane;

namespace {

// How detection ends, in one line: "version N", "failure: ...", or "ending S: err | out".
std::string outcome(const std::string& body) {
  try {
    Detected found = detectversion(body);
    return "version " + std::to_string(found.version);
  } catch (const Ending& e) {
    return "ending " + std::to_string(e.status) + ": " + e.err + "| " + e.out;
  } catch (const Failure& f) {
    return std::string("failure: ") + f.what();
  }
}

std::string statistics(const std::string& version) {
  return "<statistics version='" + version + "'><server/></statistics>";
}

std::string isc(const std::string& version) {
  return "<isc version='1.0'><bind><statistics version='" + version + "'/></bind></isc>";
}

TEST(Schema, MajorVersionIsTheOneDigitBeforeTheFullStop) {
  struct Case {
    const char* version;
    const char* outcome;  // a prefix of the outcome
  } cases[] = {
      {"3.11", "version 3"},
      {"3.8", "version 3"},
      {"3.", "version 3"},
      {"2.2", "version 2"},
      {"1.0", "version 1"},
      {"0.9", "version 0"},
      {"3.x", "version 3"},
      {"4.0", "ending 1: Unsupported bind statistics version: "},
      {"9.9", "ending 1: Unsupported bind statistics version: "},
      {"10.0", "failure: "},
      {"3", "failure: "},
      {" 3.0", "failure: "},
      {"v3", "failure: "},
      {"", "failure: "},
      {".3", "failure: "},
      {"\xd9\xa3.0", "failure: "},  // ARABIC-INDIC DIGIT THREE is no decimal digit here
  };
  for (const Case& c : cases) {
    for (const std::string& body : {statistics(c.version), isc(c.version)}) {
      std::string got = outcome(body);
      EXPECT_EQ(got.substr(0, std::string(c.outcome).size()), c.outcome) << body << " -> " << got;
    }
  }
}

TEST(Schema, TheRootNameDecides) {
  struct Case {
    const char* body;
    const char* outcome;
  } cases[] = {
      {"<html><body/></html>", "ending 1: Unknown root tag: html\n| ZBX_NOTSUPPORTED\n"},
      {"<ISC><bind><statistics version='2.2'/></bind></ISC>", "ending 1: Unknown root tag: ISC\n| ZBX_NOTSUPPORTED\n"},
      {"<Statistics version='3.11'/>", "ending 1: Unknown root tag: Statistics\n| ZBX_NOTSUPPORTED\n"},
      {"<isc xmlns='urn:x'><bind><statistics version='2.2'/></bind></isc>",
       "ending 1: Unknown root tag: {urn:x}isc\n| ZBX_NOTSUPPORTED\n"},
      {"<x:statistics xmlns:x='a&#10;b' version='3.11'/>",
       "ending 1: Unknown root tag: {a\\nb}statistics\n| ZBX_NOTSUPPORTED\n"},
      // The version of an isc root is that of the first bind/statistics, not its own.
      {"<isc version='3.0'><bind><statistics version='2.2'/></bind></isc>", "version 2"},
      {"<isc><bind/><bind><statistics version='2.2'/></bind></isc>", "version 2"},
      {"<isc><bind><statistics version='2.2'/></bind><bind><statistics version='9.0'/></bind></isc>",
       "version 2"},
      {"<isc version='1.0'><statistics version='2.2'/></isc>",
       "failure: the XML statistics (root <isc>) hold no bind/statistics element"},
      {"<isc><bind><statistics/></bind></isc>", "failure: XML element <statistics> has no attribute \"version\""},
      {"<statistics><server/></statistics>", "failure: XML element <statistics> has no attribute \"version\""},
      {"<statistics xmlns:p='urn:p' p:version='3.11'/>",
       "failure: XML element <statistics> has no attribute \"version\""},
      {"<statistics version='10.0'/>",
       "failure: the XML statistics' version '10.0' does not begin with a digit and a full stop"},
      {"", "failure: XML not well formed: no element found at line 1, column 1"},
      {"<statistics version='3.11'>", "failure: XML not well formed: no element found"},
  };
  for (const Case& c : cases) {
    std::string got = outcome(c.body);
    EXPECT_EQ(got.substr(0, std::string(c.outcome).size()), c.outcome) << c.body << " -> " << got;
  }
}

TEST(Schema, UnsupportedVersionShowsTheRootsAttributes) {
  struct Case {
    const char* body;
    const char* map;
  } cases[] = {
      {"<statistics version='4.0'/>", "{'version': '4.0'}"},
      {"<statistics version='4.0' a='' b='x y'/>", "{'version': '4.0', 'a': '', 'b': 'x y'}"},
      {"<statistics z='1' version='5.1'/>", "{'z': '1', 'version': '5.1'}"},
      // The isc root's map, whatever the statistics element carries.
      {"<isc><bind><statistics version='4.0' x='y'/></bind></isc>", "{}"},
      {"<isc version='1.0'><bind><statistics version='4.0'/></bind></isc>", "{'version': '1.0'}"},
      // Quotes, backslashes and control characters, as a string literal shows them.
      {"<statistics version='4.0' q=\"it's\"/>", "{'version': '4.0', 'q': \"it's\"}"},
      {"<statistics version='4.0' q='say \"x\"'/>", "{'version': '4.0', 'q': 'say \"x\"'}"},
      {"<statistics version='4.0' q=\"&apos;&quot;\"/>", "{'version': '4.0', 'q': '\\'\"'}"},
      {"<statistics version='4.0' q='a\\b'/>", "{'version': '4.0', 'q': 'a\\\\b'}"},
      {"<statistics version='4.0' q='&#9;&#10;&#13;&#x7f;&#x85;'/>",
       "{'version': '4.0', 'q': '\\t\\n\\r\\x7f\\x85'}"},
      {"<statistics version='4.0' q='caf\xc3\xa9&#x2028;'/>", "{'version': '4.0', 'q': 'caf\xc3\xa9\\u2028'}"},
      {"<statistics xmlns:p='urn:p' version='4.0' p:k='v'/>", "{'version': '4.0', '{urn:p}k': 'v'}"},
  };
  for (const Case& c : cases) {
    std::string expected =
        std::string("ending 1: Unsupported bind statistics version: ") + c.map + "\n| ZBX_NOTSUPPORTED\n";
    EXPECT_EQ(outcome(c.body), expected) << c.body;
  }
}

TEST(Schema, TheTreeComesBackWithTheRoot) {
  Detected found = detectversion(isc("2.2"));
  EXPECT_EQ(found.version, 2);
  EXPECT_EQ(found.tree.name(found.root), "isc");
  EXPECT_NE(findfirst(found.tree, found.root, "./bind/statistics"), NOELEMENT);
}

}  // namespace
