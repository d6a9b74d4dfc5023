#include "base/beside.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "base/bounds.h"

namespace corvane {

namespace {

constexpr std::string_view NEW = ".new.";
constexpr size_t LETTERS = 6;

// The process that made the temporary file `entry` (a name in the cache's directory) of the
// cache file named `base` or of a file beside it; 0 when it is none of them.
pid_t maker(std::string_view entry, const std::string& base) {
  if (!entry.starts_with(base + ".")) return 0;
  size_t at = entry.rfind(NEW);
  if (at == std::string_view::npos || at < base.size()) return 0;
  std::string_view rest = entry.substr(at + NEW.size());
  size_t dot = rest.find('.');
  if (dot == 0 || dot == std::string_view::npos || rest.size() - dot - 1 != LETTERS) return 0;
  pid_t pid = 0;
  for (char c : rest.substr(0, dot)) {
    if (c < '0' || c > '9' || pid > 100'000'000) return 0;
    pid = pid * 10 + (c - '0');
  }
  return pid;
}

bool ended(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

bool old(const struct stat& st) { return WallClock::now() - modified(st) > RUNLIMIT; }

}  // namespace

std::string directoryof(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string indexpath(const std::string& cache) { return cache + ".index"; }

std::string lockpath(const std::string& cache) { return cache + ".lock"; }

std::string outcomepath(const std::string& cache) { return cache + ".outcome"; }

std::string temporaryname(const std::string& target, unsigned attempt) {
  auto now = static_cast<uint64_t>(SteadyClock::now().time_since_epoch().count());
  uint64_t x = now * 0x9e3779b97f4a7c15ULL ^ static_cast<uint64_t>(attempt) << 40;
  static constexpr char DIGITS[] = "abcdefghijklmnopqrstuvwxyz012345";
  std::string name = target + std::string(NEW) + std::to_string(getpid()) + ".";
  for (size_t i = 0; i < LETTERS; ++i, x >>= 5) name += DIGITS[x & 31];
  return name;
}

void removeleftovers(const std::string& cache) {
  size_t slash = cache.rfind('/');
  std::string base = slash == std::string::npos ? cache : cache.substr(slash + 1);
  DIR* listing = ::opendir(directoryof(cache).c_str());
  if (!listing) return;
  const int at = ::dirfd(listing);
  while (const dirent* entry = ::readdir(listing)) {
    pid_t pid = maker(entry->d_name, base);
    struct stat st;
    if (pid == 0 || ::fstatat(at, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) continue;
    if (ended(pid) || old(st)) ::unlinkat(at, entry->d_name, 0);
  }
  ::closedir(listing);
}

}  // namespace corvane
