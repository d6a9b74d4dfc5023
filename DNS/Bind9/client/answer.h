// Query answering: the one line a run prints about the document, and its exit status.
#pragma once

#include "commandline.h"
#include "endrun.h"
#include "store/document.h"

namespace corvane {

/// Answers the question that `args.action` names from `doc`: the answer line with status 0,
/// or the not-supported marker (after "Missing argument" where an option is missing) with
/// status 1. An action that names no section of the document throws Failure. The `json`
/// answer removes `zones` from `doc`.
Ending answerquery(const Args& args, Document& doc);

/// The part of the document that answerquery looks at for `args`: a document that holds only
/// it gives the same answer as the whole one.
Need needof(const Args& args);

}  // namespace corvane
