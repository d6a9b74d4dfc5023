#include "httpclient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/ending.h"
#include "testsupport/replay.h"

using namespace corvane;
using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

bool sendall(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

/// Blocks until the client closes its end, as a server that keeps the connection open does.
void waitclose(int fd) {
  char scrap[4096];
  while (::recv(fd, scrap, sizeof scrap, 0) > 0) {
  }
}

using Script = std::function<void(int fd)>;

/// Sends `bytes` and keeps the connection open afterwards, as named does.
Script answer(std::string bytes) {
  return [bytes](int fd) {
    sendall(fd, bytes);
    waitclose(fd);
  };
}

/// Sends `bytes` and closes.
Script answerclose(std::string bytes) {
  return [bytes](int fd) { sendall(fd, bytes); };
}

/// Sends `bytes`, then resets the connection.
Script answerreset(std::string bytes) {
  return [bytes](int fd) {
    sendall(fd, bytes);
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  };
}

/// Sends `bytes` one at a time, a pause apart, until the client goes away.
Script drip(std::string bytes) {
  return [bytes](int fd) {
    for (char c : bytes) {
      if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) return;
      std::this_thread::sleep_for(20ms);
    }
    waitclose(fd);
  };
}

/// A server on 127.0.0.1 that reads each request and plays a script on the connection.
class Loopback {
 public:
  explicit Loopback(Script script, int wanted = 0) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(wanted));
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_, 8) != 0) {
      ::close(listener_);
      listener_ = -1;
      return;
    }
    socklen_t len = sizeof a;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port = std::to_string(ntohs(a.sin_port));
    thread_ = std::thread([this] { run(); });
  }

  ~Loopback() {
    if (listener_ < 0) return;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }

  bool listening() const { return listener_ >= 0; }

  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
  }

  std::string port;
  std::atomic<int> connections{0};

 private:
  void run() {
    for (;;) {
      int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      ++connections;
      std::string request;
      char piece[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = ::recv(fd, piece, sizeof piece, 0);
        if (n <= 0) break;
        request.append(piece, static_cast<size_t>(n));
      }
      {
        std::lock_guard<std::mutex> hold(lock_);
        requests_.push_back(request);
      }
      script_(fd);
      ::close(fd);
    }
  }

  Script script_;
  int listener_ = -1;
  std::thread thread_;
  std::mutex lock_;
  std::vector<std::string> requests_;
};

/// A port on which nothing listens (bound, then released).
std::string freeport() {
  Loopback gone(answerclose(""));
  return gone.port;
}

FetchLimits quick() {
  FetchLimits limits;
  limits.connect = 2000ms;
  limits.exchange = 3000ms;
  return limits;
}

std::string ok(const std::string& head, const std::string& body) {
  return "HTTP/1.1 200 OK\r\n" + head + "\r\n" + body;
}

/// `message` with its @ made the server's name.
std::string at(std::string message, const std::string& port) {
  return message.replace(message.find('@'), 1, "localhost:" + port);
}

std::string failuretext(const std::string& port, const FetchLimits& limits) {
  try {
    fetchstatistics(port, limits);
  } catch (const Failure& f) {
    return f.what();
  }
  return "(no failure)";
}

TEST(FetchStatistics, SendsExactlyTheRequestWithTheDecimalPort) {
  Loopback server(answer(ok("Content-Length: 2\r\n", "<a")));
  for (const std::string& text : {server.port, "0" + server.port, "000" + server.port}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(fetchstatistics(text, quick()), "<a");
  }
  std::string expected = "GET / HTTP/1.1\r\nHost: localhost:" + server.port +
                         "\r\nAccept-Encoding: identity\r\n\r\n";
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const auto& r : requests) EXPECT_EQ(r, expected);
}

TEST(FetchStatistics, LeavesTheStandardPortOutOfTheHost) {
  Loopback server(answer(ok("Content-Length: 0\r\n", "")), 80);
  if (!server.listening()) GTEST_SKIP() << "port 80 is not available here";
  EXPECT_EQ(fetchstatistics("080", quick()), "");
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0],
            "GET / HTTP/1.1\r\nHost: localhost\r\nAccept-Encoding: identity\r\n\r\n");
}

TEST(FetchStatistics, ReturnsTheBodyBytesOfEveryDelimiting) {
  std::string large(3 << 20, 'x');
  for (size_t i = 0; i < large.size(); i += 4099) large[i] = static_cast<char>(i);
  std::string binary = "\0\xff\r\n<\xc3\xa9>\r\n\r\n"s;
  struct Case {
    const char* name;
    Script script;
    std::string body;
  } cases[] = {
      {"length, kept open", answer(ok("Content-Length: 5\r\n", "<x/>\n")), "<x/>\n"},
      {"length, bytes beyond it ignored", answer(ok("Content-Length: 3\r\n", "abcdef")), "abc"},
      {"length, binary",
       answer(ok("Content-Length: " + std::to_string(binary.size()) + "\r\n", binary)), binary},
      {"length, empty", answer(ok("Content-Length: 0\r\n", "")), ""},
      {"length, large", answer(ok("Content-Length: " + std::to_string(large.size()) + "\r\n",
                                  large)),
       large},
      {"chunked, kept open",
       answer(ok("Transfer-Encoding: chunked\r\n", "3\r\n<x/\r\n2;ext=1\r\n>\n\r\n0\r\n\r\n")),
       "<x/>\n"},
      {"chunked, trailer", answer(ok("Transfer-Encoding: chunked\r\n",
                                     "A\r\n0123456789\r\n0\r\nX-Trailer: 1\r\n\r\n")),
       "0123456789"},
      {"chunked, empty", answer(ok("Transfer-Encoding: chunked\r\n", "0\r\n\r\n")), ""},
      {"until close", answerclose(ok("", "<x/>\n")), "<x/>\n"},
      {"until close, binary", answerclose(ok("", binary)), binary},
      {"until close, empty", answerclose(ok("", "")), ""},
      {"until close, HTTP/1.0", answerclose("HTTP/1.0 200 OK\r\n\r\nold"), "old"},
      {"after interim 100",
       answer("HTTP/1.1 100 Continue\r\n\r\n" + ok("Content-Length: 2\r\n", "ok")), "ok"},
      {"after two interim 100s",
       answer("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 100 Continue\r\nX: y\r\n\r\n" +
              ok("Content-Length: 2\r\n", "ok")),
       "ok"},
      {"reason phrase and fields ignored",
       answer("HTTP/1.1 200 Whatever\r\nContent-Type: text/html; charset=latin1\r\n"
              "Content-Encoding: gzip\r\nContent-Length: 2\r\n\r\nok"),
       "ok"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    Loopback server(c.script);
    std::string body;
    try {
      body = fetchstatistics(server.port, quick());
    } catch (const Failure& f) {
      ADD_FAILURE() << f.what();
    }
    EXPECT_EQ(body.size(), c.body.size());
    EXPECT_TRUE(body == c.body);
    EXPECT_EQ(server.connections, 1);
  }
}

TEST(FetchStatistics, EndsWithHttpGetFailedOnAnyOtherStatus) {
  FetchLimits limits = quick();
  limits.body = 100;
  struct Case {
    const char* name;
    std::string answer;
  } cases[] = {
      {"204", "HTTP/1.1 204 No Content\r\n\r\n"},
      {"301", "HTTP/1.1 301 Moved Permanently\r\nLocation: http://localhost/x\r\n"
              "Content-Length: 0\r\n\r\n"},
      {"404", "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found"},
      {"500", "HTTP/1.1 500 Internal Server Error\r\nTransfer-Encoding: chunked\r\n\r\n"},
      {"201", "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n"},
      {"103", "HTTP/1.1 103 Early Hints\r\n\r\n"},
      {"100 then 404", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 404 Not Found\r\n\r\n"},
      // The body is never read: neither its absence nor its size matters.
      {"body never sent", "HTTP/1.1 503 Busy\r\nContent-Length: 1000\r\n\r\n"},
      {"body over the bound", "HTTP/1.1 500 Error\r\nContent-Length: 99999999999\r\n\r\n"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    Loopback server(answer(c.answer));
    auto started = std::chrono::steady_clock::now();
    try {
      fetchstatistics(server.port, limits);
      ADD_FAILURE() << "no ending";
    } catch (const Ending& e) {
      EXPECT_EQ(e.status, EXIT_NOANSWER);
      EXPECT_EQ(e.out, "HTTP GET Failed\n");
      EXPECT_EQ(e.err, "");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
  }
}

TEST(FetchStatistics, RefusesPortTextsThatAreNotDecimalNumbersWithoutConnecting) {
  Loopback server(answer(ok("Content-Length: 0\r\n", "")));
  const std::string& p = server.port;
  struct Case {
    std::string text, shown;
  } cases[] = {
      {"abc", "abc"},         {"", ""},
      {"-" + p, "-" + p},     {"+" + p, "+" + p},
      {" " + p, " " + p},     {p + " ", p + " "},
      {p + "x", p + "x"},     {"0x1f", "0x1f"},
      {p + ".0", p + ".0"},   {"\xd9\xa1\xd9\xa2", "\\xd9\\xa1\\xd9\\xa2"},
      {p + "\n", p + "\\x0a"}, {"a\\b", "a\\x5cb"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(failuretext(c.text, quick()), "the port \"" + c.shown + "\" is not a decimal number");
  }
  for (std::string text : {"0", "0000", "65536", "99999", "18446744073709559999999"}) {
    SCOPED_TRACE(text);
    std::string number = text.find_first_not_of('0') == std::string::npos
                             ? "0"
                             : text.substr(text.find_first_not_of('0'));
    EXPECT_EQ(failuretext(text, quick()),
              "cannot connect to localhost:" + number + ": not a TCP port (1 to 65535)");
  }
  EXPECT_EQ(server.connections, 0);
}

TEST(FetchStatistics, ReportsARefusedConnectionWithTheLastAddress) {
  std::string port = freeport();
  std::string text = failuretext("0" + port, quick());
  EXPECT_EQ(text.rfind("cannot connect to localhost:" + port + " (", 0), 0u) << text;
  EXPECT_NE(text.find("refused"), std::string::npos) << text;
}

TEST(FetchStatistics, FailsOnMalformedOrCutOffAnswers) {
  FetchLimits limits = quick();
  limits.body = 1000;
  limits.header = 1024;
  std::string big(2000, 'b');
  struct Case {
    const char* name;
    Script script;
    std::string message;  // after "localhost:PORT" is put in for @
  } cases[] = {
      {"closed at once", answerclose(""), "@ closed the connection without an answer"},
      {"reset at once", answerreset(""), "cannot read the answer from @: "},
      {"closed in the status line", answerclose("HTTP/1.1 20"), "the answer from @ was cut off"},
      {"closed in the header", answerclose("HTTP/1.1 200 OK\r\nContent-Le"),
       "the answer from @ was cut off"},
      {"closed after the interim 100", answerclose("HTTP/1.1 100 Continue\r\n\r\n"),
       "@ closed the connection without an answer"},
      {"length body cut off", answerclose(ok("Content-Length: 10\r\n", "<abc")),
       "the answer from @ was cut off"},
      {"chunked body cut off in a chunk",
       answerclose(ok("Transfer-Encoding: chunked\r\n", "10\r\n<abc")),
       "the answer from @ was cut off"},
      {"chunked body without its last chunk",
       answerclose(ok("Transfer-Encoding: chunked\r\n", "4\r\n<abc\r\n")),
       "the answer from @ was cut off"},
      {"reset in the body", answerreset(ok("Content-Length: 10\r\n", "<abc")),
       "cannot read the answer from @: Connection reset by peer"},
      {"not HTTP", answer("SSH-2.0-OpenSSH_9.2\r\n\r\n"), "malformed answer from @: "},
      {"status without a code", answer("HTTP/1.1 OK\r\n\r\n"), "malformed answer from @: "},
      {"status of two digits", answer("HTTP/1.1 20 OK\r\n\r\n"), "malformed answer from @: "},
      {"HTTP/2.0", answer("HTTP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n"),
       "malformed answer from @: bad version"},
      {"bad content length", answer(ok("Content-Length: ten\r\n", "")),
       "malformed answer from @: "},
      {"bad chunk size", answer(ok("Transfer-Encoding: chunked\r\n", "zz\r\nab\r\n0\r\n\r\n")),
       "malformed answer from @: "},
      {"header over the bound", answer(ok("X-Big: " + big + "\r\n", "")),
       "the answer header from @ exceeds 1 KiB"},
      {"status line over the bound", answer("HTTP/1.1 200 " + big + "\r\n\r\n"),
       "the answer header from @ exceeds 1 KiB"},
      {"length body over the bound", answer(ok("Content-Length: 1001\r\n", big)),
       "the statistics from @ exceed 1000 bytes"},
      {"chunked body over the bound",
       answer(ok("Transfer-Encoding: chunked\r\n",
                 "200\r\n" + big.substr(0, 512) + "\r\n200\r\n" + big.substr(0, 512) + "\r\n")),
       "the statistics from @ exceed 1000 bytes"},
      {"body until close over the bound", answerclose(ok("", big)),
       "the statistics from @ exceed 1000 bytes"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    Loopback server(c.script);
    std::string expected = at(c.message, server.port);
    std::string text = failuretext(server.port, limits);
    EXPECT_EQ(text.substr(0, expected.size()), expected) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
  }
}

TEST(FetchStatistics, BoundsTheWholeExchange) {
  FetchLimits limits;
  limits.exchange = 400ms;
  struct Case {
    const char* name;
    Script script;
    std::string message;
  } cases[] = {
      {"never answers", waitclose, "no answer from @ within 400 ms"},
      {"drips the header", drip(ok("Content-Length: 2\r\n", "ok")),
       "the answer from @ was not complete within 400 ms"},
      {"drips the body", [](int fd) {
         sendall(fd, ok("Content-Length: 100\r\n", ""));
         drip(std::string(100, 'x'))(fd);
       },
       "the answer from @ was not complete within 400 ms"},
      {"sends interim answers forever", [](int fd) {
         while (sendall(fd, "HTTP/1.1 100 Continue\r\n\r\n")) std::this_thread::sleep_for(5ms);
       },
       "no answer from @ within 400 ms"},
      {"neither length nor close", answer(ok("", "<x/>")),
       "the answer from @ was not complete within 400 ms"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    Loopback server(c.script);
    std::string expected = at(c.message, server.port);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(failuretext(server.port, limits), expected);
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, 400ms);
    EXPECT_LT(took, 1500ms);
  }
}

// What readstatistics made of an answer, as one text: the body, the ending or the failure.
std::string outcome(const std::string& answer, const FetchLimits& limits, size_t piece) {
  try {
    return "body " + readstatistics(answer, "localhost:1", limits, piece);
  } catch (const Ending& e) {
    return "ending " + std::to_string(e.status) + " " + e.out + e.err;
  } catch (const Failure& f) {
    return "failure " + std::string(f.what());
  }
}

TEST(ReadStatistics, GivesTheSameOutcomeHoweverTheAnswerIsSplit) {
  FetchLimits limits;
  limits.body = 1000;
  limits.header = 1024;
  std::string big(2000, 'b');
  struct Case {
    const char* name;
    std::string answer;
    std::string outcome;
  } cases[] = {
      {"length", ok("Content-Length: 5\r\n", "<x/>\nmore"), "body <x/>\n"},
      {"chunked", ok("Transfer-Encoding: chunked\r\n", "3\r\n<x/\r\n2;e=1\r\n>\n\r\n0\r\n\r\n"),
       "body <x/>\n"},
      {"until close", ok("", "<x/>\n"), "body <x/>\n"},
      {"after interim 100", "HTTP/1.1 100 Continue\r\n\r\n" + ok("Content-Length: 2\r\n", "ok"),
       "body ok"},
      {"404", "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found",
       "ending 1 HTTP GET Failed\n"},
      {"nothing", "", "failure localhost:1 closed the connection without an answer"},
      {"cut in the header", "HTTP/1.1 200 OK\r\nContent-Le",
       "failure the answer from localhost:1 was cut off"},
      {"chunk cut off", ok("Transfer-Encoding: chunked\r\n", "10\r\n<abc"),
       "failure the answer from localhost:1 was cut off"},
      {"header over the bound", ok("X-Big: " + big + "\r\n", ""),
       "failure the answer header from localhost:1 exceeds 1 KiB"},
      {"status line and fields within the bound each, not together",
       "HTTP/1.1 200 " + big.substr(0, 600) + "\r\nX-Big: " + big.substr(0, 600) +
           "\r\nContent-Length: 2\r\n\r\nok",
       "failure the answer header from localhost:1 exceeds 1 KiB"},
      {"header at the bound", "HTTP/1.1 200 OK\r\nX: " + big.substr(0, 1024 - 43) +
           "\r\nContent-Length: 2\r\n\r\nok",
       "body ok"},
      {"length over the bound", ok("Content-Length: 1001\r\n", ""),
       "failure the statistics from localhost:1 exceed 1000 bytes"},
      {"body until close over the bound", ok("", big),
       "failure the statistics from localhost:1 exceed 1000 bytes"},
  };
  for (auto& c : cases) {
    for (size_t piece : {1, 7, 65536}) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      EXPECT_EQ(outcome(c.answer, limits, piece), c.outcome);
    }
  }
}

// The run's bounds fit together as bounds.h asserts, at whatever point of the run it fetches.
TEST(FetchStatistics, LimitsLeaveTheTimeForWhatFollowsTheBody) {
  struct Case {
    std::chrono::milliseconds left;     // of the run when it fetches
    std::chrono::milliseconds exchange;  // what the fetch gets
  } cases[] = {
      {RUNLIMIT, EXCHANGELIMIT},
      {RUNLIMIT - 300ms, EXCHANGELIMIT},  // the freshness test and the lock, not the exchange
      {RUNLIMIT - 20s, RUNLIMIT - 20s - AFTERBODY},  // after a wait for another run's fetch
      {AFTERBODY + 1500ms, 1500ms},
      {AFTERBODY, 1ms},
      {0ms, 1ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.left.count());
    FetchLimits limits = limitsuntil(std::chrono::steady_clock::now() + c.left + 50ms);
    EXPECT_NEAR(limits.exchange.count(), c.exchange.count(), 60);
    EXPECT_LE(limits.connect, limits.exchange);
    EXPECT_LE(limits.connect, CONNECTLIMIT);
    EXPECT_EQ(limits.body, MAXBODYBYTES);
  }
}

TEST(FetchStatistics, HandsTheBodyOnInPiecesAndStopsWhenTheSinkThrows) {
  std::string body(3 << 20, 'b');
  Loopback server(answer(ok("Content-Length: " + std::to_string(body.size()) + "\r\n", body)));
  std::string got;
  size_t pieces = 0;
  fetchstatistics(server.port, quick(), [&](std::string_view piece) {
    got.append(piece);
    ++pieces;
  });
  EXPECT_TRUE(got == body);
  EXPECT_GT(pieces, 3u);
  size_t seen = 0;
  try {
    fetchstatistics(server.port, quick(), [&](std::string_view piece) {
      seen += piece.size();
      if (seen > (1 << 20)) throw Failure("enough");
    });
    ADD_FAILURE() << "no failure";
  } catch (const Failure& f) {
    EXPECT_STREQ(f.what(), "enough");
  }
  EXPECT_LT(seen, body.size());
}

}  // namespace
