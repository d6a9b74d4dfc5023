// corvane: answers one question about a BIND 9 server's statistics per run.
//
// The run: read the command line, settle the port, answer from the cache file when it is fresh,
// otherwise fetch the XML statistics, reduce them to the document and cache it; then answer.

#include <csignal>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "acquire/extract.h"
#include "acquire/httpclient.h"
#include "acquire/schema.h"
#include "acquire/xmltree.h"
#include "answer.h"
#include "base/beside.h"
#include "base/bounds.h"
#include "base/port.h"
#include "commandline.h"
#include "endrun.h"
#include "store/cache.h"
#include "store/cachelock.h"
#include "store/document.h"
#include "store/outcome.h"

using namespace corvane;

// Called with the lock held. A fetch that fails leaves how it ended beside the cache file
// before the lock goes: the runs that waited for it, and those that come within FAILURELIFE,
// end the same way without asking the server again. One that succeeds ends that record.
static Document fetchdocument(const std::string& cache, const std::string& port, Deadline deadline) {
  try {
    removeleftovers(cache);
    Document doc;
    {
      // The body goes to the parser as it arrives and is never held, the tree keeps only what
      // the extractors read, and of a schema 3 document the zones are read as they come: what
      // a fetch holds is little more than the document it makes.
      StreamedZones zones;
      TreeBuilder parser(zonecut(zones), extractedpaths());
      fetchstatistics(port, limitsuntil(deadline), [&](std::string_view piece) { parser.feed(piece); });
      Detected found = detectversion(parser.finish());
      doc = newdocument();
      if (found.version == 2) extractversion2(found.tree, found.root, doc);
      if (found.version == 3) extractversion3(found.tree, found.root, doc, zones);
      // Versions 0 and 1 pass detection although neither extractor knows them: their document
      // stays empty and is cached all the same, so that a server that publishes one costs one
      // fetch a minute like any other, not one fetch per poll.
    }
    writecache(cache, doc);
    clearoutcome(cache);
    return doc;
  } catch (...) {
    Ending ending = endingof(std::current_exception());
    recordoutcome(cache, ending, WallClock::now());
    throw ending;
  }
}

// The failure of a fetch that ended within FAILURELIFE, as that run ended.
static void sharefailure(const std::string& cache) {
  if (std::optional<Ending> failed = recentoutcome(cache, WallClock::now())) throw *failed;
}

// A fresh cache file answers, and of it only what the answer looks at is read. Otherwise one
// run fetches while the others wait for what it leaves, the file or its failure; a lock that
// cannot be had at all costs a fetch, never an answer. Each port has a cache of its own; a
// port text that names no port has none, and the fetch says what is wrong with it.
static Reading obtain(const std::string& port, const Need& need) {
  const Deadline deadline = SteadyClock::now() + RUNLIMIT;
  std::optional<unsigned> number = tcpport(port);
  if (!number) fetchstatistics(port);
  const std::string cache = cachefor(JSONFILE, number.value());
  if (cachefresh(cache, WallClock::now())) return readcache(cache, need);
  sharefailure(cache);
  CacheLock lock = lockcache(cache, deadline);
  if (lock.state == CacheLock::BUSY)
    throw Failure("another run is still fetching from " + channelname(port));
  if (cachefresh(cache, WallClock::now())) {
    lock.release();  // the waiters behind us need not queue for our read of the file
    return readcache(cache, need);
  }
  sharefailure(cache);
  return readdocument(fetchdocument(cache, port, deadline), need);
}

int main(int argc, char** argv) {
  // A reader that goes away, or a limit on file sizes, must not end the run by a signal: the
  // status has to stay honest, and a write that fails says why.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  try {
    Args args = parsecommandline(std::vector<std::string>(argv + 1, argv + argc),
                                 argc > 0 ? argv[0] : "corvane", helpwidth());
    std::string port = settleport(args);
    Reading reading = obtain(port, readsof(args));
    endrun(answerquery(args, reading));
  } catch (...) {
    endrun(endingof(std::current_exception()));
  }
}
