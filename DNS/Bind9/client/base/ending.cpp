#include "base/ending.h"

#include <new>
#include <utility>

#include "base/escape.h"

namespace corvane {

Ending notsupported(std::string diagnostic) {
  return Ending{EXIT_NOANSWER, std::string(NOTSUPPORTED) + "\n", std::move(diagnostic)};
}

Ending unhandled(const std::string& what) {
  return Ending{EXIT_NOANSWER, "", "corvane: " + oneline(what) + "\n"};
}

Ending endingof(std::exception_ptr thrown) {
  try {
    std::rethrow_exception(thrown);
  } catch (const Ending& ending) {
    return ending;
  } catch (const std::bad_alloc&) {
    return unhandled("out of memory");
  } catch (const std::exception& e) {
    return unhandled(e.what());
  }
}

}  // namespace corvane
