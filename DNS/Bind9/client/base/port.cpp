#include "base/port.h"

#include <algorithm>

namespace corvane {

std::optional<std::string> decimalport(const std::string& text) {
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  size_t first = text.find_first_not_of('0');
  return first == std::string::npos ? "0" : text.substr(first);
}

std::optional<unsigned> tcpport(const std::string& text) {
  std::optional<std::string> decimal = decimalport(text);
  if (!decimal || decimal->size() > 5) return std::nullopt;
  unsigned number = static_cast<unsigned>(std::stoul(*decimal));
  if (number == 0 || number > 65535) return std::nullopt;
  return number;
}

}  // namespace corvane
