#include "httpclient.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include "endrun.h"

namespace corvane {

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

const char HOST[] = "localhost";

std::string duration(std::chrono::milliseconds d) {
  auto ms = d.count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

std::string size(size_t bytes) {
  if (bytes > 0 && bytes % (size_t{1} << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  if (bytes > 0 && bytes % (size_t{1} << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

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

// Asio's synchronous calls take no deadline; its asynchronous ones on a tcp_stream do. Running
// each to its end before starting the next keeps the exchange a plain sequence of steps.
template <class Start>
beast::error_code finish(net::io_context& io, Start start, size_t* transferred = nullptr) {
  beast::error_code result = net::error::would_block;
  start([&result, transferred](beast::error_code ec, auto... bytes) {
    result = ec;
    if constexpr (sizeof...(bytes) == 1)
      if (transferred) *transferred = (bytes, ...);
  });
  io.restart();
  io.run();
  return result;
}

// The answer to the request already sent on `stream`: the body of a 200, after any interim
// 100s. Bounds the header and the body; the stream bounds the time.
template <class Stream>
std::string readanswer(net::io_context& io, Stream& stream, const std::string& where,
                       const FetchLimits& limits) {
  auto readfailure = [&](beast::error_code why, bool answered) {
    if (why == beast::error::timeout)
      return Failure((answered ? "the answer from " + where + " was not complete"
                               : "no answer from " + where) +
                     " within " + duration(limits.exchange));
    if (why == http::error::end_of_stream)
      return Failure(where + " closed the connection without an answer");
    if (why == http::error::partial_message)
      return Failure("the answer from " + where + " was cut off");
    if (why == http::error::header_limit)
      return Failure("the answer header from " + where + " exceeds " + size(limits.header));
    if (why == http::error::body_limit)
      return Failure("the statistics from " + where + " exceed " + size(limits.body));
    if (why.category() == http::make_error_code(http::error::bad_version).category())
      return Failure("malformed answer from " + where + ": " + why.message());
    return Failure("cannot read the answer from " + where + ": " + why.message());
  };

  // Beast reads no more than the buffer's free room at a time, and the parser empties it: a
  // buffer left at its first 512 bytes would take a read call per 512 bytes of the body.
  beast::flat_buffer buffer;
  buffer.reserve(65536);
  beast::error_code ec;
  std::optional<http::response_parser<http::string_body>> parser;
  do {
    parser.emplace();
    parser->header_limit(static_cast<std::uint32_t>(std::min<size_t>(limits.header, UINT32_MAX)));
    // The body bound is applied once the status is known: a refusal may announce any length.
    parser->body_limit(std::numeric_limits<std::uint64_t>::max());
    size_t headerbytes = 0;
    ec = finish(
        io,
        [&](auto done) { http::async_read_header(stream, buffer, *parser, std::move(done)); },
        &headerbytes);
    if (ec) throw readfailure(ec, buffer.size() > 0);
    // Beast holds the status line and the fields to the limit each when they arrive in one
    // read, and together when they arrive in pieces: the bound must not depend on the network.
    if (headerbytes > limits.header) throw readfailure(http::error::header_limit, true);
  } while (parser->get().result_int() == 100);

  if (parser->get().result_int() != 200) throw Ending{EXIT_NOANSWER, "HTTP GET Failed\n", ""};

  if (auto length = parser->content_length(); length && *length > limits.body)
    throw readfailure(http::error::body_limit, true);
  parser->body_limit(limits.body);
  ec = finish(io, [&](auto done) { http::async_read(stream, buffer, *parser, std::move(done)); });
  if (ec) throw readfailure(ec, true);
  return parser->release().body();
}

// A server's side of an exchange held in memory: at most `piece` bytes per read, as a network
// may split them, then the end of the stream.
class Replay {
 public:
  using executor_type = net::io_context::executor_type;

  Replay(net::io_context& io, std::string_view bytes, size_t piece)
      : io_(io), rest_(bytes), piece_(std::max<size_t>(piece, 1)) {}

  executor_type get_executor() { return io_.get_executor(); }

  template <class Buffers, class Token>
  auto async_read_some(const Buffers& buffers, Token&& token) {
    return net::async_initiate<Token, void(beast::error_code, size_t)>(
        [this](auto handler, const Buffers& into) {
          size_t n = net::buffer_copy(into, net::buffer(rest_.data(), std::min(rest_.size(), piece_)));
          rest_.remove_prefix(n);
          beast::error_code ec;
          if (n == 0 && net::buffer_size(into) > 0) ec = net::error::eof;
          net::post(io_, beast::bind_front_handler(std::move(handler), ec, n));
        },
        token, buffers);
  }

 private:
  net::io_context& io_;
  std::string_view rest_;
  size_t piece_;
};

}  // namespace

std::string fetchstatistics(const std::string& port, const FetchLimits& limits) {
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

std::string readstatistics(std::string_view answer, const std::string& where,
                           const FetchLimits& limits, size_t piece) {
  net::io_context io{1};
  Replay stream(io, answer, piece);
  return readanswer(io, stream, where, limits);
}

}  // namespace corvane
