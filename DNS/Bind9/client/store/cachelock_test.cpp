#include "store/cachelock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "testsupport/tempdir.h"

namespace corvane {
namespace {

using Lock = testsupport::TempDir;

bool exists(const std::string& p) { return ::access(p.c_str(), F_OK) == 0; }

double elapsed(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

TEST_F(Lock, LockExcludesASecondHolderForABoundedWait) {
  CacheLock first = lockcache(path, 0ms);
  ASSERT_TRUE(first.held());
  auto start = std::chrono::steady_clock::now();
  CacheLock second = lockcache(path, 200ms);
  EXPECT_FALSE(second.held());
  EXPECT_GE(elapsed(start), 0.2);
  EXPECT_LT(elapsed(start), 2.0);

  CacheLock moved = std::move(first);
  EXPECT_FALSE(first.held());
  EXPECT_FALSE(lockcache(path, 0ms).held());
  moved.release();
  EXPECT_TRUE(lockcache(path, 0ms).held());

  // A waiter gets the lock as soon as the holder lets go.
  CacheLock holder = lockcache(path, 0ms);
  ASSERT_TRUE(holder.held());
  std::thread letgo([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    holder.release();
  });
  start = std::chrono::steady_clock::now();
  CacheLock waiter = lockcache(path, 10s);
  double waited = elapsed(start);
  letgo.join();
  EXPECT_TRUE(waiter.held());
  EXPECT_GE(waited, 0.25);
  EXPECT_LT(waited, 2.0);
}

TEST_F(Lock, LockThatCannotBeHadIsNotHeld) {
  std::string lockpath = path + ".lock";
  // A link planted at the lock's path is neither followed nor used.
  ASSERT_EQ(::symlink((dir + "/elsewhere").c_str(), lockpath.c_str()), 0);
  EXPECT_FALSE(lockcache(path, 50ms).held());
  EXPECT_FALSE(exists(dir + "/elsewhere"));
  ::unlink(lockpath.c_str());

  ASSERT_EQ(::mkfifo(lockpath.c_str(), 0644), 0);
  EXPECT_FALSE(lockcache(path, 50ms).held());
  ::unlink(lockpath.c_str());

  EXPECT_FALSE(lockcache(dir + "/missing/corvane.json", 50ms).held());
}

}  // namespace
}  // namespace corvane
