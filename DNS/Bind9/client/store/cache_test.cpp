#include "store/cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "base/ending.h"
#include "store/jsonform.h"
#include "testsupport/tempdir.h"

namespace corvane {
namespace {

// A fixed moment, in whole seconds, for modification times set by the tests.
constexpr time_t T = 1'700'000'000;

// The moment `after` T.
WallClock::time_point at(std::chrono::milliseconds after = 0ms) {
  return WallClock::time_point(std::chrono::seconds(T)) + after;
}

class Cache : public testsupport::TempDir {
 protected:
  void place(const std::string& text, const std::string& at = "") {
    std::string p = at.empty() ? path : at;
    int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
  }
  void setmtime(const std::string& p, time_t sec, long nsec = 0) {
    timespec times[2] = {{sec, nsec}, {sec, nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
  }
  std::string contents(const std::string& p) {
    std::string text;
    int fd = ::open(p.c_str(), O_RDONLY);
    if (fd < 0) return "<missing>";
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, n);
    ::close(fd);
    return text;
  }
  std::vector<std::string> entries() {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string failure(const std::function<void()>& step) {
    try {
      step();
    } catch (const Failure& e) {
      return e.what();
    }
    return "<no failure>";
  }
};

Document sample() {
  Document doc = newdocument();
  Map zone;
  zone.set("QryAuthAns", "417");
  zone.set("caf\xc3\xa9", Value());
  setzone(doc, "example.org", zone);
  setcounter(doc, "counter", "Requestv4", "12");
  return doc;
}

TEST_F(Cache, FreshWhileAtMostLifeSecondsOld) {
  place("{}");
  struct Case {
    time_t sec;
    long nsec;
    std::chrono::milliseconds now;  // after T
    bool fresh;
  } cases[] = {
      {T, 0, 0ms, true},
      {T, 0, 59'999ms, true},
      {T, 0, 60'000ms, true},
      {T, 0, 60'001ms, false},
      {T, 0, 61'000ms, false},
      {T, 500'000'000, 60'500ms, true},
      {T, 500'000'000, 60'501ms, false},
      {T, 0, -3'600'000ms, true},  // modified ahead of the clock
  };
  for (const Case& c : cases) {
    setmtime(path, c.sec, c.nsec);
    EXPECT_EQ(cachefresh(path, at(c.now), 60s), c.fresh) << c.now.count();
  }
  setmtime(path, T);
  EXPECT_TRUE(cachefresh(path, at(10s), 10s));
  EXPECT_FALSE(cachefresh(path, at(10'001ms), 10s));
}

TEST_F(Cache, WhatCannotBeAnsweredFromIsStale) {
  EXPECT_FALSE(cachefresh(path, at(), 60s));  // missing

  place("{}", dir + "/target");
  setmtime(dir + "/target", T);
  ASSERT_EQ(::symlink("target", path.c_str()), 0);
  // A link is not followed, to a fresh file of this user's or nowhere.
  EXPECT_FALSE(cachefresh(path, at(), 60s));
  EXPECT_NE(failure([&] { readcache(path); }).find("Too many levels of symbolic links"), std::string::npos);
  ::unlink((dir + "/target").c_str());
  EXPECT_FALSE(cachefresh(path, at(), 60s));
  ::unlink(path.c_str());

  ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
  setmtime(path, T);
  EXPECT_FALSE(cachefresh(path, at(), 60s));
  ::unlink(path.c_str());

  ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
  setmtime(path, T);
  EXPECT_FALSE(cachefresh(path, at(), 60s));
}

TEST_F(Cache, FileOfAnotherUserIsStale) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
  place("{}");
  setmtime(path, T);
  ASSERT_EQ(::chown(path.c_str(), 12345, 12345), 0);
  EXPECT_FALSE(cachefresh(path, at(), 60s));
  EXPECT_NE(failure([&] { readcache(path); }).find("owned by another user (uid 12345)"),
            std::string::npos);
  ASSERT_EQ(::chown(path.c_str(), 0, 0), 0);
  EXPECT_TRUE(cachefresh(path, at(), 60s));
}

TEST_F(Cache, ReadsBackWhatItWrote) {
  Document doc = sample();
  writecache(path, doc);
  // One line, no line end after it.
  EXPECT_EQ(contents(path), writejson(doc));
  EXPECT_EQ(writejson(readcache(path).doc), writejson(doc));
  EXPECT_EQ(entries(), (std::vector<std::string>{"corvane.json", "corvane.json.index"}));
}

TEST_F(Cache, ReadFailuresNameThePathAndTheReason) {
  struct Case {
    std::string text, why;
  } cases[] = {
      {"", "invalid JSON: the text is empty at offset 0"},
      {"{\"zones\": {", "invalid JSON: the text ends before the value does at offset 11"},
      {"<isc/>", "invalid JSON: not a JSON value at offset 0"},
      {"[]", "does not hold a JSON object"},
      {"\"text\"", "does not hold a JSON object"},
  };
  for (const Case& c : cases) {
    place(c.text);
    EXPECT_EQ(failure([&] { readcache(path); }), "cache file " + path + ": " + c.why);
    EXPECT_EQ(contents(path), c.text);
  }
  ::unlink(path.c_str());
  EXPECT_EQ(failure([&] { readcache(path); }),
            "cache file " + path + ": cannot open it: No such file or directory");
}

TEST_F(Cache, ReadNeverBlocksNorReadsWithoutBound) {
  ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
  EXPECT_NE(failure([&] { readcache(path); }).find("not a regular file"), std::string::npos);
  ::unlink(path.c_str());

  // Sparse: the size is what counts, not the blocks.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_EQ(::ftruncate(fd, MAXCACHEBYTES + 1), 0);
  ::close(fd);
  EXPECT_NE(failure([&] { readcache(path); }).find("larger than 1024 MiB"), std::string::npos);
}

TEST_F(Cache, NewFileGetsReadWriteForAllLessTheUmask) {
  for (mode_t mask : {022, 077, 0, 002}) {
    ::unlink(path.c_str());
    mode_t old = ::umask(mask);
    writecache(path, newdocument());
    ::umask(old);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask) << std::oct << mask;
  }
}

TEST_F(Cache, ReplacedFileKeepsItsPermissionsAndOwner) {
  place("{}");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  mode_t old = ::umask(0);
  writecache(path, sample());
  ::umask(old);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  if (geteuid() != 0) return;
  // Root writing must not take the file away from the agent's user.
  ASSERT_EQ(::chown(path.c_str(), 12345, 12346), 0);
  writecache(path, newdocument());
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 12345u);
  EXPECT_EQ(st.st_gid, 12346u);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(Cache, LinkAtThePathIsReplacedNotFollowed) {
  std::string target = dir + "/victim";
  place("precious", target);
  ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
  writecache(path, sample());
  struct stat st;
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(contents(target), "precious");
  EXPECT_EQ(contents(path), writejson(sample()));
}

TEST_F(Cache, FailedWriteLeavesTheOldFileAndNoTemporary) {
  // A directory at the path cannot be replaced by a file.
  ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
  std::string why = failure([&] { writecache(path, sample()); });
  EXPECT_EQ(why, "cache file " + path + ": cannot replace it: Is a directory");
  EXPECT_EQ(entries(), std::vector<std::string>{"corvane.json"});
  ASSERT_EQ(::rmdir(path.c_str()), 0);

  // A write cut short, as on a full file system.
  place("old text");
  rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 16;
  auto oldhandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  why = failure([&] { writecache(path, sample()); });
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldhandler);
  EXPECT_EQ(why, "cache file " + path + ": cannot write it: File too large");
  EXPECT_EQ(contents(path), "old text");
  EXPECT_EQ(entries(), std::vector<std::string>{"corvane.json"});

  // No directory to create the new file in.
  std::string nowhere = dir + "/missing/corvane.json";
  EXPECT_EQ(failure([&] { writecache(nowhere, sample()); }),
            "cache file " + nowhere + ": cannot create a new file beside it: No such file or directory");

  if (geteuid() == 0) return;  // root writes into any directory
  ASSERT_EQ(::chmod(dir.c_str(), 0555), 0);
  EXPECT_NE(failure([&] { writecache(path, sample()); }).find("Permission denied"), std::string::npos);
  EXPECT_EQ(contents(path), "old text");
}

}  // namespace
}  // namespace corvane
