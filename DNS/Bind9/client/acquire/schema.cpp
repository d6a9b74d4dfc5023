#include "acquire/schema.h"

#include <string>

#include "endrun.h"

namespace corvane {

namespace {

// A text as a person reading a diagnostic expects it: control characters (C0, DEL, C1) as
// \xNN, U+2028 and U+2029 as \uNNNN, tab, line feed and carriage return as \t \n \r, so the
// line stays one line and nothing in it steers a terminal. Between quotes (`quote` not 0) the
// backslash and the quote are escaped too. Other characters stand as they are.
void escaped(std::string_view text, char quote, std::string& out) {
  static constexpr char HEX[] = "0123456789abcdef";
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (quote && (c == '\\' || c == static_cast<unsigned char>(quote))) {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += HEX[c >> 4];
      out += HEX[c & 15];
    } else if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {  // U+0080..U+009F in UTF-8
      out += "\\x";
      out += HEX[next >> 4];
      out += HEX[next & 15];
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

// Single quotes unless the text holds one and no double quote, as a string literal is
// commonly shown.
void quoted(std::string_view text, std::string& out) {
  bool apostrophes = text.find('\'') != std::string_view::npos;
  bool doublequotes = text.find('"') != std::string_view::npos;
  char quote = apostrophes && !doublequotes ? '"' : '\'';
  out += quote;
  escaped(text, quote, out);
  out += quote;
}

// The root's attributes as {'name': 'value', ...}, in start-tag order.
std::string attributemap(const Tree& tree, ElementId id) {
  std::string out = "{";
  const Element& e = tree[id];
  for (uint32_t i = 0; i < e.attributecount; ++i) {
    const Attribute& a = tree.attributes[e.firstattribute + i];
    if (i > 0) out += ", ";
    quoted(tree.names[a.name], out);
    out += ": ";
    quoted(tree.piece(a.value), out);
  }
  return out + "}";
}

}  // namespace

Detected detectversion(std::string_view body) {
  Detected found{parsexml(body), 0, 0};
  const Tree& tree = found.tree;
  ElementId root = tree.root();
  found.root = root;

  std::string_view version;
  std::string_view rootname = tree.name(root);
  if (rootname == "isc") {
    ElementId statistics = findfirst(tree, root, "./bind/statistics");
    if (statistics == NOELEMENT)
      throw Failure("the XML statistics (root <isc>) hold no bind/statistics element");
    version = needattribute(tree, statistics, "version");
  } else if (rootname == "statistics") {
    version = needattribute(tree, root, "version");
  } else {
    // A namespace URI may hold any character; keep the diagnostic on its one line.
    std::string shown;
    escaped(rootname, 0, shown);
    throw notsupported("Unknown root tag: " + shown + "\n");
  }

  // Only one leading digit counts: "10.0" is no version 1 nor 10.
  if (version.size() < 2 || version[0] < '0' || version[0] > '9' || version[1] != '.') {
    std::string shown;
    quoted(version, shown);
    throw Failure("the XML statistics' version " + shown +
                  " does not begin with a digit and a full stop");
  }
  found.version = version[0] - '0';
  if (found.version > 3)
    throw notsupported("Unsupported bind statistics version: " + attributemap(tree, root) +
                       "\n");
  return found;
}

}  // namespace corvane
