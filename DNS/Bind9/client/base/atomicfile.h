// A file replaced whole: written beside it under a name of its own, then renamed over it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>

#include "base/fd.h"

namespace corvane {

/// A new file that takes the place of `target` when committed, so that a reader sees the old
/// text or the new, never a part, and a link planted at `target` is replaced, not followed. It
/// is created with read and write for all less the umask, under a name beside the target that
/// nothing planted can stand at (O_EXCL never follows a link). Until committed, destroying it
/// removes the new file and leaves the target as it was. Every failure throws Failure
/// "<what>: <step>: <the system's reason>", where `what` names the file for a person.
class AtomicFile {
 public:
  AtomicFile(std::string target, std::string what);
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();

  /// Gives the new file the permissions of `like`, and its owner where that is not this user.
  void passon(const struct stat& like);
  /// Appends `text` to the new file.
  void write(std::string_view text);
  /// Closes the new file and renames it over the target. Returns the status of the file now in
  /// place, read from a descriptor of its own (by then another run may have replaced it), or
  /// nothing when that status cannot be read.
  std::optional<struct stat> commit();

 private:
  [[noreturn]] void fail(std::string_view step, int err) const;

  std::string target_, what_, temporary_;
  Fd file_;
  bool committed_ = false;
};

}  // namespace corvane
