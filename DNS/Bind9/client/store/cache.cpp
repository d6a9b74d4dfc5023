#include "store/cache.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "endrun.h"
#include "store/jsonform.h"

namespace corvane {

namespace {

// What gathers of the cache text before it is written out.
constexpr size_t WRITECHUNK = 64 << 10;

// `what` is a view so that building the call cannot disturb errno before it is read.
[[noreturn]] void fail(const std::string& path, std::string_view what, int err = 0) {
  std::string message = "cache file " + path + ": ";
  message += what;
  if (err) message += std::string(": ") + std::strerror(err);
  throw Failure(message);
}

// In a shared directory anyone may leave a file at the cache's path; only a regular file of
// this user or root can have come from a run of this program.
const char* untrusted(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if (st.st_uid != geteuid() && st.st_uid != 0) return "owned by another user";
  return nullptr;
}

std::string owner(const struct stat& st) { return "uid " + std::to_string(st.st_uid); }

double monotonic() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

/// Closes a descriptor on every way out of a scope.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

// A name beside `path` that no other run picks at the same moment: O_EXCL settles the rest.
std::string temporaryname(const std::string& path, unsigned attempt) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  uint64_t x = static_cast<uint64_t>(getpid()) * 0x9e3779b97f4a7c15ULL ^
               static_cast<uint64_t>(ts.tv_nsec) ^ static_cast<uint64_t>(attempt) << 40;
  static constexpr char DIGITS[] = "abcdefghijklmnopqrstuvwxyz012345";
  std::string name = path + ".";
  for (int i = 0; i < 8; ++i, x >>= 5) name += DIGITS[x & 31];
  return name;
}

}  // namespace

bool cachefresh(const std::string& path, double now, Seconds life) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  if (untrusted(st)) return false;
  // Whole seconds first: both are near the same large number, so the difference is exact and
  // an age of exactly `life` is not lost to rounding.
  double age = (now - static_cast<double>(st.st_mtim.tv_sec)) -
               static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
  return age <= life.count();
}

double wallclock() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

Reading readcache(const std::string& path, const Need& need) {
  // Non-blocking: a FIFO or a device planted after the freshness test must not hold the run.
  Descriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (file.fd < 0) fail(path, "cannot open it", errno);
  struct stat st;
  if (::fstat(file.fd, &st) != 0) fail(path, "cannot read its status", errno);
  if (const char* why = untrusted(st)) fail(path, std::string(why) + " (" + owner(st) + ")");
  if (static_cast<uint64_t>(st.st_size) > MAXCACHEBYTES)
    fail(path, "larger than " + std::to_string(MAXCACHEBYTES >> 20) + " MiB (" +
                   std::to_string(st.st_size) + " bytes), more than any statistics document");

  // Never through a link, never blocking on a FIFO; readindexed checks the rest.
  Descriptor index{::open(indexpath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
  if (index.fd >= 0)
    if (std::optional<Reading> part = readindexed(index.fd, file.fd, st, need)) return std::move(*part);

  size_t total = 0;
  Pull pull = [&](char* into, size_t room) -> size_t {
    for (;;) {
      ssize_t n = ::read(file.fd, into, room);
      if (n < 0) {
        if (errno == EINTR) continue;
        fail(path, "cannot read it", errno);
      }
      total += static_cast<size_t>(n);
      if (total > MAXCACHEBYTES) fail(path, "larger than " + std::to_string(MAXCACHEBYTES >> 20) + " MiB");
      return static_cast<size_t>(n);
    }
  };
  std::optional<Value> value = readjson(pull, need);
  if (!value) {
    // The text is read again whole, and readjson says what is wrong with it.
    if (::lseek(file.fd, 0, SEEK_SET) != 0) fail(path, "cannot read it", errno);
    total = 0;
    std::string text(static_cast<size_t>(st.st_size) + 1, '\0');
    size_t have = 0;
    while (size_t n = pull(text.data() + have, text.size() - have)) {
      have += n;
      if (have == text.size()) text.resize(text.size() * 2);  // grown since fstat; pull bounds it
    }
    text.resize(have);
    try {
      value = readjson(text);
    } catch (const Failure& e) {
      fail(path, e.what());
    }
  }
  Map* doc = value->map();
  if (!doc) fail(path, "does not hold a JSON object");
  return Reading{std::move(*doc), std::nullopt};
}

namespace {

// Writes all of `text` to `fd`; 0, or the error that stopped it.
int writeall(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

// A new file beside `path`, created for writing under a name that no other run picks:
// O_EXCL never follows a link, so nothing planted under the temporary name is written to.
Descriptor createbeside(const std::string& path, std::string& temporary) {
  for (unsigned attempt = 0;; ++attempt) {
    temporary = temporaryname(path, attempt);
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return Descriptor{fd};
    if (errno != EEXIST || attempt == 100) fail(path, "cannot create a new file beside it", errno);
  }
}

// The index of the file just put in place at `path`, whose status is `st`. Whatever goes
// wrong leaves no index: a poll then reads the file.
void writeindex(const std::string& path, const struct stat& st, const Document& doc,
                const Layout& layout) {
  std::string target = indexpath(path);
  std::string temporary;
  try {
    std::string bytes = makeindex(st, doc, layout);
    if (bytes.empty()) throw Failure("no index");
    Descriptor file = createbeside(target, temporary);
    // The index goes with the file: same owner, same permissions, so that whoever may replace
    // the one may replace the other.
    if ((st.st_uid != geteuid() && ::fchown(file.fd, st.st_uid, st.st_gid) != 0) ||
        ::fchmod(file.fd, st.st_mode & 0777) != 0)
      throw Failure("cannot pass the owner and permissions on to the index");
    if (writeall(file.fd, bytes) != 0) throw Failure("cannot write the index");
    int fd = file.fd;
    file.fd = -1;
    if (::close(fd) != 0 || ::rename(temporary.c_str(), target.c_str()) != 0)
      throw Failure("cannot put the index in place");
  } catch (...) {
    if (!temporary.empty()) ::unlink(temporary.c_str());
    // An index of an older file serves no one: it is ignored, but gone is clearer.
    ::unlink(target.c_str());
  }
}

}  // namespace

void writecache(const std::string& path, const Document& doc) {
  std::string temporary;
  Descriptor file = createbeside(path, temporary);

  int err = 0;
  const char* step = nullptr;
  // The file that is replaced keeps its permissions, and its owner when root replaces another
  // user's file: the monitoring agent's own runs must still be able to replace it later.
  struct stat old;
  if (::lstat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode) &&
      (old.st_uid == geteuid() || geteuid() == 0)) {
    if (old.st_uid != geteuid() && ::fchown(file.fd, old.st_uid, old.st_gid) != 0)
      err = errno, step = "cannot pass the owner on to the new file";
    else if (::fchmod(file.fd, old.st_mode & 0777) != 0)
      err = errno, step = "cannot pass the permissions on to the new file";
  }

  // The text goes out in chunks as it is written: whole, it would be a large second copy of
  // the document at the run's peak of memory.
  std::string text;
  text.reserve(WRITECHUNK + 4096);
  auto drain = [&](std::string& out) {
    if (!step && (err = writeall(file.fd, out)) != 0) step = "cannot write it";
    out.clear();
  };
  Layout layout;
  try {
    writejson(doc, text, drain, WRITECHUNK, &layout);
  } catch (...) {
    ::unlink(temporary.c_str());  // the descriptor closes as it goes out of scope
    throw;
  }
  // Some file systems report a full disk only when the file is closed. The index needs the
  // file's status once in place, and only a descriptor of its own tells it for sure: by then
  // another run may have put its own file at `path`.
  Descriptor placed{step ? -1 : ::open(temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
  int fd = file.fd;
  file.fd = -1;
  if (::close(fd) != 0 && !step) err = errno, step = "cannot write it";
  std::string what;
  if (!step && ::rename(temporary.c_str(), path.c_str()) != 0) {
    err = errno;
    what = "cannot replace it";
    // In a sticky directory only the owner may replace a file: say who that is.
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && st.st_uid != geteuid())
      what += " (it belongs to " + owner(st) + ")";
  } else if (step) {
    what = step;
  }
  if (!what.empty()) {
    ::unlink(temporary.c_str());
    fail(path, what, err);
  }
  struct stat st;
  if (placed.fd >= 0 && ::fstat(placed.fd, &st) == 0)
    writeindex(path, st, doc, layout);
  else
    ::unlink(indexpath(path).c_str());
}

CacheLock& CacheLock::operator=(CacheLock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void CacheLock::release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

CacheLock lockcache(const std::string& path, Seconds wait) {
  std::string lockpath = path + ".lock";
  // Never through a link (O_CREAT would create its target), never blocking on a FIFO.
  int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = ::open(lockpath.c_str(), flags | O_CREAT, 0666);
  // A sticky directory may refuse O_CREAT on another user's file that exists; the lock is
  // shared between users all the same.
  if (fd < 0 && errno == EACCES) fd = ::open(lockpath.c_str(), flags);
  if (fd < 0) return CacheLock();
  CacheLock lock(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return CacheLock();

  // flock has no timeout of its own; polling keeps the wait bounded without signals.
  double deadline = monotonic() + wait.count();
  long pause = 1'000'000;  // nanoseconds
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return lock;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return CacheLock();
    double left = deadline - monotonic();
    if (left <= 0) return CacheLock();
    long nap = std::min<long>(pause, static_cast<long>(left * 1e9) + 1);
    timespec ts{0, nap};
    ::nanosleep(&ts, nullptr);
    pause = std::min(pause * 2, 50'000'000L);
  }
}

}  // namespace corvane
