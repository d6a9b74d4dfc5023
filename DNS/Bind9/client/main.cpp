// corvane: answers one question about a BIND 9 server's statistics per run.
//
// The run: read the command line, settle the port, answer from the cache file when it is fresh,
// otherwise fetch the XML statistics, reduce them to the document and cache it; then answer.

#include <csignal>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "acquire/extract.h"
#include "acquire/httpclient.h"
#include "acquire/schema.h"
#include "acquire/xmltree.h"
#include "answer.h"
#include "base/bounds.h"
#include "commandline.h"
#include "endrun.h"
#include "store/cache.h"
#include "store/cachelock.h"
#include "store/document.h"

using namespace corvane;

static Document fetchdocument(const std::string& port, Deadline deadline) {
  Document doc;
  {
    // The body goes to the parser as it arrives and is never held, the tree keeps only what
    // the extractors read, and of a schema 3 document the zones are read as they come: what a
    // fetch holds is little more than the document it makes.
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
  writecache(JSONFILE, doc);
  return doc;
}

// A fresh cache file answers, and of it only what the answer looks at is read. Otherwise one
// run fetches while the others wait for the file it writes; a lock that cannot be had costs a
// fetch, never an answer.
static Reading obtain(const std::string& port, const Need& need) {
  Deadline deadline = SteadyClock::now() + RUNLIMIT;
  if (cachefresh(JSONFILE, WallClock::now())) return readcache(JSONFILE, need);
  CacheLock lock = lockcache(JSONFILE);
  if (cachefresh(JSONFILE, WallClock::now())) {
    lock.release();  // the waiters behind us need not queue for our read of the file
    return readcache(JSONFILE, need);
  }
  return readdocument(fetchdocument(port, deadline), need);
}

int main(int argc, char** argv) {
  // A reader that goes away must not end the run by a signal: the status has to stay honest.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    Args args = parsecommandline(std::vector<std::string>(argv + 1, argv + argc),
                                 argc > 0 ? argv[0] : "corvane", helpwidth());
    std::string port = settleport(args);
    Reading reading = obtain(port, readsof(args));
    endrun(answerquery(args, reading));
  } catch (const Ending& ending) {
    endrun(ending);
  } catch (const std::bad_alloc&) {
    endrun(unhandled("out of memory"));
  } catch (const std::exception& e) {
    endrun(unhandled(e.what()));
  }
}
