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
/// What a run keeps of its time for the body once it is in: the last piece parsed, the document
/// extracted, the cache file and its index written. The body is parsed as it arrives, so only
/// this is left; a document at MAXBODYBYTES takes about a second of it here.
inline constexpr std::chrono::milliseconds AFTERBODY = 5s;

/// The statistics document. It is parsed as it arrives and never held, so the bound guards
/// the run's time, not its memory: 100,000 zones under `zone-statistics full` are about 310 MB.
inline constexpr size_t MAXBODYBYTES = size_t{1} << 30;
/// The status line and header fields of one response.
inline constexpr size_t MAXHEADERBYTES = 8192;
/// The largest cache file read: the cache file of a document takes less than half its size.
inline constexpr size_t MAXCACHEBYTES = size_t{1} << 30;
/// The largest index read beside it: far above what a cache file of MAXCACHEBYTES needs.
inline constexpr size_t MAXINDEXBYTES = size_t{256} << 20;
/// The largest outcome of a failed fetch read beside it: the few lines that the run printed.
inline constexpr size_t MAXOUTCOMEBYTES = size_t{64} << 10;

// A run that finds another fetching waits for it up to its own limit, and never fetches while
// the other holds the lock: the other started first, and its exchange and what follows the
// body end within its limit, so its outcome comes within the waiter's. Only a lock taken
// longer than RUNLIMIT ago belongs to a run that has stopped; the runs after it fetch.
static_assert(CONNECTLIMIT <= EXCHANGELIMIT && EXCHANGELIMIT < RUNLIMIT);
// A body that comes at the end of the exchange still leaves the time to use it.
static_assert(EXCHANGELIMIT + AFTERBODY <= RUNLIMIT);
// A failure is shared by the polls of one cycle; the next cycle asks the server again.
static_assert(FAILURELIFE < CACHELIFE);
// Offsets into a body, a cache file or an index are at most 32 bits wide in places.
static_assert(MAXBODYBYTES < (size_t{1} << 32) && MAXCACHEBYTES < (size_t{1} << 32));
static_assert(MAXINDEXBYTES <= MAXCACHEBYTES);

}  // namespace corvane
