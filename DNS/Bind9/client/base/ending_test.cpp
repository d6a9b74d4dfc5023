#include "base/ending.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(Unhandled, IsOneDiagnosticLineOnStandardError) {
  const struct {
    std::string what, err;
  } cases[] = {
      {"cannot connect to localhost:8653", "corvane: cannot connect to localhost:8653\n"},
      // Words from the command line or a peer may hold anything.
      {"no section \"a\nb\"", "corvane: no section \"a\\x0ab\"\n"},
      {"tab\there, escape \x1b[2J, delete \x7f", "corvane: tab\\x09here, escape \\x1b[2J, delete \\x7f\n"},
      // Backslashes and text beyond ASCII stand as they are.
      {"zone \\x0a caf\xc3\xa9", "corvane: zone \\x0a caf\xc3\xa9\n"},
  };
  for (const auto& c : cases) {
    Ending e = unhandled(c.what);
    EXPECT_EQ(e.status, EXIT_NOANSWER);
    EXPECT_EQ(e.out, "");
    EXPECT_EQ(e.err, c.err);
  }
}

}  // namespace
}  // namespace corvane
