#include "quellin/internal/exchange.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "tavrin/core/internal/value_limits.hpp"

namespace quellin::internal {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;

namespace {

constexpr std::size_t kNotJsonBytes = 200;
constexpr std::size_t kHeaderLimit = 64 * 1024;
constexpr std::size_t kReadChunk = 16 * 1024;
// How deep a reply body may nest arrays and objects: the limit of tavrin's own parsers, so
// that a reply the transport accepts is one json_loads and repr can take.
constexpr std::size_t kMaxDepth = tavrin::core::internal::kMaxValueDepth;
constexpr auto kAwait = asio::as_tuple(asio::use_awaitable);

// now + limit, saturated so that a huge limit means "no limit" instead of an overflow.
Clock::time_point after(std::chrono::milliseconds limit) {
  constexpr auto kForever = std::chrono::hours(24 * 365 * 100);
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                            std::clamp<std::chrono::milliseconds>(limit, -kForever, kForever));
}

[[noreturn]] void fail(const ErrorCode& ec, const std::string& step, const Target& target) {
  throw_transport(ec, "quellin: " + step + " " + target.where());
}

using ReplyParser = http::response_parser<http::string_body>;

// An interim reply (100 Continue, 103 Early Hints) comes before the final reply to the same
// request and is read past (RFC 9110, 15.2). 101 is final: it ends the exchange.
bool interim(unsigned status) { return status >= 100 && status <= 199 && status != 101; }

void configure(ReplyParser& parser) {
  parser.header_limit(kHeaderLimit);
  parser.body_limit(kBodyLimit);
  parser.eager(true);
}

// Hands the buffered bytes to the parser, as far as they go. Throws on a malformed reply.
void feed(ReplyParser& parser, beast::flat_buffer& buffer) {
  while (buffer.size() > 0 && !parser.is_done()) {
    ErrorCode ec;
    buffer.consume(parser.put(buffer.data(), ec));
    if (ec == http::error::need_more) return;
    if (ec == http::error::body_limit) throw_transport(ec, "quellin: reply body over 64 MiB");
    if (ec) throw_transport(ec, "quellin: malformed reply");
  }
}

// The peer closed the connection: complete a reply delimited by the close, or fail.
void feed_eof(ReplyParser& parser) {
  ErrorCode ec = http::error::partial_message;
  if (parser.got_some()) parser.put_eof(ec);
  if (ec) throw_transport(ec, "quellin: connection closed before the reply ended");
}

// The reply the parser holds, taken out of it.
Reply take_reply(ReplyParser& parser) {
  auto message = parser.release();
  Reply reply;
  reply.status = message.result_int();
  reply.reason = message.reason();
  reply.body = std::move(message.body());
  if (auto field = message.find("Retry-After"); field != message.end()) {
    reply.retry_after = field->value();
  }
  if (auto field = message.find("retry-after-ms"); field != message.end()) {
    reply.retry_after_ms = field->value();
  }
  return reply;
}

// Reads a body without building anything and stops at the first array or object that opens
// deeper than kMaxDepth. Nothing is allocated per element, so a refused body costs its bytes
// and the parser's copy of the token it was reading, however many elements it holds.
class BodyCheck {
 public:
  bool null() { return true; }
  bool boolean(bool) { return true; }
  bool number_integer(Json::number_integer_t) { return true; }
  bool number_unsigned(Json::number_unsigned_t) { return true; }
  bool number_float(Json::number_float_t, const std::string&) { return true; }
  bool string(std::string&) { return true; }
  bool binary(Json::binary_t&) { return true; }
  bool key(std::string&) { return true; }
  bool start_object(std::size_t) { return open(); }
  bool start_array(std::size_t) { return open(); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  // A syntax error, or a number beyond double's range (1e1111).
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  bool too_deep() const { return too_deep_; }

 private:
  bool open() {
    too_deep_ = ++depth_ > kMaxDepth;
    return !too_deep_;
  }
  bool close() {
    --depth_;
    return true;
  }

  std::size_t depth_ = 0;
  bool too_deep_ = false;
};

// The body of a 2xx reply as JSON. It is checked in full before the value is built, so that a
// body that will be refused never becomes a tree (one of nested brackets would take some
// forty times its size).
Json decode_json(unsigned status, const std::string& body, const Secrets& secrets) {
  BodyCheck check;
  if (!Json::sax_parse(body, &check)) {
    const std::string reply = "reply of status " + std::to_string(status);
    if (check.too_deep()) {
      throw ValueError(reply + " nests arrays and objects deeper than " +
                       std::to_string(kMaxDepth) + " levels");
    }
    throw ValueError(reply + " is not JSON: \"" +
                     printable(secrets.redact(body, kNotJsonBytes + 1), kNotJsonBytes) + '"');
  }
  return Json::parse(body);
}

// Resolves the host within the connect limit. The resolver has no per-operation
// cancellation, so a timer cancels it; the shared state outlives whichever finishes last.
asio::awaitable<tcp::resolver::results_type> resolve(const Target& target,
                                                     const Deadlines& deadlines) {
  struct State {
    explicit State(const asio::any_io_executor& ex) : resolver(ex), timer(ex) {}
    tcp::resolver resolver;
    asio::steady_timer timer;
    bool timed_out = false;
  };
  auto state = std::make_shared<State>(co_await asio::this_coro::executor);
  state->timer.expires_at(deadlines.connect());
  state->timer.async_wait([state](const ErrorCode& ec) {
    if (ec) return;
    state->timed_out = true;
    state->resolver.cancel();
  });
  auto [ec, results] = co_await state->resolver.async_resolve(target.host, target.port, kAwait);
  state->timer.cancel();
  if (state->timed_out) fail(asio::error::timed_out, "resolve", target);
  if (ec) fail(ec, "resolve", target);
  co_return results;
}

// Tries each resolved address in turn, each attempt within sock_connect, all within connect.
asio::awaitable<void> connect(beast::tcp_stream& stream, const Target& target,
                              const Deadlines& deadlines) {
  // An address literal needs no resolver (whose work runs on a thread of its own). No co_await
  // inside a conditional expression: GCC 12 miscompiles that.
  boost::system::error_code not_literal;
  const auto address = asio::ip::make_address(target.host, not_literal);
  tcp::resolver::results_type endpoints;
  if (not_literal) {
    endpoints = co_await resolve(target, deadlines);
  } else {
    endpoints = tcp::resolver::results_type::create(
        tcp::endpoint(address, static_cast<unsigned short>(std::stoi(target.port))), target.host,
        target.port);
  }
  ErrorCode last = asio::error::host_not_found;
  for (const auto& entry : endpoints) {
    stream.expires_at(deadlines.connect_attempt());
    auto [ec] = co_await stream.async_connect(entry.endpoint(), kAwait);
    if (!ec) co_return;
    if (ec == asio::error::operation_aborted || Clock::now() >= deadlines.connect()) {
      fail(ec, "connect to", target);
    }
    last = ec;
    stream.close();
  }
  fail(last, "connect to", target);
}

}  // namespace

Deadlines::Deadlines(const ClientTimeout& timeout)
    : timeout_(timeout),
      total_(after(timeout.total)),
      connect_(std::min(total_, after(timeout.connect))) {}

Clock::time_point Deadlines::connect_attempt() const {
  return std::min(connect_, after(timeout_.sock_connect));
}

Clock::time_point Deadlines::read() const { return std::min(total_, after(timeout_.sock_read)); }

HttpError http_error(const Reply& reply, const Secrets& secrets, std::string note) {
  return HttpError(reply.status, secrets.redact(reply.reason, reply.reason.size()),
                   secrets.redact(reply.body, kHttpErrorBodyBytes), std::move(note));
}

// Asio and Beast attach the library source line that detected an error to its code, and
// system_error::what() would print it; users get the message and the code only.
[[noreturn]] void throw_transport(const ErrorCode& ec, const std::string& what) {
  const ErrorCode without_location(ec.value(), ec.category());
  if (ec == beast::error::timeout || ec == asio::error::timed_out) {
    throw TimeoutError(without_location, what);
  }
  throw TransportError(without_location, what);
}

ssl::context tls_context() {
  ssl::context context(ssl::context::tls_client);
  context.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                      ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
  context.set_default_verify_paths();
  context.set_verify_mode(ssl::verify_peer);
  return context;
}

Json json_body(const Reply& reply, const Secrets& secrets) {
  if (reply.status < 200 || reply.status > 299) throw http_error(reply, secrets);
  return decode_json(reply.status, reply.body, secrets);
}

std::string text_body(Reply&& reply, const Secrets& secrets) {
  if (reply.status < 200 || reply.status > 299) throw http_error(reply, secrets);
  return std::move(reply.body);
}

asio::awaitable<std::unique_ptr<Connection>> Connection::open(asio::any_io_executor executor,
                                                              const Target& target,
                                                              ssl::context* tls,
                                                              const Deadlines& deadlines) {
  std::unique_ptr<Connection> connection(new Connection());
  if (tls == nullptr) {
    co_await connect(connection->plain_.emplace(executor), target, deadlines);
    co_return connection;
  }
  auto& stream = connection->tls_.emplace(executor, *tls);
  if (target.host_is_name &&
      !SSL_set_tlsext_host_name(stream.native_handle(), target.host.c_str())) {
    fail(ErrorCode(static_cast<int>(::ERR_get_error()), asio::error::get_ssl_category()),
         "set the server name for", target);
  }
  stream.set_verify_callback(ssl::host_name_verification(target.host));
  co_await connect(beast::get_lowest_layer(stream), target, deadlines);
  // The handshake counts towards the connect limit.
  beast::get_lowest_layer(stream).expires_at(deadlines.connect());
  if (auto [ec] = co_await stream.async_handshake(ssl::stream_base::client, kAwait); ec) {
    fail(ec, "TLS handshake with", target);
  }
  co_return connection;
}

asio::awaitable<Reply> Connection::exchange(const Request& request, const Target& target,
                                            const Deadlines& deadlines) {
  received_ = 0;
  reusable_ = false;
  if (tls_) co_return co_await exchange_on(*tls_, request, target, deadlines);
  co_return co_await exchange_on(*plain_, request, target, deadlines);
}

template <class Stream>
asio::awaitable<Reply> Connection::exchange_on(Stream& stream, const Request& request,
                                               const Target& target, const Deadlines& deadlines) {
  auto& socket = beast::get_lowest_layer(stream);
  socket.expires_at(deadlines.total());
  const std::array<asio::const_buffer, 2> bytes = {asio::buffer(request.head),
                                                   asio::buffer(request.body)};
  if (auto [ec, n] = co_await asio::async_write(stream, bytes, kAwait); ec) {
    fail(ec, "send the request to", target);
  }
  buffer_.max_size(kHeaderLimit + kReadChunk);
  bool closed = false;
  std::optional<ReplyParser> parser;
  do {
    // A parser takes one message: each interim reply gets a fresh one, which starts with the
    // bytes read after it.
    configure(parser.emplace());
    feed(*parser, buffer_);
    while (!parser->is_done()) {
      if (closed) {
        feed_eof(*parser);
        break;
      }
      if (buffer_.size() + kReadChunk > buffer_.max_size()) {
        // Only an endless header or chunk line gets here.
        throw TransportError(http::error::buffer_overflow, "quellin: malformed reply");
      }
      socket.expires_at(deadlines.read());
      auto [ec, n] = co_await stream.async_read_some(buffer_.prepare(kReadChunk), kAwait);
      buffer_.commit(n);
      received_ += n;
      if (ec == asio::error::eof) {
        closed = true;
      } else if (ec) {
        fail(ec, "read the reply from", target);
      }
      feed(*parser, buffer_);
    }
  } while (interim(parser->get().result_int()));
  // Only a reply that ended where the next one may start leaves the connection fit. A 101
  // would switch it to a protocol that was never asked for.
  reusable_ =
      parser->get().result_int() != 101 && parser->keep_alive() && !closed && buffer_.size() == 0;
  co_return take_reply(*parser);
}

Reply parse_whole_reply(std::string_view bytes) {
  beast::flat_buffer buffer;
  auto chunk = buffer.prepare(bytes.size());
  buffer.commit(asio::buffer_copy(chunk, asio::buffer(bytes.data(), bytes.size())));
  std::optional<ReplyParser> parser;
  do {
    configure(parser.emplace());
    feed(*parser, buffer);
    if (!parser->is_done()) feed_eof(*parser);
  } while (interim(parser->get().result_int()));
  return take_reply(*parser);
}

}  // namespace quellin::internal
