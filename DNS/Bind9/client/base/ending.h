// The ways a run can end, as values: what each leaves on both streams, and its exit status.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

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

/// The ending without an answer: `diagnostic` (whole lines, or nothing) on standard error, then
/// the not-supported marker on standard output, status 1.
Ending notsupported(std::string diagnostic = {});

/// The ending of a failure that no step handled: "corvane: <what>" on standard error, on one
/// line whatever `what` quotes.
Ending unhandled(const std::string& what);

/// How the exception `thrown` ends the run: an Ending as it is, anything else as a failure
/// that no step handled.
Ending endingof(std::exception_ptr thrown);

}  // namespace corvane
