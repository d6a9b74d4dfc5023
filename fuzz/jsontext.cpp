// Fuzz target: a cache file's text, as anyone with a text editor may leave it. What is read
// must write back and read again as the same value, and every action must answer from it or
// fail cleanly; the reading of a part, which builds only what one answer needs, must refuse
// what the whole reading refuses and answer as it does.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "answer.h"
#include "check.h"
#include "commandline.h"
#include "store/cache.h"
#include "store/document.h"
#include "store/jsonform.h"

using namespace corvane;
using namespace corvane::fuzz;

namespace {

bool validutf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3
                            : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    unsigned code = n == 1 ? c : n == 2 ? c & 0x1f : n == 3 ? c & 0x0f : c & 0x07;
    for (size_t k = 1; k < n; ++k) {
      auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xc0) != 0x80) return false;
      code = code << 6 | (d & 0x3f);
    }
    if ((n == 3 && (code < 0x800 || (code >= 0xd800 && code <= 0xdfff))) ||
        (n == 4 && (code < 0x10000 || code > 0x10ffff)))
      return false;
    i += n;
  }
  return true;
}

// Whether every text and name in `value` is UTF-8. A stray byte in the file, or an escaped
// low surrogate without its high one (the reader lets that through), gives one that is not.
bool utf8throughout(const Value& value) {
  if (const std::string* t = value.text()) return validutf8(*t);
  if (const Array* a = value.array()) {
    for (const Value& v : *a)
      if (!utf8throughout(v)) return false;
  }
  if (const Map* m = value.map()) {
    for (const Member& member : m->members())
      if (!validutf8(member.key.text) || !utf8throughout(member.value)) return false;
  }
  return true;
}

bool same(const Value& a, const Value& b) {
  if (a.v.index() != b.v.index()) return false;
  if (const std::string* t = a.text()) return *t == *b.text();
  if (const Literal* l = a.literal()) return *l == *b.literal();
  if (const Array* x = a.array()) {
    const Array& y = *b.array();
    if (x->size() != y.size()) return false;
    for (size_t i = 0; i < x->size(); ++i)
      if (!same((*x)[i], y[i])) return false;
    return true;
  }
  if (const Map* x = a.map()) {
    const auto& xm = x->members();
    const auto& ym = b.map()->members();
    if (xm.size() != ym.size()) return false;
    for (size_t i = 0; i < xm.size(); ++i)
      if (!(xm[i].key == ym[i].key) || !same(xm[i].value, ym[i].value)) return false;
    return true;
  }
  return true;  // both null
}

// Writes `value`, which must give one line of printable ASCII, and reads that back into it.
std::string writeread(Value& value) {
  std::string written = writejson(value);
  expect(printableascii(written), "the JSON form is one line of printable ASCII", written);
  try {
    value = readjson(written);
  } catch (const Failure& f) {
    broken("the JSON form reads back", f.what());
  }
  return written;
}

// The first key of a map inside `doc` at `name`, as an option value that finds something.
std::optional<std::string> firstkey(const Map& doc, std::string_view name) {
  const Value* v = doc.find(Key(name));
  const Map* m = v ? v->map() : nullptr;
  if (!m || m->empty()) return std::string("x");
  return std::string(m->members().front().key.text);
}

// What answerquery made of a document, as one text.
std::string answer(const Args& args, Reading reading) {
  try {
    Ending e = answerquery(args, reading);
    checkending(e);
    expect(e.status == EXIT_ANSWER || e.status == EXIT_NOANSWER, "an answer has status 0 or 1");
    expect(!e.out.empty(), "an answer prints a line");
    return std::to_string(e.status) + " " + e.out + e.err;
  } catch (const Failure& f) {
    checkfailure(f);
    return std::string("failure ") + f.what();
  }
}

// Every kind of question, with options that find something where the document allows, asked
// of the whole document and of the part that its reading builds from `text`, delivered
// in pieces of varied size: both must give the same answer.
void answerall(std::string_view text, const Map& doc) {
  std::optional<std::string> zone = firstkey(doc, "zones");
  const Value* zones = doc.find(Key("zones"));
  std::optional<std::string> counter;
  if (zones && zones->map() && !zones->map()->empty())
    if (const Map* first = zones->map()->members().front().value.map(); first && !first->empty())
      counter = first->members().front().key.text;
  const Args questions[] = {
      {"discoverzones", {}, {}, {}},
      {"json", {}, {}, {}},
      {"jsonzone", zone, {}, {}},
      {"zonecounter", zone, counter, {}},
      {"zonecounter", zone, std::string("nonesuch"), {}},
      {"zonecounter", zone, {}, {}},
      {"counter", {}, firstkey(doc, "counter"), {}},
      {"memory", {}, firstkey(doc, "memory"), {}},
      {"cache", {}, std::string("A"), {}},
      {"zones", {}, zone, {}},
  };
  const size_t pieces[] = {1, 2, 3, 7, 64, 65536};
  size_t i = 0;
  for (const Args& args : questions) {
    std::string whole = answer(args, readdocument(doc, readsof(args)));
    size_t piece = pieces[(text.size() + i++) % std::size(pieces)];
    size_t at = 0;
    Pull pull = [&](char* into, size_t room) {
      size_t n = std::min({room, piece, text.size() - at});
      std::memcpy(into, text.data() + at, n);
      at += n;
      return n;
    };
    std::optional<Reading> part;
    try {
      part = readtext(pull, readsof(args));
    } catch (const Failure& f) {
      broken("the reading of a part gives up rather than fail", f.what());
    }
    expect(part.has_value(), "the reading of a part reads the document that readjson reads");
    std::string partly = answer(args, std::move(*part));
    expect(partly == whole, "the part of a document answers as the whole does",
           *args.action + "\n" + partly + "\n---\n" + whole);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Value value;
  try {
    value = readjson(text);
  } catch (const Failure& f) {
    checkfailure(f);
    size_t at = 0;
    Pull pull = [&](char* into, size_t room) {
      size_t n = std::min(room, text.size() - at);
      std::memcpy(into, text.data() + at, n);
      at += n;
      return n;
    };
    std::optional<Reading> part;
    try {
      part = readtext(pull, Need());
    } catch (const Failure& g) {
      broken("the reading of a part gives up rather than fail", g.what());
    }
    expect(!part, "the reading of a part refuses what readjson refuses", f.what());
    return 0;
  }
  Value again = value;
  std::string written = writeread(again);
  if (utf8throughout(value)) {
    expect(same(value, again), "a value reads back as itself from its JSON form", written);
    expect(writejson(again) == written, "the JSON form reads back as itself", written);
  } else {
    // A byte that is not UTF-8 is written as the code point of its value, so it reads back
    // as another text, and two names may become one; from then on the form must hold.
    std::string second = writeread(again);
    expect(writejson(again) == second, "the JSON form reads back as itself", second);
  }
  if (const Map* doc = value.map()) answerall(text, *doc);
  return 0;
}
