// Fuzz target: a command line, its words separated by NUL bytes, the first one the invocation
// name. The input's length picks the help screen's width, narrow and negative ones included,
// as a terminal of any size would. A command line that parses is then answered from a small
// document.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "answer.h"
#include "check.h"
#include "commandline.h"
#include "store/cache.h"
#include "store/document.h"

using namespace corvane;
using namespace corvane::fuzz;

namespace {

Document smalldocument() {
  Document doc = newdocument();
  Map zone;
  zone.set(Key("A"), Value("417"));
  zone.set(Key("NXDOMAIN"), Value());
  setzone(doc, Key("example.org"), zone);
  setzone(doc, Key("empty.example"), Map());
  setcounter(doc, "counter", Key("Requestv4"), Value("156"));
  setcounter(doc, "memory", Key("InUse"), Value("1024"));
  return doc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> words;
  size_t at = 0;
  for (;;) {
    size_t end = input.find('\0', at);
    words.emplace_back(input.substr(at, end == std::string_view::npos ? end : end - at));
    if (end == std::string_view::npos) break;
    at = end + 1;
  }
  std::string invocation = words.front();
  words.erase(words.begin());
  int width = static_cast<int>(size % 160) - 20;

  Args args;
  try {
    args = parsecommandline(words, invocation, width);
  } catch (const Ending& e) {
    checkending(e);
    if (e.status == EXIT_ANSWER)
      expect(e.out.starts_with("usage: ") && e.err.empty(), "help goes to standard output", e.out);
    else
      expect(e.status == EXIT_USAGE && e.out.empty() && e.err.starts_with("usage: "),
             "a command line that is not valid has status 2 and the synopsis on standard error",
             e.err);
    return 0;
  }
  expect(args.action.has_value(), "a parsed command line has an action");
  std::string port = settleport(args);
  expect(!port.empty(), "the port is not empty");

  static const Document small = smalldocument();
  Reading reading = readdocument(small, readsof(args));
  try {
    Ending e = answerquery(args, reading);
    checkending(e);
    expect(e.status == EXIT_ANSWER || e.status == EXIT_NOANSWER, "an answer has status 0 or 1");
    expect(!e.out.empty(), "an answer prints a line");
  } catch (const Failure&) {
    // An action that names no section; the action is the agent's own configuration.
  }
  return 0;
}
