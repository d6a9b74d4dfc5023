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

void escape(std::string_view text, Shown how, std::string& out, char quote) {
  static constexpr char HEX[] = "0123456789abcdef";
  auto hex = [&out](unsigned char c) {
    out += "\\x";
    out += HEX[c >> 4];
    out += HEX[c & 15];
  };
  const bool literal = how == Shown::LITERAL;
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (quote && (c == '\\' || c == static_cast<unsigned char>(quote))) {
      out += '\\';
      out += static_cast<char>(c);
    } else if (literal && (c == '\t' || c == '\n' || c == '\r')) {
      out += c == '\t' ? "\\t" : c == '\n' ? "\\n" : "\\r";
    } else if (c < 0x20 || c == 0x7f || (how == Shown::BYTES && (c > 0x7f || c == '\\'))) {
      hex(c);
    } else if (literal && c == 0xc2 && next >= 0x80 && next <= 0x9f) {  // U+0080..U+009F
      hex(next);
      ++i;
    } else if (literal && c == 0xe2 && next == 0x80 && i + 2 < text.size() &&
               (text[i + 2] == '\xa8' || text[i + 2] == '\xa9')) {
      out += text[i + 2] == '\xa8' ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
}

std::string oneline(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  escape(text, Shown::CONTROLS, out);
  return out;
}

std::string quoted(std::string_view text) {
  bool apostrophes = text.find('\'') != std::string_view::npos;
  bool doublequotes = text.find('"') != std::string_view::npos;
  char quote = apostrophes && !doublequotes ? '"' : '\'';
  std::string out(1, quote);
  escape(text, Shown::LITERAL, out, quote);
  return out += quote;
}

}  // namespace corvane
