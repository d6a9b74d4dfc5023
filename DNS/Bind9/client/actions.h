// The actions: the words a run answers to, the ones the help text lists, and the kind of
// answer each gives.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

/// The kinds of answer; every word that names no other looks a counter up in the section of
/// that name.
enum class Answer : uint8_t { DISCOVERZONES, ZONECOUNTER, JSONZONE, JSON, LOOKUP };

struct Action {
  std::string_view word;
  bool listed;  // in the help text
  Answer answer;
};

/// The action that `word` names: a word that names none of them is a section lookup.
const Action& actionof(std::string_view word);

/// The actions that the help text lists, as it lists them: "discoverzones | counter | ...".
std::string listedactions();

}  // namespace corvane
