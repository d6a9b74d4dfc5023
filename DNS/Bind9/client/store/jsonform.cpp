#include "store/jsonform.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cstring>
#include <memory>

#include "endrun.h"

namespace corvane {

namespace {

// Bytes written as themselves: printable ASCII less the quote and the backslash.
constexpr std::array<bool, 256> PLAIN = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x7f; ++c) plain[c] = c != '"' && c != '\\';
  return plain;
}();

void escape16(unsigned unit, std::string& out) {
  static constexpr char HEX[] = "0123456789abcdef";
  char e[6] = {'\\', 'u', HEX[(unit >> 12) & 15], HEX[(unit >> 8) & 15], HEX[(unit >> 4) & 15],
               HEX[unit & 15]};
  out.append(e, 6);
}

bool continuation(unsigned char c) { return (c & 0xc0) == 0x80; }

// The code point of the well-formed UTF-8 sequence at s[i], and its length; 0 for a byte that
// starts none (overlong forms, encoded surrogates and code points above U+10FFFF included).
size_t decodeutf8(std::string_view s, size_t i, unsigned& code) {
  auto at = [&](size_t k) { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u; };
  unsigned c = at(0);
  if (c >= 0xc2 && c <= 0xdf && continuation(at(1))) {
    code = (c & 0x1f) << 6 | (at(1) & 0x3f);
    return 2;
  }
  if (c >= 0xe0 && c <= 0xef && continuation(at(1)) && continuation(at(2))) {
    code = (c & 0x0f) << 12 | (at(1) & 0x3f) << 6 | (at(2) & 0x3f);
    return code >= 0x800 && (code < 0xd800 || code > 0xdfff) ? 3 : 0;
  }
  if (c >= 0xf0 && c <= 0xf4 && continuation(at(1)) && continuation(at(2)) &&
      continuation(at(3))) {
    code = (c & 0x07) << 18 | (at(1) & 0x3f) << 12 | (at(2) & 0x3f) << 6 | (at(3) & 0x3f);
    return code >= 0x10000 && code <= 0x10ffff ? 4 : 0;
  }
  return 0;
}

}  // namespace

void writetext(std::string_view s, std::string& out) {
  out += '"';
  size_t i = 0;
  while (i < s.size()) {
    size_t run = i;
    while (i < s.size() && PLAIN[static_cast<unsigned char>(s[i])]) ++i;
    out.append(s.data() + run, i - run);
    if (i == s.size()) break;
    unsigned char c = static_cast<unsigned char>(s[i]);
    const char* shortform = nullptr;
    switch (c) {
      case '"': shortform = "\\\""; break;
      case '\\': shortform = "\\\\"; break;
      case '\b': shortform = "\\b"; break;
      case '\t': shortform = "\\t"; break;
      case '\n': shortform = "\\n"; break;
      case '\f': shortform = "\\f"; break;
      case '\r': shortform = "\\r"; break;
    }
    if (shortform) {
      out.append(shortform, 2);
      ++i;
      continue;
    }
    unsigned code = c;
    size_t len = c < 0x80 ? 1 : decodeutf8(s, i, code);
    if (len == 0) {
      // Not UTF-8 (only a foreign file gives such bytes): the byte stands for itself, so
      // the text stays ASCII.
      len = 1;
      code = c;
    }
    if (code > 0xffff) {
      code -= 0x10000;
      escape16(0xd800 | code >> 10, out);
      escape16(0xdc00 | (code & 0x3ff), out);
    } else {
      escape16(code, out);
    }
    i += len;
  }
  out += '"';
}

namespace {

// Hands `out` to `drain` whenever it holds a chunk, so that a large text never sits whole in
// memory beside the document it comes from.
struct Drain {
  const std::function<void(std::string&)>* drain = nullptr;
  size_t chunk = 0;

  void operator()(std::string& out) const {
    if (drain && out.size() >= chunk) (*drain)(out);
  }
};

void writemap(const Map& map, std::string& out, const Drain& drain);

void writevalue(const Value& value, std::string& out, const Drain& drain) {
  if (value.isnull()) {
    out += "null";
  } else if (const std::string* text = value.text()) {
    writetext(*text, out);
  } else if (const Map* map = value.map()) {
    writemap(*map, out, drain);
  } else if (const Array* array = value.array()) {
    out += '[';
    bool first = true;
    for (const Value& element : *array) {
      if (!first) out += ", ";
      first = false;
      writevalue(element, out, drain);
      drain(out);
    }
    out += ']';
  } else {
    out += value.literal()->text;
  }
}

// Recursion is bounded: the program's own values are three levels deep, and readjson refuses
// anything deeper than MAXDEPTH.
void writemap(const Map& map, std::string& out, const Drain& drain) {
  out += '{';
  bool first = true;
  for (const Member& member : map.members()) {
    if (!first) out += ", ";
    first = false;
    writetext(member.key.null ? std::string_view("null") : std::string_view(member.key.text),
              out);
    out += ": ";
    writevalue(member.value, out, drain);
    drain(out);
  }
  out += '}';
}

/// Builds values from the reader's events on an explicit stack, so that nesting costs heap,
/// not call stack. The members of an open object gather in a buffer of its depth, which keeps
/// its capacity from one object to the next; a closed object's map is then allocated once, at
/// its final size.
struct Builder {
  struct Level {
    bool object = false;
    corvane::Key name;            // of the member whose value comes next
    std::vector<Member> members;  // of an object, in the order read
    std::vector<Value> elements;  // of an array
  };
  std::vector<Level> levels;
  size_t depth = 0;
  Value root;
  bool toodeep = false;

  bool add(Value&& value) {
    if (depth == 0) {
      root = std::move(value);
    } else if (Level& level = levels[depth - 1]; level.object) {
      level.members.push_back(Member{std::move(level.name), std::move(value)});
    } else {
      level.elements.push_back(std::move(value));
    }
    return true;
  }
  bool enter(bool object) {
    if (depth >= MAXDEPTH) {
      toodeep = true;
      return false;
    }
    if (levels.size() == depth) levels.emplace_back();
    levels[depth++].object = object;
    return true;
  }

  bool Null() { return add(Value()); }
  bool Bool(bool b) { return add(Value(Literal{b ? "true" : "false"})); }
  // With numbers read as strings only RawNumber is called; these keep the handler complete.
  bool Int(int i) { return add(Value(Literal{std::to_string(i)})); }
  bool Uint(unsigned u) { return add(Value(Literal{std::to_string(u)})); }
  bool Int64(int64_t i) { return add(Value(Literal{std::to_string(i)})); }
  bool Uint64(uint64_t u) { return add(Value(Literal{std::to_string(u)})); }
  bool Double(double d) { return add(Value(Literal{std::to_string(d)})); }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
    return add(Value(Literal{std::string(s, n)}));
  }
  bool String(const char* s, rapidjson::SizeType n, bool) {
    return add(Value(std::string(s, n)));
  }
  bool Key(const char* s, rapidjson::SizeType n, bool) {
    levels[depth - 1].name.text.assign(s, n);
    return true;
  }
  bool StartObject() { return enter(true); }
  bool EndObject(rapidjson::SizeType) {
    std::vector<Member>& members = levels[--depth].members;
    Map map;
    map.reserve(members.size());
    // Map::set, not a plain copy: a name given twice keeps its first place and last value.
    for (Member& m : members) map.set(std::move(m.key), std::move(m.value));
    members.clear();
    return add(Value(std::move(map)));
  }
  bool StartArray() { return enter(false); }
  bool EndArray(rapidjson::SizeType) {
    std::vector<Value>& elements = levels[--depth].elements;
    Array array(std::make_move_iterator(elements.begin()), std::make_move_iterator(elements.end()));
    elements.clear();
    return add(Value(std::move(array)));
  }
};

std::string whyinvalid(rapidjson::ParseErrorCode code, std::string_view text, size_t offset) {
  using namespace rapidjson;
  bool blank = text.find_first_not_of(" \t\n\r") == std::string_view::npos;
  if (blank) return "the text is empty";
  if (offset >= text.size()) return "the text ends before the value does";
  unsigned char at = static_cast<unsigned char>(text[offset]);
  if (at == 0) return "a NUL byte";
  switch (code) {
    case kParseErrorDocumentRootNotSingular: return "text after the value";
    case kParseErrorValueInvalid: return "not a JSON value";
    case kParseErrorObjectMissName: return "a member name expected";
    case kParseErrorObjectMissColon: return "':' expected";
    case kParseErrorObjectMissCommaOrCurlyBracket: return "',' or '}' expected";
    case kParseErrorArrayMissCommaOrSquareBracket: return "',' or ']' expected";
    case kParseErrorStringUnicodeEscapeInvalidHex: return "a \\u escape without four hex digits";
    case kParseErrorStringUnicodeSurrogateInvalid: return "a UTF-16 surrogate without its pair";
    case kParseErrorStringEscapeInvalid:
      // The reader gives this code for a raw control character as well.
      return at < 0x20 ? "a control character inside a string" : "an invalid escape";
    case kParseErrorNumberTooBig: return "a number too large";
    case kParseErrorNumberMissFraction:
    case kParseErrorNumberMissExponent: return "a malformed number";
    default: return "not valid JSON";
  }
}

}  // namespace

void writejson(const Map& map, std::string& out, const std::function<void(std::string&)>& drain,
               size_t chunk) {
  writemap(map, out, Drain{&drain, chunk});
  if (!out.empty()) drain(out);
}

std::string writejson(const Value& value) {
  std::string out;
  writevalue(value, out, Drain());
  return out;
}

std::string writejson(const Map& map) {
  std::string out;
  out.reserve(4096);
  writemap(map, out, Drain());
  return out;
}

Value readjson(std::string_view text) {
  constexpr unsigned FLAGS = rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;
  rapidjson::MemoryStream stream(text.data(), text.size());
  rapidjson::Reader reader;
  Builder builder;
  rapidjson::ParseResult result = reader.Parse<FLAGS>(stream, builder);
  std::string why;
  size_t offset = result.Offset();
  if (builder.toodeep) {
    why = "nesting deeper than " + std::to_string(MAXDEPTH) + " levels";
  } else if (result.IsError()) {
    why = whyinvalid(result.Code(), text, offset);
  } else if (stream.Tell() != text.size()) {
    // The reader takes a NUL byte for the end of the text.
    why = "text after the value";
    offset = stream.Tell();
  } else {
    return std::move(builder.root);
  }
  throw Failure("invalid JSON: " + why + " at offset " + std::to_string(offset));
}

}  // namespace corvane
