#include "commandline.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include "actions.h"
#include "base/ending.h"
#include "base/escape.h"
#include "base/port.h"

namespace corvane {

namespace {

// The help text column: two blanks, the longest entry ("-h, --help") and two blanks more.
constexpr size_t HELPCOLUMN = 14;
// The narrowest column of help text: the longest action and its separator still fit a line.
constexpr size_t MINHELPTEXT = 24;

bool asciidigit(char c) { return c >= '0' && c <= '9'; }

// -5 and -.5 and -0.5 are negative numbers, so they are words, not options.
bool negativenumber(std::string_view w) {
  if (w.size() < 2 || w[0] != '-') return false;
  std::string_view rest = w.substr(1);
  size_t dot = rest.find('.');
  std::string_view whole = rest.substr(0, dot);
  for (char c : whole)
    if (!asciidigit(c)) return false;
  if (dot == std::string_view::npos) return true;
  std::string_view fraction = rest.substr(dot + 1);
  if (fraction.empty()) return false;
  for (char c : fraction)
    if (!asciidigit(c)) return false;
  return true;
}

// A word that cannot be an option: it is an action, a stray word, or an option's value.
bool plainword(std::string_view w) {
  return w.empty() || w[0] != '-' || w == "-" || negativenumber(w);
}

bool helpword(std::string_view w) {
  if (w == "-h") return true;
  return w.size() >= 3 && std::string_view("--help").starts_with(w);
}

std::string basename(std::string_view invocation) {
  size_t slash = invocation.rfind('/');
  std::string name(slash == std::string_view::npos ? invocation : invocation.substr(slash + 1));
  return name.empty() ? "corvane" : name;
}

std::string usageline(const std::string& name) {
  return "usage: " + name + " [-h] [-z Z] [-c C] [-p P] action\n";
}

// One entry of the help screen: the entry at two blanks, its text from HELPCOLUMN on, broken
// at blanks so no line passes `width` unless a single word is longer than the room there is.
// Help texts are short lists of words (the actions, joined by " | "): a break falls between
// two words, never inside one, and a continued text lines up under its first line, so the
// actions still read as one column. On a terminal too narrow for the column and the longest
// action with its separator the room stays MINHELPTEXT: a line a little too long wraps on the
// screen, while a word broken in two would read as another action.
void entry(std::string& out, std::string_view invocation, std::string_view text, int width) {
  size_t room = width > static_cast<int>(HELPCOLUMN + MINHELPTEXT)
                    ? static_cast<size_t>(width) - HELPCOLUMN
                    : MINHELPTEXT;
  std::string line = "  " + std::string(invocation);
  line.append(HELPCOLUMN - line.size(), ' ');
  size_t used = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(' ', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view word = text.substr(at, end - at);
    at = end + 1;
    if (word.empty()) continue;
    if (used > 0 && used + 1 + word.size() > room) {
      out += line;
      out += '\n';
      line.assign(HELPCOLUMN, ' ');
      used = 0;
    }
    if (used > 0) {
      line += ' ';
      ++used;
    }
    line += word;
    used += word.size();
  }
  out += line;
  out += '\n';
}

std::string helpscreen(const std::string& name, int width) {
  std::string out = usageline(name);
  out += "\npositional arguments:\n";
  entry(out, "action", listedactions(), width);
  out += "\noptions:\n";
  entry(out, "-h, --help", "show this help message and exit", width);
  entry(out, "-z Z", "zone", width);
  entry(out, "-c C", "counter name", width);
  entry(out, "-p P", "bind stats port", width);
  return out;
}

[[noreturn]] void usageerror(const std::string& name, const std::string& reason) {
  throw Ending{EXIT_USAGE, "", usageline(name) + name + ": error: " + oneline(reason) + "\n"};
}

}  // namespace

namespace {

// The field that the option word `w` sets (-z, -c, -p), or null for a word that is no option.
std::optional<std::string>* fieldof(Args& args, std::string_view w) {
  if (w[1] == 'z') return &args.z;
  if (w[1] == 'c') return &args.c;
  if (w[1] == 'p') return &args.p;
  return nullptr;
}

// The errors found after the last word, in the order they are reported.
void checkwords(const std::string& name, const Args& args,
                const std::vector<std::string_view>& unrecognized) {
  if (!args.action) usageerror(name, "the following arguments are required: action");
  if (unrecognized.empty()) return;
  std::string list;
  for (std::string_view w : unrecognized) {
    if (!list.empty()) list += ' ';
    list += w;
  }
  usageerror(name, "unrecognized arguments: " + list);
}

}  // namespace

Args parsecommandline(const std::vector<std::string>& words, std::string_view invocation,
                      int width) {
  std::string name = basename(invocation);
  Args args;
  std::vector<std::string_view> unrecognized;
  for (size_t i = 0; i < words.size(); ++i) {
    std::string_view w = words[i];
    if (helpword(w)) throw Ending{EXIT_ANSWER, helpscreen(name, width), ""};
    if (plainword(w)) {
      if (args.action)
        unrecognized.push_back(w);
      else
        args.action = std::string(w);
      continue;
    }
    std::optional<std::string>* field = fieldof(args, w);
    if (!field) {
      unrecognized.push_back(w);
    } else if (w.size() > 2) {
      // -zV, or -z=V: the equals sign belongs to the option, not the value.
      *field = std::string(w.substr(w[2] == '=' ? 3 : 2));
    } else if (i + 1 < words.size() && plainword(words[i + 1])) {
      *field = words[++i];
    } else {
      usageerror(name, "argument " + std::string(w) + ": expected one argument");
    }
  }
  checkwords(name, args, unrecognized);
  return args;
}

int helpwidth() {
  winsize size{};
  if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    return static_cast<int>(size.ws_col) - 2;
  return 78;
}

std::string settleport(const Args& args) {
  if (args.p && !args.p->empty()) return *args.p;
  return std::to_string(DEFAULTPORT);
}

}  // namespace corvane
