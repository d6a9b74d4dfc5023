#include "base/atomicfile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "base/beside.h"
#include "base/ending.h"

namespace corvane {

AtomicFile::AtomicFile(std::string target, std::string what)
    : target_(std::move(target)), what_(std::move(what)) {
  for (unsigned attempt = 0;; ++attempt) {
    std::string name = temporaryname(target_, attempt);
    file_ = Fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file_) {
      temporary_ = std::move(name);
      return;
    }
    if (errno != EEXIST || attempt == 100) fail("cannot create a new file beside it", errno);
  }
}

AtomicFile::~AtomicFile() {
  if (!committed_ && !temporary_.empty()) ::unlink(temporary_.c_str());
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
  if (::fchmod(file_.get(), like.st_mode & 0777) != 0)
    fail("cannot pass the permissions on to the new file", errno);
}

void AtomicFile::write(std::string_view text) {
  if (int err = writeall(file_.get(), text)) fail("cannot write it", err);
}

std::optional<struct stat> AtomicFile::commit() {
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
  struct stat st;
  if (!placed || ::fstat(placed.get(), &st) != 0) return std::nullopt;
  return st;
}

}  // namespace corvane
