// The statistics channel client: one HTTP/1.1 GET of "/" on the local DNS server.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace corvane {

/// Bounds on one fetch. A large server (10,000 zones) takes a few seconds to answer and sends
/// about 31 MB, so the bounds leave room for several times that.
struct FetchLimits {
  std::chrono::milliseconds connect{5000};   // per address tried
  std::chrono::milliseconds exchange{25000};  // the whole request and response
  size_t body = size_t{256} << 20;             // bytes
  size_t header = 8192;                        // status line and header fields, per response
};

/// The body of the answer to GET / on localhost:`port`, as bytes. A status other than 200
/// throws Ending (status 1, "HTTP GET Failed" on standard output); a port text that is not a
/// decimal number, a refused connection, a malformed or cut-off answer, or a bound exceeded
/// throws Failure.
std::string fetchstatistics(const std::string& port, const FetchLimits& limits = {});

}  // namespace corvane
