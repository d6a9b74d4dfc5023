#include "httpclient.h"

#include <algorithm>
#include <malloc.h>
#include <optional>
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/write.hpp>

#include "acquire/httpanswer.h"
#include "base/ending.h"
#include "base/escape.h"
#include "base/port.h"

namespace corvane {

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using exchange::duration;
using exchange::finish;
using exchange::readanswer;

const char HOST[] = "localhost";

std::string address(const tcp::endpoint& e) {
  std::string a = e.address().to_string();
  return e.address().is_v6() ? "[" + a + "]" : a;
}

/// The statistics channel that a port text names.
struct Channel {
  std::string decimal;  // the port's digits
  unsigned number = 0;
  std::string where;    // "localhost:8653", as diagnostics name it
};

Channel channelof(const std::string& port) {
  std::optional<std::string> decimal = decimalport(port);
  if (!decimal) throw Failure("the port \"" + bytewise(port) + "\" is not a decimal number");
  Channel channel{*decimal, tcpport(port).value_or(0), std::string(HOST) + ":" + *decimal};
  if (channel.number == 0)
    throw Failure("cannot connect to " + channel.where + ": not a TCP port (1 to 65535)");
  return channel;
}

/// Connects `stream` to the first address of localhost that takes the connection, each tried
/// once within the connect bound and all of them by `deadline`. Every family and no
/// AI_ADDRCONFIG: a host whose only interface is the loopback still has both ::1 and
/// 127.0.0.1, and the server may listen on either.
void connect(net::io_context& io, beast::tcp_stream& stream, const Channel& channel,
             const FetchLimits& limits, Clock::time_point deadline, const std::string& late) {
  beast::error_code ec;
  tcp::resolver resolver(io);
  auto found = resolver.resolve(HOST, channel.decimal, tcp::resolver::numeric_service, ec);
  if (ec) throw Failure("cannot resolve " + std::string(HOST) + ": " + ec.message());
  if (found.empty()) throw Failure("cannot resolve " + std::string(HOST) + ": no address");
  std::string lasterror;
  for (const auto& entry : found) {
    tcp::endpoint peer = entry.endpoint();
    if (Clock::now() >= deadline) throw Failure(late);
    stream.close();  // a failed attempt leaves the socket open in the previous address's family
    auto cutoff = std::min(deadline, Clock::now() + limits.connect);
    stream.expires_at(cutoff);
    ec = finish(io, [&](auto done) { stream.async_connect(peer, std::move(done)); });
    if (!ec) return;
    if (ec == beast::error::timeout) {
      if (cutoff == deadline) throw Failure(late);
      lasterror = "no connection " + within(limits.connect, CONNECTLIMIT, limits);
    } else {
      lasterror = ec.message();
    }
    lasterror = "cannot connect to " + channel.where + " (" + address(peer) + "): " + lasterror;
  }
  throw Failure(lasterror);
}

/// Sends GET / with exactly these fields: the server's answer depends on nothing else, and a
/// compressed body could not be parsed.
void request(net::io_context& io, beast::tcp_stream& stream, const Channel& channel,
             const std::string& late) {
  http::request<http::empty_body> get{http::verb::get, "/", 11};
  get.set(http::field::host, channel.number == 80 ? std::string(HOST) : channel.where);
  get.set(http::field::accept_encoding, "identity");
  beast::error_code ec = finish(io, [&](auto done) { http::async_write(stream, get, std::move(done)); });
  if (ec == beast::error::timeout) throw Failure(late);
  if (ec) throw Failure("cannot send the request to " + channel.where + ": " + ec.message());
}

}  // namespace

std::string channelname(const std::string& port) {
  std::optional<std::string> decimal = decimalport(port);
  return std::string(HOST) + ":" + (decimal ? *decimal : bytewise(port));
}

FetchLimits limitsuntil(Clock::time_point deadline) {
  FetchLimits limits;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  left -= AFTERBODY;
  // What the run spent before it fetched (the freshness test, the lock) comes out of AFTERBODY
  // while it is under a second: a run that fetches at once has the whole exchange.
  if (left < EXCHANGELIMIT && left > EXCHANGELIMIT - 1s) left = EXCHANGELIMIT;
  left = std::max(left, std::chrono::milliseconds{1});
  limits.cut = left < limits.exchange;
  limits.connect = std::min(limits.connect, left);
  limits.exchange = std::min(limits.exchange, left);
  return limits;
}

std::string within(std::chrono::milliseconds bound, std::chrono::milliseconds usual,
                   const FetchLimits& limits) {
  if (limits.cut && bound < usual) return "within the run's limit of " + duration(RUNLIMIT);
  return "within " + duration(bound);
}

void fetchstatistics(const std::string& port, const FetchLimits& limits, const BodySink& sink) {
  // The tree and the document grow while the body streams, and the document outlives the
  // tree: memory that one gives back is best taken by the next from the heap, not handed back
  // to the system and faulted in afresh, which costs more than the parse. glibc's defaults map
  // large blocks of their own and give them back as soon as they are freed.
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  const Channel channel = channelof(port);
  const Clock::time_point deadline = Clock::now() + limits.exchange;
  const std::string late = "no answer from " + channel.where + " " + within(limits.exchange, EXCHANGELIMIT, limits);
  net::io_context io{1};
  beast::tcp_stream stream(io);
  connect(io, stream, channel, limits, deadline, late);
  stream.expires_at(deadline);
  request(io, stream, channel, late);
  // The stream's timer cannot fire while a piece is being parsed: the clock is read between
  // pieces as well, so that no parse outlasts the exchange.
  readanswer(io, stream, channel.where, limits, [&](std::string_view piece) {
    if (Clock::now() >= deadline)
      throw exchange::readfailure(beast::error::timeout, true, channel.where, limits);
    sink(piece);
  });
  beast::error_code ec;
  stream.socket().shutdown(tcp::socket::shutdown_both, ec);
}

std::string fetchstatistics(const std::string& port, const FetchLimits& limits) {
  std::string body;
  fetchstatistics(port, limits, [&](std::string_view piece) { body.append(piece); });
  return body;
}

}  // namespace corvane
