// The JSON form: the one-line ASCII text of documents, zone maps and answers, and its reading.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "store/document.h"

namespace corvane {

/// The JSON form of `value`: one line, ", " and ": " as separators, no line end, every
/// character outside printable ASCII escaped (\uXXXX in lower-case hex, surrogate pairs above
/// U+FFFF). Texts are read as UTF-8. The same value always gives the same text.
std::string writejson(const Value& value);
/// The same for a map (a document or a zone map), without copying it into a Value first.
std::string writejson(const Map& map);
/// The same text in pieces: it gathers in `out`, which is handed to `drain` whenever it holds
/// at least `chunk` bytes, and once more at the end if anything is left. `drain` takes what it
/// wants and empties `out`; whatever it throws ends the writing.
void writejson(const Map& map, std::string& out, const std::function<void(std::string&)>& drain,
               size_t chunk);
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

}  // namespace corvane
