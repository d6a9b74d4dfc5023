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

Deadline within(std::chrono::milliseconds wait) { return SteadyClock::now() + wait; }

struct stat status(const std::string& p) {
  struct stat st {};
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
  return st;
}

TEST_F(Lock, LockExcludesASecondHolderForABoundedWait) {
  CacheLock first = lockcache(path, within(0ms));
  ASSERT_TRUE(first.held());
  auto start = std::chrono::steady_clock::now();
  CacheLock second = lockcache(path, within(200ms));
  EXPECT_FALSE(second.held());
  EXPECT_EQ(second.state, CacheLock::BUSY);
  EXPECT_GE(elapsed(start), 0.2);
  EXPECT_LT(elapsed(start), 2.0);

  CacheLock moved = std::move(first);
  EXPECT_FALSE(first.held());
  EXPECT_FALSE(lockcache(path, within(0ms)).held());
  moved.release();
  EXPECT_TRUE(lockcache(path, within(0ms)).held());

  // A waiter gets the lock as soon as the holder lets go.
  CacheLock holder = lockcache(path, within(0ms));
  ASSERT_TRUE(holder.held());
  std::thread letgo([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    holder.release();
  });
  start = std::chrono::steady_clock::now();
  CacheLock waiter = lockcache(path, within(10s));
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
  EXPECT_EQ(lockcache(path, within(50ms)).state, CacheLock::UNAVAILABLE);
  EXPECT_FALSE(exists(dir + "/elsewhere"));
  ::unlink(lockpath.c_str());

  ASSERT_EQ(::mkfifo(lockpath.c_str(), 0644), 0);
  EXPECT_EQ(lockcache(path, within(50ms)).state, CacheLock::UNAVAILABLE);
  ::unlink(lockpath.c_str());

  EXPECT_EQ(lockcache(dir + "/missing/corvane.json", within(50ms)).state, CacheLock::UNAVAILABLE);
}

TEST_F(Lock, LockIsReadableByAllWhateverTheMask) {
  mode_t old = ::umask(077);
  CacheLock lock = lockcache(path, within(0ms));
  ::umask(old);
  ASSERT_TRUE(lock.held());
  EXPECT_EQ(status(path + ".lock").st_mode & 07777, 0644u);
}

// A run that stopped while it held the lock (its mark older than the run limit) leaves it to
// the runs after it, on a new lock file; a holder marked within the limit keeps it.
TEST_F(Lock, LockOfAStoppedRunIsReplaced) {
  const std::string lockpath = path + ".lock";
  CacheLock stopped = lockcache(path, within(0ms));
  ASSERT_TRUE(stopped.held());
  const struct stat taken = status(lockpath);
  EXPECT_EQ(lockcache(path, within(100ms)).state, CacheLock::BUSY);
  EXPECT_EQ(status(lockpath).st_ino, taken.st_ino);

  timespec longago[2] = {{0, UTIME_OMIT}, {time(nullptr) - 31, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, lockpath.c_str(), longago, 0), 0);
  CacheLock next = lockcache(path, within(2s));
  EXPECT_TRUE(next.held());
  EXPECT_NE(status(lockpath).st_ino, taken.st_ino);
  EXPECT_EQ(status(lockpath).st_mode & 07777, 0644u);
  // The runs after it wait for the new holder.
  EXPECT_EQ(lockcache(path, within(100ms)).state, CacheLock::BUSY);
}

}  // namespace
}  // namespace corvane
