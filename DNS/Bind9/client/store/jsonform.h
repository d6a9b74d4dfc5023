// The JSON form: the one-line ASCII text of documents, zone maps and answers, and its reading.
#pragma once

#include <functional>
#include <cstdint>
#include <optional>
#include <span>
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
    static constexpr size_t UNKNOWN = SIZE_MAX;
    size_t begin = 0;  // of the value's text; its end is one past its last byte
    size_t end = 0;
    bool known() const { return begin != UNKNOWN && end != UNKNOWN; }
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

/// `map` kept as its JSON form, a Literal that writejson writes back byte for byte: a counter
/// takes its few bytes of text instead of the 64 of a member. A fetch keeps its zones so.
Value packed(const Map& map);

/// A map that `packed` made, made a map again; any other value stays as it is.
void unpack(Value& value);

/// The deepest nesting of objects and arrays that readjson accepts. The program's own texts
/// are three levels deep; the bound keeps reading, writing and destroying a value off the
/// call stack's limits.
inline constexpr size_t MAXDEPTH = 512;

/// Reads one complete JSON text (RFC 8259). Objects become ordered maps by the overwrite
/// rule; numbers, true and false become Literals. Anything else, and nesting deeper than
/// MAXDEPTH, throws Failure with the reason and the offset.
Value readjson(std::string_view text);

/// Delivers the next bytes of a text into `into`, at most `room` of them; 0 at its end.
using Pull = std::function<size_t(char* into, size_t room)>;

struct Part;

/// A member that a Part builds in a way of its own.
struct Pick {
  std::string_view key;
  const Part* part;  // null: left out
};

/// How much of a value the reading of a pulled text builds. A `whole` Part builds everything.
/// Of an object, a member named by one of the `picks` is built as its Pick says and every other
/// as `other` says; a null Part leaves a member out: it is read and checked, not built. With
/// `first`, only the first member is built, as `other` says. An array is built whole or not
/// at all.
struct Part {
  bool whole = false;
  std::span<const Pick> picks;
  const Part* other = nullptr;
  bool first = false;
};

/// The Part that builds everything.
inline constexpr Part EVERYTHING{true, {}, nullptr, false};

/// Reads the JSON text that `pull` delivers, all of it, and builds what `part` says, with the
/// order and values a full read gives it. With `layout`, notes where in the text the values of
/// the top object's members stand, and those of their members: the values that are objects or
/// arrays, for the others the reader cannot say where they begin (Span::known is false).
/// Nothing for a text that readjson refuses: readjson of the whole text then says why.
std::optional<Value> readjson(const Pull& pull, const Part& part, Layout* layout = nullptr);

/// The same of a text in memory, which must be followed by a NUL byte (text.data()[text.size()]
/// is 0): the reader then scans many bytes at a time.
std::optional<Value> readjson(std::string_view text, const Part& part, Layout* layout = nullptr);

}  // namespace corvane
