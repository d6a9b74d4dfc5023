#include "base/escape.h"

namespace corvane {

namespace {

void hex(unsigned char c, std::string& out) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  out += "\\x";
  out += DIGITS[c >> 4];
  out += DIGITS[c & 15];
}

bool control(unsigned char c) { return c < 0x20 || c == 0x7f; }

// The inside of a string literal; between quotes (`quote` not 0) the quote and the backslash
// are written after a backslash.
void appendliteral(std::string_view text, std::string& out, char quote) {
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (quote && (c == '\\' || c == static_cast<unsigned char>(quote))) {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\t' || c == '\n' || c == '\r') {
      out += c == '\t' ? "\\t" : c == '\n' ? "\\n" : "\\r";
    } else if (control(c)) {
      hex(c, out);
    } else if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {  // U+0080..U+009F
      hex(next, out);
      ++i;
    } else if (c == 0xe2 && next == 0x80 && i + 2 < text.size() &&
               (text[i + 2] == '\xa8' || text[i + 2] == '\xa9')) {
      out += text[i + 2] == '\xa8' ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
}

}  // namespace

std::string oneline(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (control(static_cast<unsigned char>(c)))
      hex(static_cast<unsigned char>(c), out);
    else
      out += c;
  return out;
}

std::string bytewise(std::string_view text) {
  std::string out;
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (control(u) || u > 0x7f || c == '\\')
      hex(u, out);
    else
      out += c;
  }
  return out;
}

std::string literal(std::string_view text) {
  std::string out;
  appendliteral(text, out, 0);
  return out;
}

std::string quoted(std::string_view text) {
  bool apostrophes = text.find('\'') != std::string_view::npos;
  bool doublequotes = text.find('"') != std::string_view::npos;
  char quote = apostrophes && !doublequotes ? '"' : '\'';
  std::string out(1, quote);
  appendliteral(text, out, quote);
  return out += quote;
}

}  // namespace corvane
