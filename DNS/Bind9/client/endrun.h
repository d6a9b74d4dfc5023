// How a run ends: the lines it leaves on both streams and its exit status.
#pragma once

#include "base/ending.h"

namespace corvane {

/// Writes the ending's standard error text, then its standard output text, flushes both and
/// ends the process with its status. The message comes before the marker that follows it.
[[noreturn]] void endrun(const Ending& ending);

}  // namespace corvane
