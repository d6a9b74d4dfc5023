#include "endrun.h"

#include <unistd.h>

#include "base/fd.h"

namespace corvane {

// Raw write(2): the run prints at most a few lines, once, so stdio buffering buys nothing,
// and a pipe that closes early must not turn into a signal-driven end with another status.
void endrun(const Ending& ending) {
  writeall(STDERR_FILENO, ending.err);
  // An answer that did not reach the agent is no answer.
  bool delivered = writeall(STDOUT_FILENO, ending.out) == 0;
  _exit(delivered || ending.status != EXIT_ANSWER ? ending.status : EXIT_NOANSWER);
}

}  // namespace corvane
