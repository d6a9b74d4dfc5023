// Schema detection: which of the two XML statistics schemas a body follows, and its version.
#pragma once

#include <string_view>

#include "acquire/xmltree.h"

namespace corvane {

struct Detected {
  Tree tree;
  ElementId root = 0;
  int version = 0;  // the major version, 0 to 3
};

/// Parses `body` and reads the major version: from the `version` attribute of
/// "./bind/statistics" under an `isc` root (schema 2), or of a `statistics` root (schema 3).
/// Another root name or a version above 3 throws Ending (the diagnostic and the not-supported
/// marker, status 1); XML that is not well formed, a missing element or attribute, or a version
/// text that does not begin with a digit and a full stop throws Failure.
Detected detectversion(std::string_view body);

/// The same of a document already parsed, as a TreeBuilder finishes it.
Detected detectversion(Tree tree);

}  // namespace corvane
