// The JSON form: the one-line ASCII text of documents, zone maps and answers, and its reading.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/document.h"

namespace corvane {

/// The JSON form of `value`: one line, ", " and ": " as separators, no line end, every
/// character outside printable ASCII escaped (\uXXXX in lower-case hex, surrogate pairs above
/// U+FFFF). Texts are read as UTF-8. The same value always gives the same text.
std::string writejson(const Value& value);
/// The same for a map (a document or a zone map), without copying it into a Value first.
std::string writejson(const Map& map);

/// Where the values of a map's members stand in its JSON form, and where those of its members'
/// members do: what an index of the text needs to find one of them without reading the rest.
struct Layout {
  struct Span {
    size_t begin = 0;  // of the value's text; its end is one past its last byte
    size_t end = 0;
  };
  std::vector<Span> members;             // of the map, in its order
  std::vector<std::vector<Span>> inner;  // of each member: its members' values, when it is a map
};

/// The same text in pieces: it gathers in `out`, which is handed to `drain` whenever it holds
/// at least `chunk` bytes, and once more at the end if anything is left. `drain` takes what it
/// wants and empties `out`; whatever it throws ends the writing. With `layout`, notes where
/// the values stand in the whole text.
void writejson(const Map& map, std::string& out, const std::function<void(std::string&)>& drain,
               size_t chunk, Layout* layout = nullptr);
/// Appends the JSON form of the text `text` (a string, quotes included).
void writetext(std::string_view text, std::string& out);

/// The deepest nesting of objects and arrays that readjson accepts. The program's own texts
/// are three levels deep; the bound keeps reading, writing and destroying a value off the
/// call stack's limits.
inline constexpr size_t MAXDEPTH = 512;

/// Reads one complete JSON text (RFC 8259). Objects become ordered maps by the overwrite
/// rule; numbers, true and false become Literals. Anything else, and nesting deeper than
/// MAXDEPTH, throws Failure with the reason and the offset.
Value readjson(std::string_view text);

/// The part of a document that one answer looks at. A reader given a Need builds only that
/// part, with the order and values a full read gives it; the rest is read and checked, not
/// built. Most polls read one counter of a cache file that holds thousands of zones.
struct Need {
  enum Shape : uint8_t {
    WHOLE,    ///< every section in full
    NOTHING,  ///< no section at all
    MEMBER,   ///< `section` with only its member `key`, in full
    OUTLINE,  ///< `section` with every member, each map cut to its first entry: which are empty
    ALLBUT,   ///< every section in full but `section`, which is an empty map
  };
  Shape shape = WHOLE;
  std::string section;
  std::string key;
};

/// Delivers the next bytes of a text into `into`, at most `room` of them; 0 at its end.
using Pull = std::function<size_t(char* into, size_t room)>;

/// Reads the JSON text that `pull` delivers, all of it, and builds the part that `need` names.
/// Nothing for a text that readjson refuses: readjson of the whole text then says why.
std::optional<Value> readjson(const Pull& pull, const Need& need);

}  // namespace corvane
