// Fuzz target: the bytes a statistics channel answers with. The first byte picks how the
// network splits them, the second the bounds on header and body; the rest is the answer.
// However it is split, an answer must give the same body, or fail both times (the reason may
// differ: the parser judges a start line early only when it has it whole).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "testsupport/replay.h"

using namespace corvane;
using namespace corvane::fuzz;

namespace {

const char WHERE[] = "localhost:8653";

// The outcome as one text, to compare two readings of the same bytes.
std::string outcome(std::string_view answer, const FetchLimits& limits, size_t piece) {
  try {
    std::string body = readstatistics(answer, WHERE, limits, piece);
    expect(body.size() <= limits.body, "a body is within its bound");
    return "body " + body;
  } catch (const Ending& e) {
    checkending(e);
    expect(e.status == EXIT_NOANSWER && e.out == "HTTP GET Failed\n" && e.err.empty(),
           "another status ends with \"HTTP GET Failed\"", e.out + e.err);
    return "ending";
  } catch (const Failure& f) {
    checkfailure(f);
    return "failure";
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t piece = data[0] < 0x80 ? size_t{1} + data[0] % 32 : 65536;
  FetchLimits limits;
  limits.body = size_t{16} << (data[1] & 15);       // 16 bytes to 512 KiB
  limits.header = size_t{64} << ((data[1] >> 4) % 8);  // 64 bytes to 8 KiB
  std::string_view answer(reinterpret_cast<const char*>(data) + 2, size - 2);

  std::string split = outcome(answer, limits, piece);
  if (piece != 65536) {
    std::string whole = outcome(answer, limits, 65536);
    expect(split == whole, "an answer's outcome does not depend on how it is split",
           split.substr(0, 200) + "\n---\n" + whole.substr(0, 200));
  }
  return 0;
}
