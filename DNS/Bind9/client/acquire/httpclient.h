// The statistics channel client: one HTTP/1.1 GET of "/" on the local DNS server.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "base/bounds.h"

namespace corvane {

/// Bounds on one fetch; a run lowers the times to what is left of its own limit.
struct FetchLimits {
  std::chrono::milliseconds connect = CONNECTLIMIT;  // per address tried
  std::chrono::milliseconds exchange = EXCHANGELIMIT;
  size_t body = MAXBODYBYTES;
  size_t header = MAXHEADERBYTES;
  bool cut = false;  // the times are what was left of the run's limit
};

/// A time bound as the diagnostics name it, "within 25 s": `bound`, or, where the run's limit
/// cut it short of `usual`, the run's limit, as the manual names both.
std::string within(std::chrono::milliseconds bound, std::chrono::milliseconds usual,
                   const FetchLimits& limits);

/// The bounds of a fetch that must be over by `deadline`: the usual ones, cut to what is left
/// once AFTERBODY is kept for what the run does with the body.
FetchLimits limitsuntil(std::chrono::steady_clock::time_point deadline);

/// The statistics channel that `port` names, as the diagnostics name it: "localhost:8653".
std::string channelname(const std::string& port);

/// Takes the body of an answer piece by piece as it arrives.
using BodySink = std::function<void(std::string_view piece)>;

/// The body of the answer to GET / on localhost:`port`, handed to `sink` as it arrives and
/// never held whole. A status other than 200 throws Ending (status 1, "HTTP GET Failed" on
/// standard output); a port text that is not a decimal number, a refused connection, a
/// malformed or cut-off answer, or a bound exceeded throws Failure, a body that passes its
/// bound as soon as it does. What `sink` throws ends the fetch at once, and so does the
/// exchange's time running out while it works.
void fetchstatistics(const std::string& port, const FetchLimits& limits, const BodySink& sink);

/// The same body as bytes.
std::string fetchstatistics(const std::string& port, const FetchLimits& limits = {});

}  // namespace corvane
