#include "commandline.h"

#include <gtest/gtest.h>

#include "base/ending.h"
#include "testsupport/extracting.h"

namespace corvane {
namespace {

using Words = std::vector<std::string>;
using Opt = std::optional<std::string>;
const Opt none;

struct Outcome {
  bool ended = false;
  Args args;
  Ending ending;
};

Outcome parse(const Words& words, std::string_view invocation = "corvane", int width = 78) {
  Outcome o;
  try {
    o.args = parsecommandline(words, invocation, width);
  } catch (const Ending& e) {
    o.ended = true;
    o.ending = e;
  }
  return o;
}

const std::string USAGE = "usage: corvane [-h] [-z Z] [-c C] [-p P] action\n";

const std::string HELP78 = testsupport::fixture("help-78.txt");  // the black-box tests expect it too

struct Good {
  Words words;
  Opt action, z, c, p;
};

TEST(ParseCommandLine, ReadsEveryFormOfOptionAndValue) {
  const Good cases[] = {
      {{"counter"}, "counter", none, none, none},
      {{"zonecounter", "-z", "example.org", "-c", "QUERY"}, "zonecounter", "example.org", "QUERY", none},
      {{"-z", "example.org", "-c", "QUERY", "zonecounter"}, "zonecounter", "example.org", "QUERY", none},
      {{"-zexample.org", "zonecounter", "-cQUERY"}, "zonecounter", "example.org", "QUERY", none},
      {{"-z=example.org", "-c=QUERY", "zonecounter"}, "zonecounter", "example.org", "QUERY", none},
      {{"-z==x", "-c=a=b", "jsonzone"}, "jsonzone", "=x", "a=b", none},
      {{"-z=", "-c", "", "zonecounter"}, "zonecounter", "", "", none},
      {{"counter", "-p", "888", "-p", "889"}, "counter", none, none, "889"},
      {{"counter", "-p888", "-p=889", "-p", "890"}, "counter", none, none, "890"},
      // Texts stay as typed: no trimming, no folding.
      {{"JSON", "-c", " Qry "}, "JSON", none, " Qry ", none},
      // Negative numbers are words: as values and as the action.
      {{"counter", "-c", "-5"}, "counter", none, "-5", none},
      {{"counter", "-c", "-.5", "-z", "-0.25"}, "counter", "-0.25", "-.5", none},
      {{"-5", "-c", "x"}, "-5", none, "x", none},
      {{"-.5"}, "-.5", none, none, none},
      // A lone hyphen is a word too.
      {{"-"}, "-", none, none, none},
      {{"counter", "-c", "-"}, "counter", none, "-", none},
      {{"-c-x-", "counter", "-z=-y"}, "counter", "-y", "-x-", none},
      // The empty word is a word, not an option.
      {{""}, "", none, none, none},
      {{"-z", "a b", "-p", "", "jsonzone"}, "jsonzone", "a b", none, ""},
  };
  for (const Good& g : cases) {
    std::string label;
    for (const auto& w : g.words) label += "[" + w + "]";
    SCOPED_TRACE(label);
    Outcome o = parse(g.words);
    ASSERT_FALSE(o.ended) << o.ending.err;
    EXPECT_EQ(o.args.action, g.action);
    EXPECT_EQ(o.args.z, g.z);
    EXPECT_EQ(o.args.c, g.c);
    EXPECT_EQ(o.args.p, g.p);
  }
}

struct Bad {
  Words words;
  int status;
  std::string out, err;
};

TEST(ParseCommandLine, EndsWithHelpOrTheFirstError) {
  const std::string required = USAGE + "corvane: error: the following arguments are required: action\n";
  const Bad cases[] = {
      {{}, 2, "", required},
      {{"-c", "x"}, 2, "", required},
      // Help wins over every error that is found only after the last word.
      {{"-h"}, 0, HELP78, ""},
      {{"--help"}, 0, HELP78, ""},
      {{"--h"}, 0, HELP78, ""},
      {{"--he"}, 0, HELP78, ""},
      {{"--hel"}, 0, HELP78, ""},
      {{"zonecounter", "-z", "a", "-c", "b", "-h"}, 0, HELP78, ""},
      {{"counter", "json", "-h"}, 0, HELP78, ""},
      {{"-x", "-h"}, 0, HELP78, ""},
      {{"-h", "-c"}, 0, HELP78, ""},
      // ...but not over an option that lacked its value before it.
      {{"counter", "-c", "-h"}, 2, "", USAGE + "corvane: error: argument -c: expected one argument\n"},
      {{"counter", "-c"}, 2, "", USAGE + "corvane: error: argument -c: expected one argument\n"},
      {{"-z"}, 2, "", USAGE + "corvane: error: argument -z: expected one argument\n"},
      {{"counter", "-p", "--", "x"}, 2, "", USAGE + "corvane: error: argument -p: expected one argument\n"},
      {{"counter", "-c", "-5."}, 2, "", USAGE + "corvane: error: argument -c: expected one argument\n"},
      {{"counter", "-c", "-1x"}, 2, "", USAGE + "corvane: error: argument -c: expected one argument\n"},
      // The missing value is found when met, before stray words seen earlier.
      {{"a", "b", "-x", "-p"}, 2, "", USAGE + "corvane: error: argument -p: expected one argument\n"},
      // A missing action is reported before stray words.
      {{"-x"}, 2, "", required},
      {{"counter", "json"}, 2, "", USAGE + "corvane: error: unrecognized arguments: json\n"},
      {{"-x", "counter"}, 2, "", USAGE + "corvane: error: unrecognized arguments: -x\n"},
      {{"a", "-x", "b", "--zone", "-", "--", "--helpme", "-hz"},
       2, "", USAGE + "corvane: error: unrecognized arguments: -x b --zone - -- --helpme -hz\n"},
      {{"counter", "--", "-c", "x"}, 2, "", USAGE + "corvane: error: unrecognized arguments: --\n"},
      {{"counter", "--help=x"}, 2, "", USAGE + "corvane: error: unrecognized arguments: --help=x\n"},
      // A word that holds a line end still makes one error line.
      {{"counter", "a\nb"}, 2, "", USAGE + "corvane: error: unrecognized arguments: a\\x0ab\n"},
      {{"counter", "-H"}, 2, "", USAGE + "corvane: error: unrecognized arguments: -H\n"},
  };
  for (const Bad& b : cases) {
    std::string label;
    for (const auto& w : b.words) label += "[" + w + "]";
    SCOPED_TRACE(label);
    Outcome o = parse(b.words);
    ASSERT_TRUE(o.ended);
    EXPECT_EQ(o.ending.status, b.status);
    EXPECT_EQ(o.ending.out, b.out);
    EXPECT_EQ(o.ending.err, b.err);
  }
}

TEST(ParseCommandLine, NamesTheProgramByTheLastPartOfItsPath) {
  const struct {
    std::string invocation, name;
  } cases[] = {
      {"corvane", "corvane"},
      {"/usr/local/bin/corvane", "corvane"},
      {"./bin/zbx-bind", "zbx-bind"},
      {"", "corvane"},
      {"/usr/bin/", "corvane"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.invocation);
    Outcome o = parse({}, c.invocation);
    ASSERT_TRUE(o.ended);
    EXPECT_EQ(o.ending.err, "usage: " + c.name + " [-h] [-z Z] [-c C] [-p P] action\n" + c.name +
                                ": error: the following arguments are required: action\n");
    Outcome h = parse({"-h"}, c.invocation);
    EXPECT_TRUE(h.ending.out.starts_with("usage: " + c.name + " [-h]"));
  }
}

TEST(ParseCommandLine, WrapsTheHelpScreenToTheWidth) {
  const std::string narrow =
      "usage: corvane [-h] [-z Z] [-c C] [-p P] action\n"
      "\n"
      "positional arguments:\n"
      "  action      discoverzones | counter |\n"
      "              zonecounter |\n"
      "              zonemaintenancecounter |\n"
      "              resolvercounter |\n"
      "              socketcounter | incounter\n"
      "              | outcounter | json\n"
      "\n"
      "options:\n"
      "  -h, --help  show this help message and\n"
      "              exit\n"
      "  -z Z        zone\n"
      "  -c C        counter name\n"
      "  -p P        bind stats port\n";
  const std::string tiny =
      "usage: corvane [-h] [-z Z] [-c C] [-p P] action\n"
      "\n"
      "positional arguments:\n"
      "  action      discoverzones | counter\n"
      "              | zonecounter |\n"
      "              zonemaintenancecounter |\n"
      "              resolvercounter |\n"
      "              socketcounter |\n"
      "              incounter | outcounter |\n"
      "              json\n"
      "\n"
      "options:\n"
      "  -h, --help  show this help message\n"
      "              and exit\n"
      "  -z Z        zone\n"
      "  -c C        counter name\n"
      "  -p P        bind stats port\n";
  const struct {
    int width;
    std::string help;
  } cases[] = {
      {78, HELP78},
      {40, narrow},
      // A tiny terminal keeps a usable column of help text rather than one word a line.
      {38, tiny},
      {10, tiny},
      {-5, tiny},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width);
    Outcome o = parse({"-h"}, "corvane", c.width);
    ASSERT_TRUE(o.ended);
    EXPECT_EQ(o.ending.status, 0);
    EXPECT_EQ(o.ending.out, c.help);
    EXPECT_EQ(o.ending.err, "");
  }
  // Wide terminals put each help text on one line.
  Outcome wide = parse({"-h"}, "corvane", 200);
  EXPECT_NE(wide.ending.out.find(
                "  action      discoverzones | counter | zonecounter | zonemaintenancecounter | "
                "resolvercounter | socketcounter | incounter | outcounter | json\n"),
            std::string::npos);
}

TEST(SettlePort, TakesANonEmptyOptionTextAsTyped) {
  const struct {
    Opt p;
    std::string port;
  } cases[] = {
      {none, "8653"}, {"", "8653"}, {"889", "889"}, {"0x10", "0x10"}, {" 53", " 53"},
  };
  for (const auto& c : cases) {
    Args args;
    args.action = "counter";
    args.p = c.p;
    EXPECT_EQ(settleport(args), c.port);
  }
}

}  // namespace
}  // namespace corvane
