// What the fuzz targets hold every outcome to. A broken promise aborts with its reason, and
// libFuzzer keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "base/ending.h"

namespace corvane::fuzz {

[[noreturn]] inline void broken(std::string_view promise, std::string_view seen) {
  std::fprintf(stderr, "broken promise: %.*s\nseen: %.*s\n", static_cast<int>(promise.size()),
               promise.data(), static_cast<int>(seen.size()), seen.data());
  std::abort();
}

inline void expect(bool held, std::string_view promise, std::string_view seen = {}) {
  if (!held) broken(promise, seen);
}

/// Not empty, and no control character: a diagnostic stays on its line and steers no terminal.
inline bool printableline(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  return true;
}

/// Every character printable ASCII: the JSON form.
inline bool printableascii(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) return false;
  return true;
}

/// Empty, or whole lines: a stream never ends in the middle of one.
inline bool wholelines(std::string_view text) { return text.empty() || text.back() == '\n'; }

/// An unhandled failure becomes "corvane: <what>" on one line.
inline void checkfailure(const Failure& failure) {
  expect(printableline(failure.what()), "a failure's diagnostic is one printable line",
         failure.what());
}

/// A known ending: one of the three statuses, whole lines on both streams.
inline void checkending(const Ending& ending) {
  expect(ending.status == EXIT_ANSWER || ending.status == EXIT_NOANSWER ||
             ending.status == EXIT_USAGE,
         "an ending has status 0, 1 or 2", ending.err);
  expect(wholelines(ending.out), "standard output ends with a line feed", ending.out);
  expect(wholelines(ending.err), "standard error ends with a line feed", ending.err);
}

}  // namespace corvane::fuzz
