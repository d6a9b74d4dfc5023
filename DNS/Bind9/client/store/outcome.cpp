#include "store/outcome.h"

#include <charconv>
#include <cstdint>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "base/atomicfile.h"
#include "base/beside.h"
#include "base/fd.h"
#include "store/hashindex.h"

namespace corvane {

namespace {

// "corvane outcome 1", then a line of the status, the time in nanoseconds since the epoch,
// the lengths of the two streams' text and a check of all the rest, then the texts.
constexpr std::string_view MAGIC = "corvane outcome 1\n";

std::string fields(const Ending& ending, int64_t when) {
  return std::to_string(ending.status) + " " + std::to_string(when) + " " +
         std::to_string(ending.out.size()) + " " + std::to_string(ending.err.size());
}

uint64_t check(const std::string& fields, const Ending& ending) {
  return hashbytes(fields + "\n" + ending.out + ending.err);
}

// The next number of `text`, a blank after it taken too.
template <class Number>
bool number(std::string_view& text, Number& into, int base = 10) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), into, base);
  if (error != std::errc() || end == text.data()) return false;
  text.remove_prefix(static_cast<size_t>(end - text.data()));
  if (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  return true;
}

std::optional<Ending> parse(std::string_view text, int64_t& when) {
  if (!text.starts_with(MAGIC)) return std::nullopt;
  text.remove_prefix(MAGIC.size());
  size_t eol = text.find('\n');
  size_t blank = text.substr(0, eol).rfind(' ');
  if (eol == std::string_view::npos || blank == std::string_view::npos) return std::nullopt;
  std::string_view head = text.substr(0, blank), line = head, hex = text.substr(blank + 1, eol - blank - 1);
  Ending ending;
  size_t outbytes = 0, errbytes = 0;
  uint64_t sum = 0;
  if (!number(line, ending.status) || !number(line, when) || !number(line, outbytes) ||
      !number(line, errbytes) || !line.empty() || !number(hex, sum, 16) || !hex.empty())
    return std::nullopt;
  std::string_view texts = text.substr(eol + 1);
  if (outbytes > texts.size() || texts.size() - outbytes != errbytes) return std::nullopt;
  ending.out = std::string(texts.substr(0, outbytes));
  ending.err = std::string(texts.substr(outbytes));
  if (check(std::string(head), ending) != sum) return std::nullopt;
  return ending;
}

int64_t nanoseconds(WallClock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// Where another user's record stands beside the cache file, one that this user may not
// replace (root's, in a sticky directory), this user's runs keep theirs under a name of their
// own beside it, and read both.
std::string ownpath(const std::string& shared) {
  return shared + "." + std::to_string(::geteuid());
}

bool foreign(const std::string& shared) {
  struct stat st;
  return ::lstat(shared.c_str(), &st) == 0 && st.st_uid != ::geteuid() && ::geteuid() != 0;
}

// The ending kept at `path` and when it was kept, or nothing.
std::optional<Ending> readrecord(const std::string& path, int64_t& when) {
  Fd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!file || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (st.st_uid != ::geteuid() && st.st_uid != 0) return std::nullopt;
  if (static_cast<uint64_t>(st.st_size) > MAXOUTCOMEBYTES) return std::nullopt;
  std::string text(static_cast<size_t>(st.st_size), '\0');
  if (readat(file.get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
    return std::nullopt;
  return parse(text, when);
}

}  // namespace

void recordoutcome(const std::string& cache, const Ending& ending, WallClock::time_point when) {
  std::string line = fields(ending, nanoseconds(when));
  char hex[17];
  auto [end, error] = std::to_chars(hex, hex + sizeof hex, check(line, ending), 16);
  (void)error;
  std::string text = std::string(MAGIC) + line + " " + std::string(hex, end) + "\n" + ending.out + ending.err;
  if (text.size() > MAXOUTCOMEBYTES) return;
  const std::string shared = outcomepath(cache);
  const std::string path = foreign(shared) ? ownpath(shared) : shared;
  try {
    AtomicFile record(path, "outcome " + path);
    if (!record.inherit()) record.setmode(0644);
    record.write(text);
    record.commit();
  } catch (const std::exception&) {
  }
}

std::optional<Ending> recentoutcome(const std::string& cache, WallClock::time_point now,
                                    std::chrono::milliseconds life) {
  const std::string shared = outcomepath(cache);
  std::optional<Ending> newest;
  int64_t newestwhen = 0;
  for (const std::string& path : {shared, foreign(shared) ? ownpath(shared) : std::string()}) {
    int64_t when = 0;
    std::optional<Ending> ending = path.empty() ? std::nullopt : readrecord(path, when);
    int64_t age = nanoseconds(now) - when;
    if (!ending || age < 0 || age > std::chrono::nanoseconds(life).count()) continue;
    if (!newest || when > newestwhen) newest = std::move(ending), newestwhen = when;
  }
  return newest;
}

void clearoutcome(const std::string& cache) {
  const std::string shared = outcomepath(cache);
  ::unlink(shared.c_str());
  ::unlink(ownpath(shared).c_str());
}

}  // namespace corvane
