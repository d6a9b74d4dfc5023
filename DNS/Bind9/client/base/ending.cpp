#include "base/ending.h"

#include <utility>

#include "base/escape.h"

namespace corvane {

Ending notsupported(std::string diagnostic) {
  return Ending{EXIT_NOANSWER, std::string(NOTSUPPORTED) + "\n", std::move(diagnostic)};
}

Ending unhandled(const std::string& what) {
  return Ending{EXIT_NOANSWER, "", "corvane: " + oneline(what) + "\n"};
}

}  // namespace corvane
