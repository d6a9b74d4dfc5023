// Query answering: the one line a run prints about the statistics, and its exit status.
#pragma once

#include "base/ending.h"
#include "commandline.h"
#include "store/cache.h"

namespace corvane {

/// The part of the document that the question `args` names looks at: nothing at all when an
/// option that its action needs is missing, since the answer is then "Missing argument".
Need readsof(const Args& args);

/// Answers the question that `args.action` names from `reading`, which holds what readsof
/// named: the answer line with status 0, or the not-supported marker (after "Missing argument"
/// where an option is missing) with status 1. An action that names no section of the document
/// throws Failure. The `json` answer removes `zones` from the document.
Ending answerquery(const Args& args, Reading& reading);

}  // namespace corvane
