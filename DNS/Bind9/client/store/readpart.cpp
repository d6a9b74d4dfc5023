#include "store/readpart.h"

#include <cstring>
#include <memory>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace corvane {

namespace {

// The partial reader. It knows the program's own files (objects of objects of strings and
// null, three objects deep) and checks them as strictly as readjson does; anything else makes
// it give up, and readjson of the whole text decides. Giving up costs a second read, never a
// different answer.

// The text is not one the partial reader knows.
struct Unknown {};

// Bytes that continue a string as themselves: not the quote, not the backslash, no control
// character. The NUL that follows the buffered text is a control character too, so the scan
// stops at the end of the buffer without a bounds test of its own. Only the scan without SSE2
// reads the table.
[[maybe_unused]] constexpr std::array<bool, 256> INSTRING = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 256; ++c) plain[c] = c != '"' && c != '\\';
  return plain;
}();

constexpr std::array<bool, 256> SPACE = [] {
  std::array<bool, 256> space{};
  space[' '] = space['\t'] = space['\n'] = space['\r'] = true;
  return space;
}();

// Objects nest this deep in a document: the document, a section, a zone's counters.
constexpr int DEPTH = 3;

// How much of a value to build. Of an object, the members named `key` are built as `match`
// says and the others as `other` says; a null Part leaves a member out. `first` keeps only
// the first member. Anything but an object is built whole once it is built at all.
struct Part {
  bool whole = false;
  std::string_view key;
  const Part* match = nullptr;
  const Part* other = nullptr;
  bool first = false;
};

const Part* memberpart(const Part& part, std::string_view name, size_t index) {
  if (part.whole) return &part;
  if (part.first && index > 0) return nullptr;
  return part.match && name == part.key ? part.match : part.other;
}

int hexdigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool hex4(const char* s, unsigned& code) {
  code = 0;
  for (int i = 0; i < 4; ++i) {
    int d = hexdigit(s[i]);
    if (d < 0) return false;
    code = code << 4 | static_cast<unsigned>(d);
  }
  return true;
}

// The length of the escape at `q` (a backslash) when it is complete and valid, 0 when it is
// invalid, -1 when the text before `end` ends inside it.
int escapelength(const char* q, const char* end) {
  ptrdiff_t left = end - q;
  if (left < 2) return -1;
  switch (q[1]) {
    case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': return 2;
    case 'u': break;
    default: return 0;
  }
  if (left < 6) return -1;
  unsigned code;
  if (!hex4(q + 2, code)) return 0;
  if (code < 0xd800 || code > 0xdbff) return 6;
  // A high surrogate stands only with a low one after it.
  if (left < 12) return -1;
  unsigned low;
  if (q[6] != '\\' || q[7] != 'u' || !hex4(q + 8, low) || low < 0xdc00 || low > 0xdfff) return 0;
  return 12;
}

void encodeutf8(unsigned code, std::string& out) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xc0 | code >> 6);
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xe0 | code >> 12);
    out += static_cast<char>(0x80 | (code >> 6 & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | code >> 18);
    out += static_cast<char>(0x80 | (code >> 12 & 0x3f));
    out += static_cast<char>(0x80 | (code >> 6 & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  }
}

// The text of a string's raw bytes, whose escapes are known to be valid.
std::string unescape(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size();) {
    if (raw[i] != '\\') {
      out += raw[i++];
      continue;
    }
    char e = raw[i + 1];
    i += 2;
    switch (e) {
      case 'b': out += '\b'; continue;
      case 'f': out += '\f'; continue;
      case 'n': out += '\n'; continue;
      case 'r': out += '\r'; continue;
      case 't': out += '\t'; continue;
      case 'u': break;
      default: out += e; continue;
    }
    unsigned code, low;
    hex4(raw.data() + i, code);
    i += 4;
    if (code >= 0xd800 && code <= 0xdbff) {
      hex4(raw.data() + i + 2, low);
      i += 6;
      code = ((code - 0xd800) << 10 | (low - 0xdc00)) + 0x10000;
    }
    encodeutf8(code, out);
  }
  return out;
}

// The first byte from `q` on that does not continue a string as itself. Reads up to 15 bytes
// past it, which the buffer keeps room for.
inline const char* stringstop(const char* q) {
#ifdef __SSE2__
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control = _mm_set1_epi8(0x1f);
  for (;; q += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    __m128i special = _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash));
    __m128i stop = _mm_or_si128(special, _mm_cmpeq_epi8(_mm_min_epu8(v, control), v));
    if (int mask = _mm_movemask_epi8(stop)) return q + __builtin_ctz(static_cast<unsigned>(mask));
  }
#else
  while (INSTRING[static_cast<unsigned char>(*q)]) ++q;
  return q;
#endif
}

class PartReader {
 public:
  // The buffer is left uninitialised: a small file touches only a few of its pages.
  explicit PartReader(const Pull& pull)
      : pull_(pull), buffer_(new char[CHUNK + SLACK]), size_(CHUNK + SLACK) {
    p_ = end_ = buffer_.get();
    terminate();
  }

  std::optional<Value> document(const Part& part) {
    if (peek() != '{') return std::nullopt;
    ++p_;
    Map doc;
    object(1, &part, &doc);
    // Nothing but white space after the value; a NUL byte is not the end.
    if (peek() != 0 || p_ != end_) return std::nullopt;
    return Value(std::move(doc));
  }

 private:
  // Enough for a read to cost little per byte, small enough to stay in the processor's cache.
  static constexpr size_t CHUNK = 64 << 10;
  // After the text: the NUL that ends it and what stringstop reads beyond that.
  static constexpr size_t SLACK = 1 + 15;

  // Moves the text from `keep` on to the front of the buffer, leaves p_ there and appends what
  // the text holds next. False at the end of the text.
  bool fill(const char* keep) {
    size_t kept = static_cast<size_t>(end_ - keep);
    // A string longer than half the buffer: make room, or it would be read in ever smaller
    // pieces.
    if (2 * kept > size_ - SLACK) {
      size_t size = 2 * (size_ - SLACK) + SLACK;
      std::unique_ptr<char[]> larger(new char[size]);
      std::memcpy(larger.get(), keep, kept);
      buffer_ = std::move(larger);
      size_ = size;
    } else {
      std::memmove(buffer_.get(), keep, kept);
    }
    p_ = buffer_.get();
    end_ = p_ + kept;
    terminate();
    if (ended_) return false;
    size_t n = pull_(end_, size_ - SLACK - kept);
    if (n == 0) {
      ended_ = true;
      return false;
    }
    end_ += n;
    terminate();
    return true;
  }

  // The NUL after the text, and defined bytes for stringstop to read beyond it.
  void terminate() { std::memset(end_, 0, SLACK); }

  // The next byte that is not white space; 0 at the end of the text or at a NUL byte.
  char peek() {
    for (;;) {
      while (SPACE[static_cast<unsigned char>(*p_)]) ++p_;
      if (p_ != end_ || !fill(p_)) return *p_;
    }
  }

  // Finds the closing quote of the string at p_: its raw bytes are [p_ + 1, the result).
  // `escaped` tells whether they hold an escape.
  const char* closingquote(bool& escaped) {
    for (;;) {
      const char* q = p_ + 1;
      escaped = false;
      for (;;) {
        q = stringstop(q);
        if (*q == '"') return q;
        if (*q == '\\') {
          int length = escapelength(q, end_);
          if (length == 0) throw Unknown();
          if (length < 0) break;
          escaped = true;
          q += length;
          continue;
        }
        if (q != end_) throw Unknown();  // a control character
        break;
      }
      // The buffer ends inside the string: read it again from its quote on.
      if (!fill(p_)) throw Unknown();
    }
  }

  // The raw bytes between the quotes of the string at p_, valid until the buffer is filled
  // again; p_ moves past the closing quote.
  std::string_view string(bool& escaped) {
    const char* q = closingquote(escaped);
    std::string_view raw(p_ + 1, static_cast<size_t>(q - p_ - 1));
    p_ = const_cast<char*>(q) + 1;
    return raw;
  }

  // Most strings hold no escape and end inside the buffer: those take the first test.
  void skipstring() {
    const char* q = stringstop(p_ + 1);
    if (*q != '"') {
      bool escaped;
      q = closingquote(escaped);
    }
    p_ = const_cast<char*>(q) + 1;
  }

  void null() {
    while (end_ - p_ < 4)
      if (!fill(p_)) throw Unknown();
    if (std::memcmp(p_, "null", 4) != 0) throw Unknown();
    p_ += 4;
  }

  // Reads the value at p_ and builds it into `into` as `part` says.
  void value(int depth, const Part& part, Value& into) {
    switch (peek()) {
      case '"': {
        bool escaped;
        std::string_view raw = string(escaped);
        into = Value(escaped ? unescape(raw) : std::string(raw));
        return;
      }
      case '{': {
        ++p_;
        Map map;
        object(depth + 1, &part, &map);
        into = Value(std::move(map));
        return;
      }
      case 'n':
        null();
        into = Value();
        return;
      default: throw Unknown();
    }
  }

  // The members of the object whose opening brace is behind p_, built as `part` says.
  void object(int depth, const Part* part, Map* into) {
    if (depth > DEPTH) throw Unknown();
    char c = peek();
    if (c == '}') {
      ++p_;
      return;
    }
    for (size_t index = 0;; ++index) {
      if (c != '"') throw Unknown();
      bool escaped;
      std::string_view raw = string(escaped);
      std::string name;
      if (escaped) name = unescape(raw);
      const Part* kept = memberpart(*part, escaped ? std::string_view(name) : raw, index);
      if (kept && !escaped) name.assign(raw);
      if (peek() != ':') throw Unknown();
      ++p_;
      if (kept) {
        Value member;
        value(depth, *kept, member);
        // Map::set: a name given twice keeps its first place and its last value.
        into->set(Key(std::move(name)), std::move(member));
      } else {
        skipvalue(depth);
      }
      c = peek();
      if (c == ',') {
        ++p_;
        c = peek();
        if (part->first) return skipmembers(depth, c);
      } else if (c == '}') {
        ++p_;
        return;
      } else {
        throw Unknown();
      }
    }
  }

  // Checks the value at p_ without building anything: the path that most of a large file
  // takes, so it tests no Part.
  void skipvalue(int depth) {
    char c = *p_;
    switch (c == '"' || c == '{' || c == 'n' ? c : peek()) {
      case '"': skipstring(); return;
      case '{': ++p_; skipobject(depth + 1); return;
      case 'n': null(); return;
      default: throw Unknown();
    }
  }

  void skipobject(int depth) {
    if (depth > DEPTH) throw Unknown();
    char c = peek();
    if (c == '}') {
      ++p_;
      return;
    }
    skipmembers(depth, c);
  }

  // The members of an object from the one that begins with `c` on, and its closing brace.
  void skipmembers(int depth, char c) {
    for (;;) {
      if (c != '"') throw Unknown();
      skipstring();
      if (!separator(':')) throw Unknown();
      skipvalue(depth);
      if (separator(',')) {
        c = peek();
      } else if (peek() == '}') {
        ++p_;
        return;
      } else {
        throw Unknown();
      }
    }
  }

  // Moves past `c` and one blank after it, as the writer lays its separators out; other white
  // space is left to peek. False when the next byte is not `c`.
  bool separator(char c) {
    if (*p_ != c) {
      if (peek() != c) return false;
    }
    ++p_;
    if (*p_ == ' ') ++p_;
    return true;
  }

  const Pull& pull_;
  std::unique_ptr<char[]> buffer_;
  size_t size_;
  // The buffered text is [p_, end_), and a NUL follows it.
  char* p_;
  char* end_;
  bool ended_ = false;
};

}  // namespace

std::optional<Value> readjsonpart(const Pull& pull, const Need& need) {
  Part whole, empty, first, outline, inner, member, top;
  whole.whole = true;
  first.other = &whole;
  first.first = true;
  outline.other = &first;
  switch (need.shape) {
    case Need::WHOLE: top = whole; break;
    case Need::NOTHING: break;
    case Need::MEMBER:
      inner = whole;
      if (need.subkey) inner = Part{false, *need.subkey, &whole, nullptr, false};
      member = Part{false, need.key, &inner, nullptr, false};
      top = Part{false, need.section, &member, nullptr, false};
      break;
    case Need::OUTLINE: top = Part{false, need.section, &outline, nullptr, false}; break;
    case Need::ALLBUT: top = Part{false, need.section, &empty, &whole, false}; break;
  }
  try {
    return PartReader(pull).document(top);
  } catch (const Unknown&) {
    return std::nullopt;
  }
}

}  // namespace corvane
