// Test support: a parsed command line made in one call.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "commandline.h"

namespace corvane::testsupport {

using Opt = std::optional<std::string>;
inline const Opt none;

/// The arguments of `corvane [-z z] [-c c] action`.
inline Args ask(Opt action, Opt z = none, Opt c = none) {
  Args a;
  a.action = std::move(action);
  a.z = std::move(z);
  a.c = std::move(c);
  return a;
}

}  // namespace corvane::testsupport
