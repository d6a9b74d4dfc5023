// Test support: the statistics channel's answer read from bytes instead of a socket.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "acquire/httpclient.h"

namespace corvane {

/// The body of the answer in `answer`, the bytes a server sent in reply to the request, read
/// as fetchstatistics reads them: at most `piece` bytes per read, then the connection closes.
/// The same outcomes as fetchstatistics, with `where` naming the server in diagnostics; no
/// socket and no clock, so the answer's parsing can be tried on any bytes.
std::string readstatistics(std::string_view answer, const std::string& where,
                           const FetchLimits& limits = {}, size_t piece = 65536);

}  // namespace corvane
