// The pieces of one HTTP exchange that async_call_api and Client share: the deadlines of an
// attempt, a connection (plain or TLS) that sends a request (request.hpp), its body from
// memory or a file, and reads its reply, its body to memory or elsewhere (BodySink), and the
// decoding of that reply.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
  std::string body;  // empty when a sink took it elsewhere
  std::vector<HeaderField> fields;
};

/// Where the body of a final reply goes. This one keeps it in memory for the Reply, within
/// kBodyLimit; a derived sink may send some replies' bodies elsewhere (a download's file).
class BodySink {
 public:
  BodySink() = default;
  BodySink(const BodySink&) = delete;
  BodySink& operator=(const BodySink&) = delete;
  virtual ~BodySink() = default;

  /// A new exchange starts: whatever an earlier one left is dropped.
  virtual void clear() { text_.clear(); }
  /// The body of the final reply, of `status`, starts; `length` when the reply gives it. A
  /// reply without a body (204, 304, Content-Length: 0) has no call.
  virtual void begin(unsigned status, std::optional<std::uint64_t> length,
                     boost::system::error_code& ec);
  virtual void write(std::string_view bytes, boost::system::error_code& ec);
  /// What a TransportError for a body over the limit says.
  virtual std::string over_limit() const;
  /// The body kept in memory, taken out.
  std::string take_text() { return std::move(text_); }

  /// An error of the sink's own (a file that cannot be written), which a reply that ends
  /// with an error code rethrows instead.
  std::exception_ptr failure;

 private:
  std::string text_;
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

/// The value of the first of `fields` named `name`, the case of letters ignored.
std::optional<std::string_view> find_field(const std::vector<HeaderField>& fields,
                                           std::string_view name);

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

  /// Writes `request` and reads its whole reply, its body going to `sink`, each read within
  /// sock_read, all within total. Throws TransportError or TimeoutError; a request's file
  /// that cannot be read, its filesystem_error.
  boost::asio::awaitable<Reply> exchange(const Request& request, const Target& target,
                                         const Deadlines& deadlines, BodySink& sink);

  /// Bytes read during the last exchange, including one that failed.
  std::size_t received() const { return received_; }
  /// The last reply left the connection fit for another request: kept alive, nothing more
  /// sent after it.
  bool reusable() const { return reusable_; }

 private:
  Connection() = default;

  template <class Stream>
  boost::asio::awaitable<Reply> exchange_on(Stream& stream, const Request& request,
                                            const Target& target, const Deadlines& deadlines,
                                            BodySink& sink);

  // One of the two is set.
  std::optional<boost::beast::tcp_stream> plain_;
  std::optional<boost::beast::ssl_stream<boost::beast::tcp_stream>> tls_;
  boost::beast::flat_buffer buffer_;
  std::size_t received_ = 0;
  bool reusable_ = false;
};

}  // namespace quellin::internal
