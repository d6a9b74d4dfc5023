// The statistics cache: the last fetched document, kept in one JSON file shared by all runs,
// and the one way a run gets from it, or from a document just fetched, what its answer reads.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/stat.h>

#include "base/bounds.h"
#include "store/document.h"
#include "store/jsonform.h"
#include "store/zonenames.h"

namespace corvane {

/// Path of the cache file.
inline constexpr const char* JSONFILE = "/tmp/corvane.json";

/// The cache file of the statistics channel on `port`: `path` itself for the default port,
/// the name that stored files and other readers of it know; for any other port the same name
/// with the port's number before its extension ("/tmp/corvane-8654.json"), so that every
/// server on the host has its own document, lock, index and failures.
std::string cachefor(const std::string& path, unsigned port);

/// The part of a document that one answer looks at. Most polls read one counter of a cache
/// file that holds thousands of zones: only that part is built, with the order and values a
/// full read gives it; the rest is read and checked, or not read at all.
struct Need {
  enum Shape : uint8_t {
    WHOLE,    ///< every section in full
    NOTHING,  ///< no section at all
    MEMBER,   ///< `section` with only its member `key`, in full
    OUTLINE,  ///< `section` (the zones) with the names of those that hold counters
    ALLBUT,   ///< every section in full but `section`, which is an empty map
  };
  Shape shape = WHOLE;
  std::string section;
  std::string key;
};

/// What a run answers from: the part of the document that its Need names and, for an outline
/// of the zones, the names of the zones that hold counters (the zones themselves are then left
/// out, but the section is there when the document has it).
struct Reading {
  Document doc;
  ZoneNames zones;
};

/// Whether the file at `path` is at most `life` old at `now`. A file that cannot be found is
/// stale; a modification time ahead of `now` is fresh. A file that is not a regular file, or
/// belongs to neither this user nor root, is stale too: anyone can plant one in a shared
/// directory, and it is never answered from.
bool cachefresh(const std::string& path, WallClock::time_point now,
                std::chrono::milliseconds life = CACHELIFE);

/// What `need` names of the document held in the cache file. Where the index beside the file
/// was written for this very file, only the bytes of that part are read. Otherwise all of the
/// file is read and checked, whatever the need: a file that cannot be read, is not a regular
/// file owned by this user or root, is larger than MAXCACHEBYTES, or is not one complete JSON
/// object is a Failure naming the path and the reason. Never blocks on what sits at `path` or
/// beside it.
Reading readcache(const std::string& path, const Need& need = Need());

/// The same of a document in memory, as a fetching run has it: the document whole, and the
/// zone names where `need` asks for them.
Reading readdocument(Document doc, const Need& need);

/// The same of the JSON text that `pull` delivers, as readcache reads a cache file without its
/// index; nothing for a text that readjson refuses or that holds no object. The document then
/// holds every section (the ones not asked for empty) and every zone (those not asked for with
/// their first counter alone), and `layout`, where given, where they stand in the text: all an
/// index of the text takes.
std::optional<Reading> readtext(const Pull& pull, const Need& need, Layout* layout = nullptr);

/// The same through the index open at `index`, of the cache file open at `cache` whose status
/// is `st`: only the bytes of the part asked for, each read with readjson. Nothing when the
/// index is not one of this program's, was written for another file, or points at bytes that
/// do not hold what it says: the whole file then answers, never a wrong part.
std::optional<Reading> readindexed(int index, int cache, const struct stat& st, const Need& need);

/// Replaces the cache file with the JSON form of `doc`, then its index. The text goes to a new
/// file beside it that is then renamed over `path`, so a concurrent reader sees the old or the
/// new text, never a part, and a link planted at `path` is replaced, not followed. A new file
/// gets read and write for all less the umask; a regular file that is replaced passes its
/// permissions on (and, when root writes, its owner). On failure the old file stays as it was,
/// no temporary file is left, and a Failure names the path and the system's reason. The index
/// is written the same way, but a failure to write it is no failure of the run: a poll that
/// finds no index for the file reads the file.
void writecache(const std::string& path, const Document& doc);

}  // namespace corvane
