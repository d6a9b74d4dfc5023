// How a run ends: the lines it leaves on both streams and its exit status.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace corvane {

/// Exit statuses: an answer (or the help screen), no answer, a command line that is not valid.
enum : int { EXIT_ANSWER = 0, EXIT_NOANSWER = 1, EXIT_USAGE = 2 };

/// The not-supported marker, the one line the monitoring agent reads when no answer exists.
inline constexpr const char* NOTSUPPORTED = "ZBX_NOTSUPPORTED";

/// A known end of the run: what goes to standard output and standard error, and the status.
/// A step deep in the run throws it; main hands it to endrun. The core never writes to the
/// process's streams itself, which keeps every step testable in-process.
struct Ending {
  int status = EXIT_NOANSWER;
  std::string out;
  std::string err;
};

/// A failure that no step handles: main turns it into one diagnostic and status 1.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/// Writes the ending's standard error text, then its standard output text, flushes both and
/// ends the process with its status. The message comes before the marker that follows it.
[[noreturn]] void endrun(const Ending& ending);

/// The ending without an answer: `diagnostic` (whole lines, or nothing) on standard error, then
/// the not-supported marker on standard output, status 1.
Ending notsupported(std::string diagnostic = {});

/// The ending of a failure that no step handled: "corvane: <what>" on standard error, on one
/// line whatever `what` quotes.
Ending unhandled(const std::string& what);

/// How a word from the command line or a peer is shown in a diagnostic. Every way writes the
/// control characters (C0 and DEL) as \xNN, so that the line stays one line and cannot steer a
/// terminal; the ways differ in what else they escape.
enum class Shown : uint8_t {
  CONTROLS,  ///< nothing else: backslashes and text beyond ASCII stand as they are
  BYTES,     ///< every byte that is not printable ASCII, and the backslash, as \xNN too
  LITERAL,   ///< as a string literal shows it: \t \n \r, C1 controls as \xNN, U+2028 and
             ///< U+2029 as \uNNNN; other text beyond ASCII stands as it is
};

/// Appends `text` to `out` in the way `how`. Between quotes (`quote` not 0), the quote and the
/// backslash are written after a backslash.
void escape(std::string_view text, Shown how, std::string& out, char quote = 0);

/// `text` with every control character written as \xNN (Shown::CONTROLS).
std::string oneline(std::string_view text);

/// `text` between quotes as a string literal is commonly shown (Shown::LITERAL): single quotes
/// unless it holds one and no double quote.
std::string quoted(std::string_view text);

}  // namespace corvane
