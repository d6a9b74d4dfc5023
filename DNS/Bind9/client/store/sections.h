// The nine sections of the statistics document, named once.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace corvane {

/// A section of the document, in the order of the JSON form.
enum class Section : uint8_t {
  ZONES,
  COUNTER,
  ZONEMAINTENANCECOUNTER,
  RESOLVERCOUNTER,
  SOCKETCOUNTER,
  INCOUNTER,
  OUTCOUNTER,
  CACHE,
  MEMORY,
};

/// The sections' names, by Section: the member names of the JSON form, and the words of the
/// actions that look a counter up in them.
inline constexpr std::array<std::string_view, 9> SECTIONS = {
    "zones",       "counter",    "zonemaintenancecounter", "resolvercounter", "socketcounter",
    "incounter",   "outcounter", "cache",                  "memory"};

constexpr std::string_view nameof(Section s) { return SECTIONS[static_cast<size_t>(s)]; }

}  // namespace corvane
