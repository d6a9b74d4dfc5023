// The port of the statistics channel, read from the text of -p.
#pragma once

#include <optional>
#include <string>

namespace corvane {

/// The port of the statistics channel when -p names none.
inline constexpr unsigned DEFAULTPORT = 8653;

/// The port text as the decimal digits of its number, leading zeros dropped; nothing for a text
/// that is not all decimal digits. Never converted to a machine integer on the way, so that no
/// text of digits can wrap around into a valid port.
std::optional<std::string> decimalport(const std::string& text);

/// The TCP port (1 to 65535) that the port text names, as the fetch reads it ("08653" is 8653);
/// nothing for a text that names none.
std::optional<unsigned> tcpport(const std::string& text);

}  // namespace corvane
