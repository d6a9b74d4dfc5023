// The command line: the question a run answers, and the port of the statistics channel.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

/// The parsed command line, every field exactly as typed.
struct Args {
  std::optional<std::string> action;
  std::optional<std::string> z;  // zone
  std::optional<std::string> c;  // counter name
  std::optional<std::string> p;  // port of the statistics channel
};

/// Reads the words after the invocation name. Throws Ending with status 0 and the help
/// screen on standard output for -h/--help, or with status 2, the usage synopsis and one
/// error line on standard error for a command line that is not valid. `invocation` is argv[0]
/// (only its last path component is shown); `width` is the line width of the help screen.
Args parsecommandline(const std::vector<std::string>& words, std::string_view invocation,
                      int width = 78);

/// The help screen's width: the terminal's less two when standard output is one, else 78.
int helpwidth();

/// The port of the statistics channel: "8653", or the text of -p when it is not empty.
std::string settleport(const Args& args);

}  // namespace corvane
