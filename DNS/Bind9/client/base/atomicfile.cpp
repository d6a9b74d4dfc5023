#include "base/atomicfile.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include "base/beside.h"
#include "base/ending.h"

namespace corvane {

namespace {

// The name of the file being written, for a signal handler to remove: one at a time, held in
// a fixed buffer, since a handler may neither allocate nor lock.
char pending[PATH_MAX];
std::atomic<bool> haspending{false};

extern "C" void removepending(int signal) {
  if (haspending.load()) ::unlink(pending);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void setpending(const std::string& name) {
  static const bool installed = [] {
    for (int s : {SIGTERM, SIGINT, SIGHUP}) {
      struct sigaction action {};
      action.sa_handler = removepending;
      sigemptyset(&action.sa_mask);
      ::sigaction(s, &action, nullptr);
    }
    return true;
  }();
  (void)installed;
  if (name.size() >= sizeof pending) return;  // too long to be kept; nothing removes it
  haspending.store(false);
  std::memcpy(pending, name.c_str(), name.size() + 1);
  haspending.store(true);
}

void clearpending() { haspending.store(false); }

}  // namespace

AtomicFile::AtomicFile(std::string target, std::string what)
    : target_(std::move(target)), what_(std::move(what)) {
  file_ = Fd(::open(directoryof(target_).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
  if (file_) {
    unnamed_ = true;
    return;
  }
  // Without O_TMPFILE the file has a name from the start.
  for (unsigned attempt = 0;; ++attempt) {
    std::string name = temporaryname(target_, attempt);
    setpending(name);
    file_ = Fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file_) {
      temporary_ = std::move(name);
      return;
    }
    clearpending();
    if (errno != EEXIST || attempt == 100) fail("cannot create a new file beside it", errno);
  }
}

AtomicFile::~AtomicFile() {
  if (!committed_ && !temporary_.empty()) ::unlink(temporary_.c_str());
  if (!temporary_.empty()) clearpending();
}

void AtomicFile::fail(std::string_view step, int err) const {
  std::string message = what_ + ": ";
  message += step;
  if (err) message += std::string(": ") + std::strerror(err);
  throw Failure(message);
}

void AtomicFile::passon(const struct stat& like) {
  // Root replacing another user's file must leave it to that user, who replaces it next.
  if (like.st_uid != ::geteuid() && ::fchown(file_.get(), like.st_uid, like.st_gid) != 0)
    fail("cannot pass the owner on to the new file", errno);
  setmode(like.st_mode & 0777);
}

bool AtomicFile::inherit() {
  struct stat old;
  if (::lstat(target_.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) return false;
  if (old.st_uid != ::geteuid() && ::geteuid() != 0) return false;
  passon(old);
  return true;
}

void AtomicFile::setmode(mode_t mode) {
  if (::fchmod(file_.get(), mode) != 0) fail("cannot pass the permissions on to the new file", errno);
}

void AtomicFile::write(std::string_view text) {
  if (int err = writeall(file_.get(), text)) fail("cannot write it", err);
}

// A file made with O_TMPFILE gets a name beside the target only now, complete, for the rename:
// a link cannot replace a file that exists. Linking a descriptor needs a privilege that the
// path of the descriptor under /proc does not.
void AtomicFile::name() {
  std::string self = "/proc/self/fd/" + std::to_string(file_.get());
  for (unsigned attempt = 0;; ++attempt) {
    std::string name = temporaryname(target_, attempt);
    setpending(name);
    if (::linkat(file_.get(), "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0 ||
        ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      temporary_ = std::move(name);
      unnamed_ = false;
      return;
    }
    clearpending();
    if (errno != EEXIST || attempt == 100) fail("cannot create a new file beside it", errno);
  }
}

std::optional<struct stat> AtomicFile::commit() {
  if (unnamed_) name();
  // The rename changes the file's change time: its status is read once it is in place.
  Fd placed(::fcntl(file_.get(), F_DUPFD_CLOEXEC, 0));
  if (int err = file_.close()) fail("cannot write it", err);
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
    int err = errno;
    std::string step = "cannot replace it";
    // In a sticky directory only the owner may replace a file: say who that is.
    struct stat st;
    if (::lstat(target_.c_str(), &st) == 0 && st.st_uid != ::geteuid())
      step += " (it belongs to uid " + std::to_string(st.st_uid) + ")";
    fail(step, err);
  }
  committed_ = true;
  clearpending();
  struct stat st;
  if (!placed || ::fstat(placed.get(), &st) != 0) return std::nullopt;
  return st;
}

}  // namespace corvane
