// corvane: answers one question about a BIND 9 server's statistics per run.
//
// The run: read the command line, settle the port, answer from the cache file when it is fresh,
// otherwise fetch the XML statistics, reduce them to the document and cache it; then answer.

#include <algorithm>
#include <chrono>
#include <csignal>
#include <exception>
#include <malloc.h>
#include <new>
#include <string>
#include <vector>

#include "acquire/extract.h"
#include "acquire/httpclient.h"
#include "acquire/schema.h"
#include "answer.h"
#include "commandline.h"
#include "endrun.h"
#include "store/cache.h"
#include "store/document.h"

using namespace corvane;
using Clock = std::chrono::steady_clock;

// The agent's item timeout: every wait of one run, for the lock and for the server, fits in it.
constexpr std::chrono::seconds RUNLIMIT{30};

static Document fetchdocument(const std::string& port, Clock::time_point deadline) {
  FetchLimits limits;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  left = std::max(left, std::chrono::milliseconds{1});
  limits.connect = std::min(limits.connect, left);
  limits.exchange = std::min(limits.exchange, left);
  // The body, the tree and the document come and go in this order: memory that one gives
  // back is best taken by the next from the heap, not handed back to the system and faulted
  // in afresh, which costs more than the parse. glibc's defaults map large blocks of their
  // own and give them back as soon as they are freed.
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  Document doc;
  {
    // The body, then the tree, are the largest things a run holds: each goes as soon as the
    // next step has what it needs. (Assigning an empty string would keep the body's memory.)
    Detected found = detectversion(fetchstatistics(port, limits));
    doc = newdocument();
    if (found.version == 2) extractversion2(found.tree, found.root, doc);
    if (found.version == 3) extractversion3(found.tree, found.root, doc);
  }
  writecache(JSONFILE, doc);
  return doc;
}

// A fresh cache file answers, and of it only what the answer looks at is built. Otherwise one
// run fetches while the others wait for the file it writes; a lock that cannot be had costs a
// fetch, never an answer.
static Document obtaindocument(const std::string& port, const Need& need) {
  Clock::time_point deadline = Clock::now() + RUNLIMIT;
  if (cachefresh(JSONFILE, wallclock())) return readcache(JSONFILE, need);
  CacheLock lock = lockcache(JSONFILE, LOCKWAIT);
  if (cachefresh(JSONFILE, wallclock())) {
    lock.release();  // the waiters behind us need not queue for our read of the file
    return readcache(JSONFILE, need);
  }
  return fetchdocument(port, deadline);
}

int main(int argc, char** argv) {
  // A reader that goes away must not end the run by a signal: the status has to stay honest.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    Args args = parsecommandline(std::vector<std::string>(argv + 1, argv + argc),
                                 argc > 0 ? argv[0] : "corvane", helpwidth());
    std::string port = settleport(args);
    Document doc = obtaindocument(port, needof(args));
    endrun(answerquery(args, doc));
  } catch (const Ending& ending) {
    endrun(ending);
  } catch (const std::bad_alloc&) {
    endrun(unhandled("out of memory"));
  } catch (const std::exception& e) {
    endrun(unhandled(e.what()));
  }
}
