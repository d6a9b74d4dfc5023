// Test support for the two extractors: a document made from an XML body, a section's JSON
// form, a table of cases, and the recorded servers' documents.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "acquire/extract.h"
#include "acquire/schema.h"
#include "store/jsonform.h"

namespace corvane::testsupport {

using Extractor = void (*)(const Tree&, ElementId, Document&);

/// A new document filled by `extract` from `body`.
inline Document extracted(const std::string& body, Extractor extract) {
  Detected found = detectversion(body);
  Document doc = newdocument();
  extract(found.tree, found.root, doc);
  return doc;
}

/// How a body ends as one text, the document's JSON form or the failure or ending: read whole
/// (`piece` 0), or as a fetch reads it, fed in pieces of `piece` bytes to a tree that keeps
/// only what the extractors read, the zones of schema 3 read as they come.
inline std::string outcome(std::string_view body, size_t piece) {
  try {
    Document doc = newdocument();
    if (piece == 0) {
      Detected found = detectversion(body);
      if (found.version == 2) extractversion2(found.tree, found.root, doc);
      if (found.version == 3) extractversion3(found.tree, found.root, doc);
    } else {
      StreamedZones zones;
      TreeBuilder builder(zonecut(zones), extractedpaths());
      for (size_t at = 0; at < body.size(); at += piece) builder.feed(body.substr(at, piece));
      Detected found = detectversion(builder.finish());
      if (found.version == 2) extractversion2(found.tree, found.root, doc);
      if (found.version == 3) extractversion3(found.tree, found.root, doc, zones);
    }
    return writejson(doc);
  } catch (const Ending& e) {
    return "ending " + e.out + e.err;
  } catch (const Failure& f) {
    return std::string("failure ") + f.what();
  }
}

/// The document extracted from a statistics element of schema version 2 (under `isc` and
/// `bind`) or 3 that holds `inner`.
inline Document version2(const std::string& inner) {
  return extracted("<isc version='1.0'><bind><statistics version='2.2'>" + inner +
                       "</statistics></bind></isc>",
                   extractversion2);
}
inline Document version3(const std::string& inner) {
  return extracted("<statistics version='3.11'>" + inner + "</statistics>", extractversion3);
}

/// The JSON form of the section `name`.
inline std::string json(Document& doc, std::string_view name) {
  return writejson(Value(section(doc, name)));
}

/// The JSON form of a new document: nine empty sections.
inline constexpr const char* NINEEMPTY =
    "{\"zones\": {}, \"counter\": {}, \"zonemaintenancecounter\": {}, \"resolvercounter\": {}, "
    "\"socketcounter\": {}, \"incounter\": {}, \"outcounter\": {}, \"cache\": {}, \"memory\": {}}";

/// One case of a table: the XML inside the statistics element, and the section it fills.
struct Case {
  const char* what;
  std::string xml;
  const char* section;
  const char* json;
};

/// Each case's section as `version` extracts it from the case's XML.
template <size_t N>
void check(const Case (&cases)[N], Document (*version)(const std::string& inner)) {
  for (const Case& c : cases) {
    Document doc = version(c.xml);
    EXPECT_EQ(json(doc, c.section), c.json) << c.what;
  }
}

/// The bytes of a recorded server's document in tests/fixtures.
inline std::string fixture(const char* name) {
  auto path = std::filesystem::path(__FILE__).parent_path() / "../../../../tests/fixtures" / name;
  std::ifstream f(path, std::ios::binary);
  EXPECT_TRUE(f) << path;
  std::ostringstream text;
  text << f.rdbuf();
  return text.str();
}

}  // namespace corvane::testsupport
