#include "actions.h"

#include <array>

#include "store/sections.h"

namespace corvane {

namespace {

// A word that names a section: its counters are looked up by -c.
constexpr Action lookup(Section section, bool listed = true) {
  return Action{nameof(section), listed, Answer::LOOKUP};
}

// Every action, in the order of the help text; the sections that it lists are named for the
// reader, any other word is looked up in the section of that name all the same.
constexpr std::array<Action, 12> ACTIONS = {{
    {"discoverzones", true, Answer::DISCOVERZONES},
    lookup(Section::COUNTER),
    {"zonecounter", true, Answer::ZONECOUNTER},
    lookup(Section::ZONEMAINTENANCECOUNTER),
    lookup(Section::RESOLVERCOUNTER),
    lookup(Section::SOCKETCOUNTER),
    lookup(Section::INCOUNTER),
    lookup(Section::OUTCOUNTER),
    {"json", true, Answer::JSON},
    {"jsonzone", false, Answer::JSONZONE},
    lookup(Section::CACHE, false),
    lookup(Section::MEMORY, false),
}};

constexpr Action SECTIONLOOKUP{"", false, Answer::LOOKUP};

}  // namespace

const Action& actionof(std::string_view word) {
  for (const Action& action : ACTIONS)
    if (action.word == word) return action;
  return SECTIONLOOKUP;
}

std::string listedactions() {
  std::string list;
  for (const Action& action : ACTIONS) {
    if (!action.listed) continue;
    if (!list.empty()) list += " | ";
    list += action.word;
  }
  return list;
}

}  // namespace corvane
