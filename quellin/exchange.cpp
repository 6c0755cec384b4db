#include "quellin/internal/exchange.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

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

#include "quellin/internal/http_token.hpp"
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
// The piece of a request's file read and written at a time.
constexpr std::size_t kFileChunk = 64 * 1024;
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

// A Beast body that hands what it reads to a BodySink. The parser's body holds a pointer to
// the sink, set before the first byte is parsed; the reader follows it when it is used.
struct SinkBody {
  using value_type = BodySink*;

  class reader {
   public:
    // Beast asks for a reader of requests too; only replies are read.
    template <bool isRequest, class Fields>
    reader(http::header<isRequest, Fields>& head, value_type& sink)
        : head_(&head), status_(&status_of<isRequest, Fields>), sink_(sink) {}

    void init(const boost::optional<std::uint64_t>& length, ErrorCode& ec) {
      ec = {};
      sink_->begin(status_(head_), length ? std::optional<std::uint64_t>(*length) : std::nullopt,
                   ec);
    }

    template <class Buffers>
    std::size_t put(const Buffers& buffers, ErrorCode& ec) {
      ec = {};
      std::size_t taken = 0;
      for (const auto buffer : beast::buffers_range_ref(buffers)) {
        sink_->write(std::string_view(static_cast<const char*>(buffer.data()), buffer.size()), ec);
        if (ec) return taken;
        taken += buffer.size();
      }
      return taken;
    }

    void finish(ErrorCode& ec) { ec = {}; }

   private:
    template <bool isRequest, class Fields>
    static unsigned status_of(const void* head) {
      if constexpr (isRequest) {
        return 0;
      } else {
        return static_cast<const http::header<false, Fields>*>(head)->result_int();
      }
    }

    const void* head_;
    unsigned (*status_)(const void*);
    value_type& sink_;
  };
};

using ReplyParser = http::response_parser<SinkBody>;

// An interim reply (100 Continue, 103 Early Hints) comes before the final reply to the same
// request and is read past (RFC 9110, 15.2). 101 is final: it ends the exchange.
bool interim(unsigned status) { return status >= 100 && status <= 199 && status != 101; }

// The sink enforces the body's limit, which may depend on the status.
void configure(ReplyParser& parser, BodySink& sink) {
  parser.header_limit(kHeaderLimit);
  parser.body_limit(boost::none);
  parser.eager(true);
  parser.get().body() = &sink;
}

// Hands the buffered bytes to the parser, as far as they go. Throws on a malformed reply.
void feed(ReplyParser& parser, beast::flat_buffer& buffer) {
  while (buffer.size() > 0 && !parser.is_done()) {
    ErrorCode ec;
    buffer.consume(parser.put(buffer.data(), ec));
    if (ec == http::error::need_more) return;
    if (!ec) continue;
    BodySink& sink = *parser.get().body();
    if (sink.failure) std::rethrow_exception(sink.failure);
    if (ec == http::error::body_limit) throw_transport(ec, sink.over_limit());
    throw_transport(ec, "quellin: malformed reply");
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
  reply.body = message.body()->take_text();
  for (const auto& field : message) {
    reply.fields.push_back({std::string(field.name_string()), std::string(field.value())});
  }
  return reply;
}

// A request's file, read from its start.
class FileReader {
 public:
  explicit FileReader(const FilePart& part)
      : part_(part), file_(std::fopen(part.path.c_str(), "rb")) {
    if (file_ == nullptr) fail("cannot open the file to upload");
  }
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;
  ~FileReader() { std::fclose(file_); }

  // The next piece of the file, at most `into.size()` bytes, empty once `size` bytes were
  // read. A file shorter than it was is a ValueError: the Content-Length can no longer hold.
  std::size_t read(std::vector<char>& into) {
    const std::uint64_t left = part_.size - done_;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, into.size()));
    if (want == 0) return 0;
    const std::size_t got = std::fread(into.data(), 1, want, file_);
    if (got == 0) {
      if (std::ferror(file_)) fail("cannot read the file to upload");
      throw ValueError("the file to upload " + part_.path.string() + " shrank from " +
                       std::to_string(part_.size) + " bytes while it was sent");
    }
    done_ += got;
    return got;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw std::filesystem::filesystem_error("quellin: " + what, part_.path,
                                            std::error_code(errno, std::generic_category()));
  }

  const FilePart& part_;
  std::FILE* file_;
  std::uint64_t done_ = 0;
};

// Writes the whole request: head and body at once, then the file piece by piece, then the
// tail, so that at most one piece of the file is in memory.
template <class Stream>
asio::awaitable<void> send(Stream& stream, const Request& request, const Target& target) {
  const std::array<asio::const_buffer, 2> bytes = {asio::buffer(request.head),
                                                   asio::buffer(request.body)};
  if (auto [ec, n] = co_await asio::async_write(stream, bytes, kAwait); ec) {
    fail(ec, "send the request to", target);
  }
  if (!request.file) co_return;
  FileReader file(*request.file);
  std::vector<char> piece(kFileChunk);
  while (const std::size_t n = file.read(piece)) {
    if (auto [ec, sent] = co_await asio::async_write(stream, asio::buffer(piece.data(), n), kAwait);
        ec) {
      fail(ec, "send the request to", target);
    }
  }
  if (auto [ec, n] = co_await asio::async_write(stream, asio::buffer(request.tail), kAwait); ec) {
    fail(ec, "send the request to", target);
  }
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

void BodySink::begin(unsigned, std::optional<std::uint64_t> length, ErrorCode& ec) {
  if (length && *length > kBodyLimit) {
    ec = http::error::body_limit;
    return;
  }
  if (length) text_.reserve(static_cast<std::size_t>(*length));
}

void BodySink::write(std::string_view bytes, ErrorCode& ec) {
  if (bytes.size() > kBodyLimit - text_.size()) {
    ec = http::error::body_limit;
    return;
  }
  text_ += bytes;
}

std::string BodySink::over_limit() const { return "quellin: reply body over 64 MiB"; }

std::optional<std::string_view> find_field(const std::vector<HeaderField>& fields,
                                           std::string_view name) {
  for (const auto& field : fields) {
    if (iequals(field.name, name)) return field.value;
  }
  return std::nullopt;
}

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
                                            const Deadlines& deadlines, BodySink& sink) {
  received_ = 0;
  reusable_ = false;
  sink.clear();
  if (tls_) co_return co_await exchange_on(*tls_, request, target, deadlines, sink);
  co_return co_await exchange_on(*plain_, request, target, deadlines, sink);
}

template <class Stream>
asio::awaitable<Reply> Connection::exchange_on(Stream& stream, const Request& request,
                                               const Target& target, const Deadlines& deadlines,
                                               BodySink& sink) {
  auto& socket = beast::get_lowest_layer(stream);
  socket.expires_at(deadlines.total());
  co_await send(stream, request, target);
  buffer_.max_size(kHeaderLimit + kReadChunk);
  bool closed = false;
  std::optional<ReplyParser> parser;
  do {
    // A parser takes one message: each interim reply gets a fresh one, which starts with the
    // bytes read after it.
    configure(parser.emplace(), sink);
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
  BodySink sink;
  std::optional<ReplyParser> parser;
  do {
    configure(parser.emplace(), sink);
    feed(*parser, buffer);
    if (!parser->is_done()) feed_eof(*parser);
  } while (interim(parser->get().result_int()));
  return take_reply(*parser);
}

}  // namespace quellin::internal
