// The pieces of one HTTP exchange that async_call_api and Client share: the deadlines of an
// attempt, a connection (plain or TLS) that sends a request (request.hpp) and reads its reply,
// and the decoding of that reply.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>
#include <nlohmann/json.hpp>

#include "quellin/internal/request.hpp"
#include "quellin/quellin.hpp"

namespace quellin::internal {

using Clock = std::chrono::steady_clock;

/// The points in time by which each step of one attempt must be done.
class Deadlines {
 public:
  explicit Deadlines(const ClientTimeout& timeout);

  Clock::time_point connect() const { return connect_; }
  Clock::time_point connect_attempt() const;
  Clock::time_point read() const;
  Clock::time_point total() const { return total_; }

 private:
  ClientTimeout timeout_;
  Clock::time_point total_;
  Clock::time_point connect_;
};

/// A whole reply as read, before its status is judged.
struct Reply {
  unsigned status = 0;
  std::string reason;
  std::string body;
  std::string retry_after;     // the Retry-After field, empty when absent
  std::string retry_after_ms;  // the retry-after-ms field, empty when absent
};

/// The reply as an HttpError, with the secrets replaced; `note` ends its message.
HttpError http_error(const Reply& reply, const Secrets& secrets, std::string note = {});

/// The body of a 2xx reply decoded as JSON (ValueError when it is not JSON or nests too
/// deep); any other status is an HttpError.
Json json_body(const Reply& reply, const Secrets& secrets);

/// The body of a 2xx reply as received; any other status is an HttpError.
std::string text_body(Reply&& reply, const Secrets& secrets);

/// A TransportError, or TimeoutError for a timeout, without the library source location
/// that Asio attaches to the code.
[[noreturn]] void throw_transport(const boost::system::error_code& ec, const std::string& what);

/// Awaits `op`. A cancellation that arrives between two steps ends the call at the next
/// co_await as Asio's own system_error; it is rethrown as the transport's, naming `where`
/// (host:port).
template <class T>
boost::asio::awaitable<T> transport_errors(boost::asio::awaitable<T> op, std::string where) {
  try {
    co_return co_await std::move(op);
  } catch (const TransportError&) {
    throw;
  } catch (const boost::system::system_error& e) {
    throw_transport(e.code(), "quellin: exchange with " + where);
  }
}

/// Decodes `bytes`, a whole reply after which the connection closed, as a Connection reads.
Reply parse_whole_reply(std::string_view bytes);

/// The TLS context of a client: TLS 1.2 or later, the system trust store, peer verification.
boost::asio::ssl::context tls_context();

/// One connection to a target, plain or TLS, that carries one exchange after another.
class Connection {
 public:
  /// Resolves, connects and (with `tls`) shakes hands within the connect limits; the socket
  /// belongs to `executor`. `tls` must outlive the connection; null for http.
  static boost::asio::awaitable<std::unique_ptr<Connection>> open(
      boost::asio::any_io_executor executor, const Target& target, boost::asio::ssl::context* tls,
      const Deadlines& deadlines);

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  /// Writes `request` and reads its whole reply, each read within sock_read, all within
  /// total. Throws TransportError or TimeoutError.
  boost::asio::awaitable<Reply> exchange(const Request& request, const Target& target,
                                         const Deadlines& deadlines);

  /// Bytes read during the last exchange, including one that failed.
  std::size_t received() const { return received_; }
  /// The last reply left the connection fit for another request: kept alive, nothing more
  /// sent after it.
  bool reusable() const { return reusable_; }

 private:
  Connection() = default;

  template <class Stream>
  boost::asio::awaitable<Reply> exchange_on(Stream& stream, const Request& request,
                                            const Target& target, const Deadlines& deadlines);

  // One of the two is set.
  std::optional<boost::beast::tcp_stream> plain_;
  std::optional<boost::beast::ssl_stream<boost::beast::tcp_stream>> tls_;
  boost::beast::flat_buffer buffer_;
  std::size_t received_ = 0;
  bool reusable_ = false;
};

}  // namespace quellin::internal
