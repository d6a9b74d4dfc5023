// The two extractors: the counters of a statistics tree, stored into a new document.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/ending.h"

#include "acquire/xmltree.h"
#include "store/document.h"

namespace corvane {

/// Fills `doc` from a schema version 2 tree (root `isc`). A `cache` element of the views
/// without a `name` attribute throws Failure.
void extractversion2(const Tree& tree, ElementId root, Document& doc);

/// The zones of the `_default` view of a schema version 3 document, read while it is parsed
/// so that the tree never holds their counters: a large server's document is nearly all zones.
struct StreamedZones {
  bool armed = false;             // the root is a `statistics` of version 3: its zones are here
  std::vector<Member> zones;      // in document order, each as its zone map
  std::optional<Failure> failure;  // of the first zone that could not be read
  ElementId failedview = NOELEMENT;
};

/// The cut that fills `into` as the document is parsed: every zone of views/view/zones under
/// a `statistics` root of version 3, read as extractversion3 reads it, then dropped.
Cut zonecut(StreamedZones& into);

/// Fills `doc` from a schema version 3 tree (root `statistics`). An attribute that a pass
/// reads and does not find throws Failure.
void extractversion3(const Tree& tree, ElementId root, Document& doc);

/// The same where zonecut may have taken the zones from the tree: armed, `streamed` holds them,
/// with the same outcome as had they stayed in it.
void extractversion3(const Tree& tree, ElementId root, Document& doc, StreamedZones& streamed);

/// The paths below the root that detection and the two extractors read, for a TreeBuilder to
/// keep: whatever the root and the version turn out to be, the tree holds what they read.
const std::vector<std::string>& extractedpaths();

/// The memory summary that both schemas hold under `path`: each element's own text (or null)
/// under its name, in `memory`.
void memorysummary(const Tree& tree, ElementId root, std::string_view path, Document& doc);

}  // namespace corvane
