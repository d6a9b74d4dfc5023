// The two extractors: the counters of a statistics tree, stored into a new document.
#pragma once

#include <string_view>

#include "acquire/xmltree.h"
#include "store/document.h"

namespace corvane {

/// Fills `doc` from a schema version 2 tree (root `isc`). A `cache` element of the views
/// without a `name` attribute throws Failure.
void extractversion2(const Tree& tree, ElementId root, Document& doc);

/// Fills `doc` from a schema version 3 tree (root `statistics`). An attribute that a pass
/// reads and does not find throws Failure.
void extractversion3(const Tree& tree, ElementId root, Document& doc);

/// The memory summary that both schemas hold under `path`: each element's own text (or null)
/// under its name, in `memory`.
void memorysummary(const Tree& tree, ElementId root, std::string_view path, Document& doc);

}  // namespace corvane
