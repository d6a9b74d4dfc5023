// How words from the command line or a peer are shown in the lines a run prints. Each way
// writes the control characters (C0 and DEL) as \xNN at least, so that a line stays one line
// and cannot steer a terminal; each serves one kind of output.
#pragma once

#include <string>
#include <string_view>

namespace corvane {

/// A word in a diagnostic ("corvane: ...", "corvane: error: ..."): control characters as
/// \xNN, everything else (backslashes, text beyond ASCII) as it is.
std::string oneline(std::string_view text);

/// A port text in the diagnostic that says it is no decimal number: every byte that is not
/// printable ASCII, and the backslash, as \xNN, so that what was typed can be told byte by byte.
std::string bytewise(std::string_view text);

/// A root element's name after "Unknown root tag: ": as the inside of a string literal shows it
/// (\t \n \r, other controls and C1 controls as \xNN, U+2028 and U+2029 as \uNNNN), backslashes
/// and other text beyond ASCII as they are.
std::string literal(std::string_view text);

/// A name or value in the attribute map of "Unsupported bind statistics version: {...}": the
/// same between single quotes, or between double quotes when it holds an apostrophe and no
/// double quote; the quote and the backslash are written after a backslash.
std::string quoted(std::string_view text);

}  // namespace corvane
