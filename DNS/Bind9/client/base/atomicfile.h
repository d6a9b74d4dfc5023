// A file replaced whole: written where no one sees it, then renamed over the old one.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>

#include "base/fd.h"

namespace corvane {

/// A new file that takes the place of `target` when committed, so that a reader sees the old
/// text or the new, never a part, and a link planted at `target` is replaced, not followed.
/// Where the file system can, the new file has no name until it is complete (O_TMPFILE): a run
/// killed while it writes leaves nothing. Otherwise it is written under a name of its own
/// beside the target, created with O_EXCL (never through a link), which a run ended by
/// SIGTERM, SIGINT or SIGHUP removes on its way out. It is created with read and write for all
/// less the umask. Until committed, destroying it leaves the target as it was. Every failure
/// throws Failure "<what>: <step>: <the system's reason>", `what` naming the file for a person.
class AtomicFile {
 public:
  AtomicFile(std::string target, std::string what);
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();

  /// Gives the new file the permissions of `like`, and its owner where that is not this user.
  void passon(const struct stat& like);
  /// Passes on the permissions and owner of the regular file that the new one replaces, where
  /// this user may: one of this user's, or any when root writes. Whether there was one.
  bool inherit();
  /// Gives the new file the permissions `mode`, whatever the umask.
  void setmode(mode_t mode);
  /// Appends `text` to the new file.
  void write(std::string_view text);
  /// Closes the new file and renames it over the target. Returns the status of the file now in
  /// place, read from a descriptor of its own (by then another run may have replaced it), or
  /// nothing when that status cannot be read.
  std::optional<struct stat> commit();

 private:
  [[noreturn]] void fail(std::string_view step, int err) const;
  void name();

  std::string target_, what_, temporary_;
  Fd file_;
  bool unnamed_ = false;  // O_TMPFILE, not yet linked
  bool committed_ = false;
};

}  // namespace corvane
