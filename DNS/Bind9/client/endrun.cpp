#include "endrun.h"

#include <cerrno>
#include <utility>
#include <unistd.h>

namespace corvane {

namespace {

// Raw write(2): the run prints at most a few lines, once, so stdio buffering buys nothing,
// and a pipe that closes early must not turn into a signal-driven end with another status.
bool writeall(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

void endrun(const Ending& ending) {
  writeall(STDERR_FILENO, ending.err);
  // An answer that did not reach the agent is no answer.
  bool delivered = writeall(STDOUT_FILENO, ending.out);
  _exit(delivered || ending.status != EXIT_ANSWER ? ending.status : EXIT_NOANSWER);
}

Ending notsupported(std::string diagnostic) {
  return Ending{EXIT_NOANSWER, std::string(NOTSUPPORTED) + "\n", std::move(diagnostic)};
}

Ending unhandled(const std::string& what) {
  return Ending{EXIT_NOANSWER, "", "corvane: " + oneline(what) + "\n"};
}

std::string oneline(std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7f) {
      out += ch;
    } else {
      out += "\\x";
      out += HEX[c >> 4];
      out += HEX[c & 15];
    }
  }
  return out;
}

}  // namespace corvane
