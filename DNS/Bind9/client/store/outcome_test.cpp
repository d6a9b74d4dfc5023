#include "store/outcome.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "base/beside.h"
#include "testsupport/tempdir.h"

namespace corvane {
namespace {

using Outcome = testsupport::TempDir;

const Ending REFUSED{EXIT_NOANSWER, "", "corvane: cannot connect to localhost:8653 (127.0.0.1): Connection refused\n"};
const Ending FAILED{EXIT_NOANSWER, "HTTP GET Failed\n", ""};
const Ending UNKNOWN{EXIT_NOANSWER, "ZBX_NOTSUPPORTED\n", "Unknown root tag: html\n"};
const WallClock::time_point T = WallClock::time_point(std::chrono::seconds(1'700'000'000));

std::string show(const std::optional<Ending>& e) {
  return e ? std::to_string(e->status) + "|" + e->out + "|" + e->err : "<none>";
}

TEST_F(Outcome, AFailureStandsForFailureLifeAfterItEnded) {
  const struct {
    std::chrono::milliseconds after;
    bool stands;
  } cases[] = {{0ms, true}, {9'999ms, true}, {10'000ms, true}, {10'001ms, false}, {-1ms, false}, {-3600s, false}};
  for (const Ending& ending : {REFUSED, FAILED, UNKNOWN}) {
    recordoutcome(path, ending, T);
    for (const auto& c : cases)
      EXPECT_EQ(show(recentoutcome(path, T + c.after, 10s)), c.stands ? show(ending) : "<none>")
          << c.after.count() << " ms " << ending.err;
  }
  clearoutcome(path);
  EXPECT_EQ(show(recentoutcome(path, T, 10s)), "<none>");
}

TEST_F(Outcome, RecordIsReadableByAllWhateverTheMask) {
  mode_t old = ::umask(077);
  recordoutcome(path, FAILED, T);
  ::umask(old);
  struct stat st;
  ASSERT_EQ(::stat(outcomepath(path).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(Outcome, WhatNoRunCouldHaveLeftIsIgnored) {
  const std::string record = outcomepath(path);
  auto bytes = [&] {
    recordoutcome(path, REFUSED, T);
    std::string text(4096, '\0');
    int fd = ::open(record.c_str(), O_RDONLY);
    text.resize(static_cast<size_t>(::read(fd, text.data(), text.size())));
    ::close(fd);
    ::unlink(record.c_str());
    return text;
  };
  auto place = [&](const std::string& text, const std::string& at) {
    int fd = ::open(at.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
  };
  const std::string good = bytes();
  std::string flipped = good;
  flipped[flipped.size() - 3] ^= 1;
  const struct {
    const char* what;
    std::function<void()> plant;
  } cases[] = {
      {"a byte changed", [&] { place(flipped, record); }},
      {"cut short", [&] { place(good.substr(0, good.size() - 1), record); }},
      {"one byte more", [&] { place(good + "x", record); }},
      {"empty", [&] { place("", record); }},
      {"larger than the bound", [&] { place(good + std::string(MAXOUTCOMEBYTES, ' '), record); }},
      {"a link to a good one", [&] {
         place(good, dir + "/elsewhere");
         ASSERT_EQ(::symlink((dir + "/elsewhere").c_str(), record.c_str()), 0);
       }},
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(record.c_str(), 0644), 0); }},
      {"another user's", [&] {
         place(good, record);
         if (::geteuid() == 0) ASSERT_EQ(::chown(record.c_str(), 12345, 12345), 0);
         else ::unlink(record.c_str());
       }},
  };
  for (const auto& c : cases) {
    c.plant();
    EXPECT_EQ(show(recentoutcome(path, T, 10s)), "<none>") << c.what;
    ::unlink(record.c_str());
  }
  place(good, record);
  EXPECT_EQ(show(recentoutcome(path, T, 10s)), show(REFUSED));
}

}  // namespace
}  // namespace corvane
