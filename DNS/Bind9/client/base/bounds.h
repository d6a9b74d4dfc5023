// Every bound and deadline of a run, in one place and one unit, checked against each other.
#pragma once

#include <chrono>
#include <cstddef>

#include "base/clock.h"

namespace corvane {

using namespace std::chrono_literals;

/// The agent's item timeout: every wait of one run, for the lock and for the server, fits in it.
inline constexpr std::chrono::milliseconds RUNLIMIT = 30s;
/// How long a cache file answers after it was written.
inline constexpr std::chrono::milliseconds CACHELIFE = 60s;
/// How long the outcome of a fetch that failed stands in for a fetch: the runs of one cycle
/// that come after it print that failure instead of asking the server again, and the first
/// run after it asks anew.
inline constexpr std::chrono::milliseconds FAILURELIFE = 10s;
/// Connecting to one address of the statistics channel.
inline constexpr std::chrono::milliseconds CONNECTLIMIT = 5s;
/// The whole request and response.
inline constexpr std::chrono::milliseconds EXCHANGELIMIT = 25s;

/// A large server (10,000 zones) sends about 31 MB; the bound leaves room for several times it.
inline constexpr size_t MAXBODYBYTES = size_t{256} << 20;
/// The status line and header fields of one response.
inline constexpr size_t MAXHEADERBYTES = 8192;
/// The largest cache file read. A document of 10,000 zones takes about 14 MB.
inline constexpr size_t MAXCACHEBYTES = size_t{256} << 20;
/// The largest index read beside it: far above what a cache file of MAXCACHEBYTES needs.
inline constexpr size_t MAXINDEXBYTES = size_t{64} << 20;
/// The largest outcome of a failed fetch read beside it: the few lines that the run printed.
inline constexpr size_t MAXOUTCOMEBYTES = size_t{64} << 10;

// A run that finds another fetching waits for it up to its own limit, and never fetches while
// the other holds the lock: the other started first, and its exchange ends within its limit,
// so its outcome comes within the waiter's. Only a lock taken longer than RUNLIMIT ago belongs
// to a run that has stopped; the runs after it fetch.
static_assert(CONNECTLIMIT <= EXCHANGELIMIT && EXCHANGELIMIT < RUNLIMIT);
// A failure is shared by the polls of one cycle; the next cycle asks the server again.
static_assert(FAILURELIFE < CACHELIFE);

}  // namespace corvane
