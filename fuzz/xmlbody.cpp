// Fuzz target: an XML statistics body, as the server sends it, to the text of the cache file.
// Either schema; what the cache file holds must read back as the document written. The body
// is fed in pieces as a fetch feeds it, to the tree that keeps only what the extractors read,
// and must end as it does read whole.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "acquire/extract.h"
#include "acquire/schema.h"
#include "acquire/xmltree.h"
#include "check.h"
#include "store/document.h"
#include "store/jsonform.h"

using namespace corvane;
using namespace corvane::fuzz;

namespace {

// The null key and the text "null" are written alike, so a map holding both cannot read back
// as the same map: only documents without null keys have to round-trip exactly.
bool nullkeys(const Map& map) {
  for (const Member& m : map.members()) {
    if (m.key.null) return true;
    if (const Map* inner = m.value.map(); inner && nullkeys(*inner)) return true;
  }
  return false;
}

// The document of the body read whole.
Document whole(std::string_view body) {
  Detected found = detectversion(body);
  Document doc = newdocument();
  if (found.version == 2) extractversion2(found.tree, found.root, doc);
  if (found.version == 3) extractversion3(found.tree, found.root, doc);
  return doc;
}

// The same as a fetch reads it: the size picks the pieces, so the corpus stays plain XML.
Document streamed(std::string_view body) {
  size_t piece = 1 + body.size() % 61;
  StreamedZones zones;
  TreeBuilder builder(zonecut(zones), extractedpaths());
  for (size_t at = 0; at < body.size(); at += piece) builder.feed(body.substr(at, piece));
  Detected found = detectversion(builder.finish());
  expect(found.version >= 0 && found.version <= 3, "a detected major version is 0 to 3");
  Document doc = newdocument();
  if (found.version == 2) extractversion2(found.tree, found.root, doc);
  if (found.version == 3) extractversion3(found.tree, found.root, doc, zones);
  return doc;
}

// How reading the body whole ends, as one text.
std::string wholeoutcome(std::string_view body) {
  try {
    return writejson(whole(body));
  } catch (const Ending& e) {
    return "ending " + e.out + e.err;
  } catch (const Failure& f) {
    return std::string("failure ") + f.what();
  }
}

void cachetext(std::string_view body) {
  Document doc;
  try {
    doc = streamed(body);
  } catch (const Ending& e) {
    expect(wholeoutcome(body) == "ending " + e.out + e.err, "a body streamed ends as it does whole");
    throw;
  } catch (const Failure& f) {
    expect(wholeoutcome(body) == std::string("failure ") + f.what(),
           "a body streamed fails as it does whole", f.what());
    throw;
  }

  std::string text = writejson(doc);
  expect(wholeoutcome(body) == text, "a body streamed gives the document it gives whole", text);
  expect(printableascii(text), "the cache text is one line of printable ASCII", text);
  Value back;
  try {
    back = readjson(text);
  } catch (const Failure& f) {
    broken("the cache text reads back", f.what());
  }
  expect(back.map() != nullptr, "the cache text is a JSON object", text);
  if (!nullkeys(doc))
    expect(writejson(*back.map()) == text, "the cache text reads back as the document", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  try {
    cachetext(body);
  } catch (const Ending& e) {
    // An unknown root or an unsupported version: a diagnostic and the marker.
    checkending(e);
    expect(e.status == EXIT_NOANSWER && e.out == std::string(NOTSUPPORTED) + "\n",
           "a refused document prints the marker", e.out);
    expect(printableline(e.err.substr(0, e.err.size() - 1)),
           "a refused document has one printable diagnostic line", e.err);
  } catch (const Failure& f) {
    checkfailure(f);
  }
  return 0;
}
