// Fuzz target: the index beside a real cache file, as a torn write, a damaged disk or anyone
// who may write to the directory may leave it. Whatever it holds, every answer must be the one
// the cache file gives without it, and no read may stray outside either file.
//
// The first byte chooses what the rest is: the index itself (even), or edits of the real index
// of the file (odd): each five bytes a position and a byte to flip there, a last short piece
// the length to cut the index to.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "answer.h"
#include "base/beside.h"
#include "check.h"
#include "store/cache.h"
#include "store/cacheindex.h"
#include "store/jsonform.h"

using namespace corvane;
using namespace corvane::fuzz;

namespace {

struct Setting {
  std::string path, index;
  std::string realindex;
  std::vector<Args> questions;
  std::vector<std::string> answers;  // without the index
};

std::string answer(const Setting& s, const Args& args) {
  try {
    Reading reading = readcache(s.path, readsof(args));
    Ending e = answerquery(args, reading);
    return std::to_string(e.status) + " " + e.out + "|" + e.err;
  } catch (const Failure& f) {
    return std::string("failure ") + f.what();
  }
}

void putindex(const Setting& s, const std::string& bytes) {
  int fd = ::open(s.index.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    std::abort();
  ::close(fd);
}

Setting& setting() {
  static Setting s = [] {
    Setting s;
    char dir[] = "/tmp/corvane-fuzz-index.XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    s.path = std::string(dir) + "/corvane.json";
    s.index = indexpath(s.path);
    Document doc = newdocument();
    const char* names[] = {"a.example", "null", "", "say \"hi\"", "caf\xc3\xa9", "zones", "counter"};
    for (const char* z : names) {
      Map counters;
      counters.set(Key("A"), Value("1"));
      counters.set(Key::none(), Value());
      setzone(doc, Key(z), z[0] == 'c' ? Map() : counters);
    }
    setzone(doc, Key::none(), Map());
    setcounter(doc, "counter", Key("Requestv4"), Value("42"));
    setcounter(doc, "counter", Key::none(), Value("7"));
    setcounter(doc, "memory", Key("InUse"), Value("123"));
    writecache(s.path, doc);
    int fd = ::open(s.index.c_str(), O_RDONLY);
    char buf[65536];
    ssize_t n;
    while (fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0) s.realindex.append(buf, static_cast<size_t>(n));
    ::close(fd);
    if (s.realindex.empty()) std::abort();
    s.questions = {{"discoverzones", {}, {}, {}}, {"json", {}, {}, {}},
                   {"zonecounter", "a.example", "A", {}}, {"zonecounter", "null", "A", {}},
                   {"jsonzone", "zones", {}, {}}, {"jsonzone", "nosuch", {}, {}},
                   {"counter", {}, "null", {}}, {"memory", {}, "InUse", {}},
                   {"nosuch", {}, "x", {}}};
    ::unlink(s.index.c_str());
    for (const Args& q : s.questions) s.answers.push_back(answer(s, q));
    return s;
  }();
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setting& s = setting();
  if (size == 0) return 0;
  std::string bytes;
  if (data[0] % 2 == 0) {
    bytes.assign(reinterpret_cast<const char*>(data + 1), size - 1);
  } else {
    bytes = s.realindex;
    size_t i = 1;
    for (; i + 5 <= size; i += 5) {
      uint32_t at;
      std::memcpy(&at, data + i, 4);
      bytes[at % bytes.size()] ^= static_cast<char>(data[i + 4]);
    }
    if (i < size) bytes.resize(data[i] * bytes.size() / 256);
  }
  putindex(s, bytes);
  for (size_t q = 0; q < s.questions.size(); ++q) {
    std::string got = answer(s, s.questions[q]);
    expect(got == s.answers[q], "an index changes no answer", got + "\n---\n" + s.answers[q]);
  }
  return 0;
}
