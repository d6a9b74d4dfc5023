#include "testsupport/replay.h"

// GCC with the sanitizers takes a boost::optional that Beast's parser returns empty for one
// that may be read uninitialized, where it inlines the parser for this stream alone.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <algorithm>
#include <utility>

#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/bind_handler.hpp>

#include "acquire/httpanswer.h"

namespace corvane {

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;

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

std::string readstatistics(std::string_view answer, const std::string& where,
                           const FetchLimits& limits, size_t piece) {
  net::io_context io{1};
  Replay stream(io, answer, piece);
  std::string body;
  exchange::readanswer(io, stream, where, limits, [&](std::string_view b) { body.append(b); });
  return body;
}

}  // namespace corvane
