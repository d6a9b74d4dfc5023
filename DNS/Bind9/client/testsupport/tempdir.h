// Test support: a directory of its own for each test, with the cache file's path in it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace corvane::testsupport {

/// A fixture with a new directory under /tmp, removed afterwards whatever the test left in it,
/// and `path`, a cache file's path inside it.
class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/corvane-test.XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    dir = tmpl;
    path = dir + "/corvane.json";
  }
  void TearDown() override {
    ::chmod(dir.c_str(), 0700);  // a test may have taken the right to write it away
    EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
  }

  std::string dir, path;
};

}  // namespace corvane::testsupport
