// The statistics cache: the last fetched document, kept in one JSON file shared by all runs.
#pragma once

#include <string>

#include "store/document.h"

namespace corvane {

/// Path of the cache file and its lifetime in seconds.
inline constexpr const char* JSONFILE = "/tmp/corvane.json";
inline constexpr double CACHELIFE = 60;

/// Whether the file at `path` is at most `life` seconds old at time `now` (seconds since the
/// epoch). A file that cannot be found is stale; a modification time ahead of `now` is fresh.
bool cachefresh(const std::string& path, double now, double life = CACHELIFE);

/// The current wall-clock time in seconds since the epoch, with fractions.
double wallclock();

/// The document held in the cache file. A file that cannot be read or is not one complete
/// JSON text is a Failure naming the path and the reason.
Document readcache(const std::string& path);

/// Replaces the cache file with the JSON form of `doc`. The text goes to a new file beside it
/// that is then renamed over `path`, so a concurrent reader sees the old or the new text,
/// never a part, and a link planted at `path` is replaced, not followed. On failure the old
/// file stays as it was and a Failure says why.
void writecache(const std::string& path, const Document& doc);

}  // namespace corvane
