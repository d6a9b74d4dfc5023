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
#include "endrun.h"

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

/// The port text as the decimal digits of its number: leading zeros dropped, never converted
/// to a machine integer, so that no text of digits can wrap around into a valid port.
std::optional<std::string> decimalport(const std::string& text) {
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) {
        return c >= '0' && c <= '9';
      }))
    return std::nullopt;
  size_t first = text.find_first_not_of('0');
  return first == std::string::npos ? "0" : text.substr(first);
}

}  // namespace

FetchLimits limitsuntil(Clock::time_point deadline) {
  FetchLimits limits;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  left = std::max(left, std::chrono::milliseconds{1});
  limits.connect = std::min(limits.connect, left);
  limits.exchange = std::min(limits.exchange, left);
  return limits;
}

std::string fetchstatistics(const std::string& port, const FetchLimits& limits) {
  // The body, the tree and the document come and go in this order: memory that one gives
  // back is best taken by the next from the heap, not handed back to the system and faulted
  // in afresh, which costs more than the parse. glibc's defaults map large blocks of their
  // own and give them back as soon as they are freed.
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  std::optional<std::string> decimal = decimalport(port);
  if (!decimal) {
    std::string shown;
    escape(port, Shown::BYTES, shown);
    throw Failure("the port \"" + shown + "\" is not a decimal number");
  }
  const std::string where = std::string(HOST) + ":" + *decimal;
  unsigned number = decimal->size() <= 5 ? static_cast<unsigned>(std::stoul(*decimal)) : 0;
  if (number == 0 || number > 65535)
    throw Failure("cannot connect to " + where + ": not a TCP port (1 to 65535)");

  const Clock::time_point deadline = Clock::now() + limits.exchange;
  const std::string late = "no answer from " + where + " within " + duration(limits.exchange);
  net::io_context io{1};

  // Every family and no AI_ADDRCONFIG: a host whose only interface is the loopback still has
  // both ::1 and 127.0.0.1, and the server may listen on either.
  beast::error_code ec;
  tcp::resolver resolver(io);
  auto found = resolver.resolve(HOST, *decimal, tcp::resolver::numeric_service, ec);
  if (ec) throw Failure("cannot resolve " + std::string(HOST) + ": " + ec.message());
  if (found.empty()) throw Failure("cannot resolve " + std::string(HOST) + ": no address");

  beast::tcp_stream stream(io);
  std::string lasterror;
  bool connected = false;
  for (const auto& entry : found) {
    tcp::endpoint peer = entry.endpoint();
    if (Clock::now() >= deadline) throw Failure(late);
    stream.close();  // a failed attempt leaves the socket open in the previous address's family
    auto cutoff = std::min(deadline, Clock::now() + limits.connect);
    stream.expires_at(cutoff);
    ec = finish(io, [&](auto done) { stream.async_connect(peer, std::move(done)); });
    if (!ec) {
      connected = true;
      break;
    }
    if (ec == beast::error::timeout) {
      if (cutoff == deadline) throw Failure(late);
      lasterror = "no connection within " + duration(limits.connect);
    } else {
      lasterror = ec.message();
    }
    lasterror = "cannot connect to " + where + " (" + address(peer) + "): " + lasterror;
  }
  if (!connected) throw Failure(lasterror);
  stream.expires_at(deadline);

  // Exactly these fields: the server's answer depends on nothing else, and a compressed body
  // could not be parsed.
  http::request<http::empty_body> request{http::verb::get, "/", 11};
  request.set(http::field::host, number == 80 ? std::string(HOST) : where);
  request.set(http::field::accept_encoding, "identity");
  ec = finish(io, [&](auto done) { http::async_write(stream, request, std::move(done)); });
  if (ec == beast::error::timeout) throw Failure(late);
  if (ec) throw Failure("cannot send the request to " + where + ": " + ec.message());

  std::string body = readanswer(io, stream, where, limits);
  stream.socket().shutdown(tcp::socket::shutdown_both, ec);
  return body;
}

}  // namespace corvane
