// Query answering: the one line a run prints about the statistics, and its exit status.
#pragma once

#include <string>
#include <string_view>

#include "commandline.h"
#include "endrun.h"
#include "store/cacheindex.h"
#include "store/jsonform.h"

namespace corvane {

/// An action: the word that names it, whether the help text lists it, the part of the
/// document it looks at, and how it answers from that part.
struct Action {
  std::string_view word;
  bool listed;
  Need (*reads)(const Args& args);
  Ending (*answers)(const Args& args, Reading& reading);
};

/// The action that `word` names: a word that names none of the actions looks up a counter in
/// the section of that name.
const Action& actionof(std::string_view word);

/// The actions that the help text lists, as it lists them: "discoverzones | counter | ...".
std::string listedactions();

/// Answers the question that `args.action` names from `reading`, which holds what the
/// action reads: the answer line with status 0, or the not-supported marker (after "Missing
/// argument" where an option is missing) with status 1. An action that names no section of
/// the document throws Failure. The `json` answer removes `zones` from the document.
Ending answerquery(const Args& args, Reading& reading);

}  // namespace corvane
