#include "store/jsonform.h"

// The reader scans the runs of plain characters in a string sixteen bytes at a time where the
// text is in memory and ends in a NUL byte; SSE2 is in every x86-64 processor.
#if defined(__SSE2__) && !defined(RAPIDJSON_SSE2)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stream.h>

#include <cstring>
#include <memory>

#include "base/ending.h"

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
// memory beside the document it comes from, and keeps count of where in the text it stands.
struct Drain {
  const std::function<void(std::string&)>* drain = nullptr;
  size_t chunk = 0;
  size_t drained = 0;  // bytes handed on so far

  void operator()(std::string& out) {
    if (drain && out.size() >= chunk) {
      drained += out.size();
      (*drain)(out);
    }
  }
  size_t at(const std::string& out) const { return drained + out.size(); }
};

void writemap(const Map& map, std::string& out, Drain& drain, Layout* layout = nullptr,
              std::vector<Layout::Span>* spans = nullptr);

void writevalue(const Value& value, std::string& out, Drain& drain) {
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
// anything deeper than MAXDEPTH. With a layout, where each member's value stands is noted, and
// in `spans` where the values of a map's own members do.
void writemap(const Map& map, std::string& out, Drain& drain, Layout* layout,
              std::vector<Layout::Span>* spans) {
  out += '{';
  bool first = true;
  for (const Member& member : map.members()) {
    if (!first) out += ", ";
    first = false;
    writetext(member.key.null ? std::string_view("null") : std::string_view(member.key.text),
              out);
    out += ": ";
    size_t begin = drain.at(out);
    if (layout && member.value.map()) {
      layout->inner.emplace_back();
      writemap(*member.value.map(), out, drain, nullptr, &layout->inner.back());
    } else {
      if (layout) layout->inner.emplace_back();
      writevalue(member.value, out, drain);
    }
    if (layout) layout->members.push_back({begin, drain.at(out)});
    if (spans) spans->push_back({begin, drain.at(out)});
    drain(out);
  }
  out += '}';
}

const Part* memberpart(const Part& part, std::string_view name, size_t index) {
  if (part.whole) return &part;
  if (part.first && index > 0) return nullptr;
  for (const Pick& pick : part.picks)
    if (name == pick.key) return pick.part;
  return part.other;
}

/// Builds values from the reader's events on an explicit stack, so that nesting costs heap,
/// not call stack. The members of an open object gather in a buffer of its depth, which keeps
/// its capacity from one object to the next; a closed object's map is then allocated once, at
/// its final size. What the Part leaves out costs no allocation at all.
struct Builder {
  struct Level {
    bool object = false;
    const Part* part = nullptr;   // how its members are built; null: the level is left out
    const Part* next = nullptr;   // how the value that comes next is built; null: left out
    size_t count = 0;             // members seen
    corvane::Key name;            // of the member whose value comes next
    std::vector<Member> members;  // of an object, in the order read
    std::vector<Value> elements;  // of an array
  };
  explicit Builder(const Part& top, Layout* layout = nullptr, std::function<size_t()> tell = {})
      : top(&top), layout(layout), tell(std::move(tell)) {}

  const Part* top;
  Layout* layout;  // null: where values stand is not noted
  std::function<size_t()> tell;  // where the reader stands in the text
  std::vector<Level> levels;
  size_t depth = 0;
  Value root;
  bool toodeep = false;

  // A value of the top object's members (depth 1) or of theirs (depth 2) begins at `begin`,
  // UNKNOWN for a scalar, whose event comes once it is read.
  void began(size_t begin) {
    if (!layout) return;
    Layout::Span span{begin, begin == Layout::Span::UNKNOWN ? begin : Layout::Span::UNKNOWN};
    if (depth == 1) {
      layout->members.push_back(span);
      layout->inner.emplace_back();
    } else if (depth == 2 && !layout->inner.empty()) {
      layout->inner.back().push_back(span);
    }
  }
  // The object or array just closed, now at depth `depth`, ends here.
  void ended() {
    if (!layout) return;
    if (depth == 1 && !layout->members.empty())
      layout->members.back().end = tell();
    else if (depth == 2 && !layout->inner.empty() && !layout->inner.back().empty())
      layout->inner.back().back().end = tell();
  }

  // How the value that begins now is built, or null.
  const Part* upcoming() const { return depth == 0 ? top : levels[depth - 1].next; }

  bool add(Value&& value) {
    if (depth == 0) {
      root = std::move(value);
      return true;
    }
    Level& level = levels[depth - 1];
    if (!level.next) return true;
    if (level.object)
      level.members.push_back(Member{std::move(level.name), std::move(value)});
    else
      level.elements.push_back(std::move(value));
    return true;
  }
  // Scalars that are left out are not even made.
  template <class Make>
  bool scalar(Make make) {
    began(Layout::Span::UNKNOWN);
    return upcoming() ? add(make()) : true;
  }
  bool enter(bool object) {
    if (depth >= MAXDEPTH) {
      toodeep = true;
      return false;
    }
    if (layout) began(tell() - 1);  // the bracket is read
    const Part* part = upcoming();
    if (levels.size() == depth) levels.emplace_back();
    Level& level = levels[depth++];
    level.object = object;
    level.part = part;
    // An array is built whole or not at all.
    level.next = object ? nullptr : part ? &EVERYTHING : nullptr;
    level.count = 0;
    return true;
  }

  bool Null() { return scalar([] { return Value(); }); }
  bool Bool(bool b) { return scalar([&] { return Value(Literal{b ? "true" : "false"}); }); }
  // With numbers read as strings only RawNumber is called; these keep the handler complete.
  bool Int(int i) { return scalar([&] { return Value(Literal{std::to_string(i)}); }); }
  bool Uint(unsigned u) { return scalar([&] { return Value(Literal{std::to_string(u)}); }); }
  bool Int64(int64_t i) { return scalar([&] { return Value(Literal{std::to_string(i)}); }); }
  bool Uint64(uint64_t u) { return scalar([&] { return Value(Literal{std::to_string(u)}); }); }
  bool Double(double d) { return scalar([&] { return Value(Literal{std::to_string(d)}); }); }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
    return scalar([&] { return Value(Literal{std::string(s, n)}); });
  }
  bool String(const char* s, rapidjson::SizeType n, bool) {
    return scalar([&] { return Value(std::string(s, n)); });
  }
  bool Key(const char* s, rapidjson::SizeType n, bool) {
    Level& level = levels[depth - 1];
    level.next = level.part ? memberpart(*level.part, std::string_view(s, n), level.count) : nullptr;
    ++level.count;
    if (level.next) level.name.text.assign(s, n);
    return true;
  }
  bool StartObject() { return enter(true); }
  bool EndObject(rapidjson::SizeType) {
    Level& level = levels[--depth];
    ended();
    if (!level.part) return true;
    std::vector<Member>& members = level.members;
    Map map;
    map.reserve(members.size());
    // Map::set, not a plain copy: a name given twice keeps its first place and last value.
    for (Member& m : members) map.set(std::move(m.key), std::move(m.value));
    members.clear();
    return add(Value(std::move(map)));
  }
  bool StartArray() { return enter(false); }
  bool EndArray(rapidjson::SizeType) {
    Level& level = levels[--depth];
    ended();
    if (!level.part) return true;
    std::vector<Value>& elements = level.elements;
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
               size_t chunk, Layout* layout) {
  Drain into{&drain, chunk};
  writemap(map, out, into, layout);
  if (!out.empty()) drain(out);
}

std::string writejson(const Value& value) {
  std::string out;
  Drain none;
  writevalue(value, out, none);
  return out;
}

Value packed(const Map& map) {
  std::string text = writejson(map);
  text.shrink_to_fit();  // kept for the run: the writer's room would be most of it
  return Value(Literal{std::move(text)});
}

void unpack(Value& value) {
  const Literal* literal = value.literal();
  // The numbers and words of a foreign file never begin with a brace.
  if (literal && !literal->text.empty() && literal->text.front() == '{') value = readjson(literal->text);
}

std::string writejson(const Map& map) {
  std::string out;
  out.reserve(4096);
  Drain none;
  writemap(map, out, none);
  return out;
}

namespace {

// Recursive descent: faster than the reader's iterative mode, and as safe, since the builder
// stops the reader at MAXDEPTH before the recursion can go deeper. The reader takes a bracket
// before it reports it, which is where Builder::enter finds the value's first byte.
constexpr unsigned FLAGS = rapidjson::kParseNumbersAsStringsFlag;

// The text that a Pull delivers, to the reader, a chunk at a time: a large cache file is never
// in memory whole, which costs more in page faults than reading it does.
class PullStream {
 public:
  using Ch = char;
  explicit PullStream(const Pull& pull) : pull_(pull), buffer_(new char[CHUNK]) {
    current_ = end_ = buffer_.get();
    fill();
  }

  Ch Peek() const { return *current_; }
  Ch Take() {
    Ch c = *current_;
    if (current_ != end_ && ++current_ == end_) fill();
    return c;
  }
  size_t Tell() const { return counted_ + static_cast<size_t>(current_ - buffer_.get()); }
  /// Whether the text has ended here, not at a NUL byte.
  bool ended() const { return current_ == end_; }

  // The reader writes nothing to an input stream.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  size_t PutEnd(Ch*) { return 0; }

 private:
  static constexpr size_t CHUNK = 64 << 10;

  void fill() {
    counted_ += static_cast<size_t>(end_ - buffer_.get());
    size_t n = ended_ ? 0 : pull_(buffer_.get(), CHUNK - 1);
    ended_ = n == 0;
    current_ = buffer_.get();
    end_ = current_ + n;
    *end_ = '\0';  // what the reader takes for the end
  }

  const Pull& pull_;
  std::unique_ptr<char[]> buffer_;
  char* current_ = nullptr;
  char* end_ = nullptr;
  size_t counted_ = 0;
  bool ended_ = false;
};

}  // namespace

std::optional<Value> readjson(const Pull& pull, const Part& part, Layout* layout) {
  PullStream stream(pull);
  rapidjson::Reader reader;
  Builder builder(part, layout, [&stream] { return stream.Tell(); });
  rapidjson::ParseResult result = reader.Parse<FLAGS>(stream, builder);
  if (result.IsError() || builder.toodeep || !stream.ended()) return std::nullopt;
  return std::move(builder.root);
}

std::optional<Value> readjson(std::string_view text, const Part& part, Layout* layout) {
  rapidjson::StringStream stream(text.data());
  rapidjson::Reader reader;
  Builder builder(part, layout, [&stream] { return stream.Tell(); });
  rapidjson::ParseResult result = reader.Parse<FLAGS>(stream, builder);
  // The reader takes a NUL byte inside the text for its end.
  if (result.IsError() || builder.toodeep || stream.Tell() != text.size()) return std::nullopt;
  return std::move(builder.root);
}

Value readjson(std::string_view text) {
  rapidjson::MemoryStream stream(text.data(), text.size());
  rapidjson::Reader reader;
  Builder builder(EVERYTHING);
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
