// Reading the statistics channel's answer from a stream: interim answers, the status, and
// the bounds on header and body. The client reads it from its socket, the tests from bytes.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/core/buffers_range.hpp>
#include <boost/optional/optional.hpp>

#include "acquire/httpclient.h"
#include "base/ending.h"

namespace corvane::exchange {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

/// A bound as a diagnostic names it: "25 s", "1500 ms".
inline std::string duration(std::chrono::milliseconds d) {
  auto ms = d.count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

/// A size as a diagnostic names it: "1 GiB", "256 MiB", "8 KiB", "100 bytes".
inline std::string size(size_t bytes) {
  if (bytes > 0 && bytes % (size_t{1} << 30) == 0) return std::to_string(bytes >> 30) + " GiB";
  if (bytes > 0 && bytes % (size_t{1} << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  if (bytes > 0 && bytes % (size_t{1} << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

/// Runs one asynchronous operation to its end and gives its outcome (and the bytes it moved,
/// where it tells them). Asio's synchronous calls take no deadline; its asynchronous ones on a tcp_stream do. Running
/// each to its end before starting the next keeps the exchange a plain sequence of steps.
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

/// The failure that `why` means for the answer from `where`; `answered`: some of it came.
inline Failure readfailure(beast::error_code why, bool answered, const std::string& where,
                           const FetchLimits& limits) {
  if (why == beast::error::timeout)
    return Failure((answered ? "the answer from " + where + " was not complete"
                             : "no answer from " + where) +
                   " " + within(limits.exchange, EXCHANGELIMIT, limits));
  if (why == http::error::end_of_stream)
    return Failure(where + " closed the connection without an answer");
  if (why == http::error::partial_message) return Failure("the answer from " + where + " was cut off");
  if (why == http::error::header_limit)
    return Failure("the answer header from " + where + " exceeds " + size(limits.header));
  if (why == http::error::body_limit)
    return Failure("the statistics from " + where + " exceed " + size(limits.body));
  if (why.category() == http::make_error_code(http::error::bad_version).category())
    return Failure("malformed answer from " + where + ": " + why.message());
  return Failure("cannot read the answer from " + where + ": " + why.message());
}

/// A body handed on piece by piece as the parser decodes it, never held: Beast still delimits
/// it (length, chunks or close) and counts it against the body limit before each piece.
struct SinkBody {
  struct value_type {
    const BodySink* sink = nullptr;
    std::exception_ptr thrown;  // by the sink: nothing may unwind through the parser
  };

  class reader {
   public:
    template <bool isRequest, class Fields>
    reader(http::header<isRequest, Fields>&, value_type& body) : body_(body) {}

    void init(const boost::optional<std::uint64_t>&, beast::error_code& ec) { ec = {}; }

    template <class Buffers>
    size_t put(const Buffers& buffers, beast::error_code& ec) {
      ec = {};
      size_t n = 0;
      try {
        for (auto piece : beast::buffers_range_ref(buffers)) {
          (*body_.sink)(std::string_view(static_cast<const char*>(piece.data()), piece.size()));
          n += piece.size();
        }
      } catch (...) {
        body_.thrown = std::current_exception();
        ec = net::error::operation_aborted;
      }
      return n;
    }

    void finish(beast::error_code& ec) { ec = {}; }

   private:
    value_type& body_;
  };
};

/// The answer to the request already sent on `stream`: the body of a 200, after any interim
/// 100s, handed to `sink` as it arrives. Bounds the header and the body; the stream bounds the
/// time. `where` names the server in diagnostics; the outcomes are those of fetchstatistics,
/// and what the sink throws ends the read at once.
template <class Stream>
void readanswer(net::io_context& io, Stream& stream, const std::string& where,
                const FetchLimits& limits, const BodySink& sink) {
  // Beast reads no more than the buffer's free room at a time, and the parser empties it: a
  // buffer left at its first 512 bytes would take a read call per 512 bytes of the body.
  beast::flat_buffer buffer;
  buffer.reserve(65536);
  beast::error_code ec;
  std::optional<http::response_parser<SinkBody>> parser;
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
    if (ec) throw readfailure(ec, buffer.size() > 0, where, limits);
    // Beast holds the status line and the fields to the limit each when they arrive in one
    // read, and together when they arrive in pieces: the bound must not depend on the network.
    if (headerbytes > limits.header) throw readfailure(http::error::header_limit, true, where, limits);
  } while (parser->get().result_int() == 100);

  if (parser->get().result_int() != 200) throw Ending{EXIT_NOANSWER, "HTTP GET Failed\n", ""};

  if (auto length = parser->content_length(); length && *length > limits.body)
    throw readfailure(http::error::body_limit, true, where, limits);
  parser->body_limit(limits.body);
  SinkBody::value_type& body = parser->get().body();
  body.sink = &sink;
  ec = finish(io, [&](auto done) { http::async_read(stream, buffer, *parser, std::move(done)); });
  if (body.thrown) std::rethrow_exception(body.thrown);
  if (ec) throw readfailure(ec, true, where, limits);
}

}  // namespace corvane::exchange
