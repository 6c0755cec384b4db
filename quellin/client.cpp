#include "quellin/client.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <deque>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/http/error.hpp>

#include "quellin/internal/exchange.hpp"
#include "quellin/internal/file_sink.hpp"
#include "quellin/internal/request.hpp"
#include "quellin/pacing.hpp"

namespace quellin {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using internal::BodySink;
using internal::Clock;
using internal::Connection;
using internal::Deadlines;
using internal::Reply;
using internal::Request;
using internal::Target;
using Json = nlohmann::ordered_json;
using ErrorCode = boost::system::error_code;
using std::chrono::milliseconds;

namespace {

constexpr auto kAwait = asio::as_tuple(asio::use_awaitable);

bool is_success(unsigned status) { return status >= 200 && status <= 299; }

bool retryable_status(unsigned status) {
  return status == 408 || status == 409 || status == 429 || (status >= 500 && status <= 599);
}

// Connection, TLS and timeout failures, and a connection closed before the reply ended, are
// worth another attempt; a reply the parser refused, one over the body limit and a
// cancellation are not.
bool retryable_failure(const ErrorCode& ec) {
  if (ec == asio::error::operation_aborted) return false;
  if (ec.category() == make_error_code(http::error::partial_message).category()) {
    return ec == http::error::partial_message;
  }
  return true;
}

// How a kept-alive connection that the server closed while it was idle fails once a request
// is written to it.
bool closed_by_peer(const ErrorCode& ec) {
  return ec == http::error::partial_message || ec == asio::error::eof ||
         ec == asio::error::connection_reset || ec == asio::error::broken_pipe ||
         ec == asio::error::not_connected || ec == asio::ssl::error::stream_truncated;
}

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// "Sun, 06 Nov 1994 08:49:37 GMT" (IMF-fixdate, the form HTTP/1.1 servers send).
std::optional<std::chrono::system_clock::time_point> http_date(std::string_view text) {
  const std::string copy(text);
  char weekday[4] = {};
  char month_name[4] = {};
  char zone[4] = {};
  int day = 0, year = 0, hour = 0, minute = 0, second = 0, used = 0;
  if (std::sscanf(copy.c_str(), "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d %3[A-Z]%n", weekday,
                  &day, month_name, &year, &hour, &minute, &second, zone, &used) != 8 ||
      static_cast<std::size_t>(used) != copy.size() || std::string_view(zone) != "GMT" ||
      hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  constexpr std::string_view kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const auto at = kMonths.find(month_name);
  if (std::string_view(month_name).size() != 3 || at == std::string_view::npos || at % 3 != 0) {
    return std::nullopt;
  }
  const std::chrono::year_month_day date{std::chrono::year(year),
                                         std::chrono::month(static_cast<unsigned>(at / 3 + 1)),
                                         std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok()) return std::nullopt;
  return std::chrono::sys_days(date) + std::chrono::hours(hour) + std::chrono::minutes(minute) +
         std::chrono::seconds(second);
}

// The wait a reply asks for: retry-after-ms, else Retry-After in seconds or as a date.
std::optional<milliseconds> asked_wait(const Reply& reply) {
  if (const auto text = trim(internal::find_field(reply.fields, "retry-after-ms").value_or(""));
      !text.empty()) {
    double ms = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), ms);
    if (ec == std::errc() && end == text.data() + text.size() && ms >= 0 && ms < 1e12) {
      return milliseconds(static_cast<long long>(std::ceil(ms)));
    }
  }
  const auto text = trim(internal::find_field(reply.fields, "Retry-After").value_or(""));
  if (text.empty()) return std::nullopt;
  long long seconds = 0;
  if (const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
      ec == std::errc() && end == text.data() + text.size()) {
    if (seconds < 0 || seconds > 1'000'000'000) return std::nullopt;
    return std::chrono::seconds(seconds);
  }
  if (const auto date = http_date(text)) {
    const auto left = *date - std::chrono::system_clock::now();
    return std::max(milliseconds(0), std::chrono::ceil<milliseconds>(left));
  }
  return std::nullopt;
}

// A wait as a message gives it: "3600 s", "1.5 s".
std::string in_seconds(milliseconds wait) {
  std::string text = std::to_string(wait.count() / 1000);
  if (const auto rest = wait.count() % 1000; rest > 0) {
    std::string fraction = std::to_string(1000 + rest).substr(1);
    fraction.erase(fraction.find_last_not_of('0') + 1);
    text += '.' + fraction;
  }
  return text + " s";
}

}  // namespace

namespace {

// What one attempt took of its pacer's limits, in flight until the attempt ends however it
// ends.
struct PacerShare {
  PacerShare(Pacer* p, double t) : pacer(p), tokens(t) {}
  Pacer* pacer;
  double tokens;
  PacerShare(const PacerShare&) = delete;
  PacerShare& operator=(const PacerShare&) = delete;
  ~PacerShare() {
    if (pacer != nullptr) pacer->release(tokens);
  }
};

}  // namespace

struct Client::Impl {
  // A connection put back, and since when it has been unused.
  struct Idle {
    std::unique_ptr<Connection> connection;
    Clock::time_point since;
  };

  class Waiter;

  // The connections of one scheme, host and port.
  struct Pool {
    std::vector<Idle> idle;  // the most recently used last
    std::size_t open = 0;    // idle, in use, or being opened: what the cap counts
    std::deque<Waiter*> waiters;
  };

  // A call waiting for a connection of a full pool. It is handed either a kept-alive
  // connection or, with none, the place of one that closed, to open a new one in.
  class Waiter {
   public:
    Waiter(Impl& impl, Pool& pool, const asio::any_io_executor& executor)
        : timer(executor), impl_(impl), pool_(pool) {
      pool.waiters.push_back(this);
    }
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;
    // A call that ends before it took what it was handed passes it on.
    ~Waiter() {
      if (!granted) {
        std::erase(pool_.waiters, this);
      } else if (!taken_) {
        const bool reusable = connection != nullptr;
        impl_.release(pool_, std::move(connection), reusable);
      }
    }

    void grant(std::unique_ptr<Connection> handed) {
      connection = std::move(handed);
      granted = true;
      timer.cancel();
    }
    std::unique_ptr<Connection> take() {
      taken_ = true;
      return std::move(connection);
    }

    asio::steady_timer timer;
    std::unique_ptr<Connection> connection;
    bool granted = false;

   private:
    Impl& impl_;
    Pool& pool_;
    bool taken_ = false;
  };

  // A connection of a pool, or the place of one, held for one attempt; it goes back to the
  // pool when the attempt is done, kept if the last reply left it fit, else closed.
  class Lease {
   public:
    Lease(Impl& impl, Pool& pool, std::unique_ptr<Connection> held, bool was_reused)
        : connection(std::move(held)), reused(was_reused), impl_(&impl), pool_(&pool) {}
    Lease(Lease&& other) noexcept
        : connection(std::move(other.connection)),
          reused(other.reused),
          impl_(other.impl_),
          pool_(std::exchange(other.pool_, nullptr)) {}
    Lease& operator=(Lease&&) = delete;
    ~Lease() {
      if (pool_ == nullptr) return;
      const bool reusable = connection != nullptr && connection->reusable();
      impl_->release(*pool_, std::move(connection), reusable);
    }

    std::unique_ptr<Connection> connection;
    bool reused;

   private:
    Impl* impl_;
    Pool* pool_;
  };

  Impl(asio::any_io_executor ex, ClientOptions opts)
      : executor(std::move(ex)), options(std::move(opts)), random(std::random_device{}()) {}

  asio::ssl::context* tls_for(const Target& target) {
    if (!target.tls) return nullptr;
    if (!tls) tls.emplace(internal::tls_context());
    return &*tls;
  }

  Pool& pool_of(const Target& target) {
    return pools[(target.tls ? "https://" : "http://") + target.where()];
  }

  // Closes the connections unused for longer than the idle limit.
  void close_expired() {
    const auto now = Clock::now();
    for (auto& [key, pool] : pools) {
      const auto fresh = std::find_if(pool.idle.begin(), pool.idle.end(), [&](const Idle& idle) {
        return now - idle.since < options.idle_timeout;
      });
      pool.open -= static_cast<std::size_t>(fresh - pool.idle.begin());
      pool.idle.erase(pool.idle.begin(), fresh);
    }
  }

  void release(Pool& pool, std::unique_ptr<Connection> connection, bool reusable) {
    if (!reusable || closed) connection.reset();
    if (!pool.waiters.empty()) {
      Waiter* next = pool.waiters.front();
      pool.waiters.pop_front();
      next->grant(std::move(connection));
      return;
    }
    if (connection) {
      pool.idle.push_back({std::move(connection), Clock::now()});
    } else {
      --pool.open;
    }
  }

  asio::awaitable<Lease> acquire(const Target& target, const Deadlines& deadlines) {
    close_expired();
    Pool& pool = pool_of(target);
    if (!pool.idle.empty()) {
      auto connection = std::move(pool.idle.back().connection);
      pool.idle.pop_back();
      co_return Lease(*this, pool, std::move(connection), true);
    }
    if (pool.open < options.max_connections_per_host) {
      ++pool.open;
      Lease lease(*this, pool, nullptr, false);
      lease.connection = co_await Connection::open(executor, target, tls_for(target), deadlines);
      co_return lease;
    }
    Waiter waiter(*this, pool, executor);
    // The wait for a free connection counts towards the connect limit.
    waiter.timer.expires_at(deadlines.connect());
    co_await waiter.timer.async_wait(kAwait);
    if (!waiter.granted) {
      const bool cancelled = (co_await asio::this_coro::cancellation_state).cancelled() !=
                             asio::cancellation_type::none;
      internal::throw_transport(cancelled ? asio::error::operation_aborted : asio::error::timed_out,
                                "quellin: wait for a free connection to " + target.where());
    }
    const bool handed_connection = waiter.connection != nullptr;
    Lease lease(*this, pool, waiter.take(), handed_connection);
    if (!lease.connection) {
      lease.connection = co_await Connection::open(executor, target, tls_for(target), deadlines);
    }
    co_return lease;
  }

  // One attempt: a connection of the pool, the request, the whole reply.
  asio::awaitable<Reply> attempt(const Target& target, const Request& request, BodySink& sink) {
    const Deadlines deadlines(options.timeout);
    Lease lease = co_await acquire(target, deadlines);
    Reply reply;
    bool closed_while_idle = false;
    try {
      reply = co_await lease.connection->exchange(request, target, deadlines, sink);
    } catch (const TransportError& e) {
      if (!lease.reused || lease.connection->received() != 0 || !closed_by_peer(e.code())) throw;
      closed_while_idle = true;
    }
    if (closed_while_idle) {
      // The server closed it before it read the request: once more on a new connection, in
      // the same place of the pool and within the same attempt.
      lease.connection.reset();
      lease.reused = false;
      lease.connection = co_await Connection::open(executor, target, tls_for(target), deadlines);
      reply = co_await lease.connection->exchange(request, target, deadlines, sink);
    }
    co_return reply;
  }

  milliseconds backoff(unsigned retry) {
    const RetryPolicy& policy = options.retry;
    milliseconds wait = policy.initial_backoff;
    for (unsigned i = 1; i < retry && wait < policy.max_backoff; ++i) wait *= 2;
    wait = std::min(wait, policy.max_backoff);
    std::uniform_real_distribution<double> jitter(0.75, 1.0);
    return milliseconds(static_cast<long long>(static_cast<double>(wait.count()) * jitter(random)));
  }

  // A 2xx reply, after as many attempts as the policy allows; else the last attempt's error.
  // Each attempt waits for its share of the rate limits first (`tokens`, for the pacer).
  asio::awaitable<Reply> call(const Target& target, const Request& request, CallInfo* info,
                              BodySink& sink, RequestTokens tokens) {
    const RetryPolicy& policy = options.retry;
    for (unsigned attempt_number = 1;; ++attempt_number) {
      if (info != nullptr) info->attempts = attempt_number;
      std::exception_ptr failure;
      std::optional<milliseconds> asked;
      bool retryable = false;
      double taken = 0;  // not in a conditional expression: GCC 12 miscompiles co_await there
      if (options.pacer) taken = co_await options.pacer->acquire(tokens);
      const PacerShare share(options.pacer.get(), taken);
      try {
        Reply reply = co_await attempt(target, request, sink);
        const ReplyHead head{reply.status, reply.fields};
        if (options.pacer) options.pacer->observe(head, share.tokens);
        if (info != nullptr) info->reply = head;
        if (is_success(reply.status)) co_return reply;
        retryable = retryable_status(reply.status);
        asked = asked_wait(reply);
        std::string note;
        if (retryable && asked && *asked > policy.max_retry_after) {
          // Sooner than it asked, the server would most likely refuse again: the caller hears
          // of the wait instead of a burst of refused attempts.
          retryable = false;
          note = "the server asked to wait " + in_seconds(*asked) + ", more than the " +
                 in_seconds(policy.max_retry_after) + " this client waits";
        }
        failure =
            std::make_exception_ptr(internal::http_error(reply, request.secrets, std::move(note)));
      } catch (const TransportError& e) {
        retryable = retryable_failure(e.code());
        failure = std::current_exception();
      }
      if (!retryable || attempt_number > policy.max_retries) std::rethrow_exception(failure);
      const milliseconds wait = asked ? *asked : backoff(attempt_number);
      if (options.on_retry) options.on_retry(RetryNotice{attempt_number, wait, failure});
      asio::steady_timer timer(executor, wait);
      if (auto [ec] = co_await timer.async_wait(kAwait); ec) {
        internal::throw_transport(ec, "quellin: wait to retry " + target.where());
      }
    }
  }

  // The coroutines own the client's state they use, so that it outlives them. Everything is
  // checked and built before the first byte goes out.
  static asio::awaitable<Reply> call_with(std::shared_ptr<Impl> impl, const Target& target,
                                          const Request& request, CallInfo* info, BodySink& sink,
                                          RequestTokens tokens = {}) {
    co_return co_await internal::transport_errors(impl->call(target, request, info, sink, tokens),
                                                  target.where());
  }

  static asio::awaitable<Json> json_call(std::shared_ptr<Impl> impl, Target target, Request request,
                                         CallInfo* info, RequestTokens tokens = {}) {
    BodySink sink;
    co_return internal::json_body(
        co_await call_with(std::move(impl), target, request, info, sink, tokens), request.secrets);
  }

  static asio::awaitable<Json> post_json(std::shared_ptr<Impl> impl, std::string url, Json headers,
                                         Json payload, CallInfo* info, RequestTokens tokens) {
    Target target = internal::parse_url(url);
    Request request = internal::make_request(target, headers, payload);
    co_return co_await json_call(std::move(impl), std::move(target), std::move(request), info,
                                 tokens);
  }

  static asio::awaitable<std::string> post_body(std::shared_ptr<Impl> impl, std::string url,
                                                Json headers, Json payload, CallInfo* info) {
    const Target target = internal::parse_url(url);
    const Request request = internal::make_request(target, headers, payload);
    BodySink sink;
    co_return internal::text_body(co_await call_with(std::move(impl), target, request, info, sink),
                                  request.secrets);
  }

  static asio::awaitable<Json> get_json(std::shared_ptr<Impl> impl, std::string url, Json headers,
                                        CallInfo* info) {
    Target target = internal::parse_url(url);
    Request request = internal::make_get(target, headers);
    co_return co_await json_call(std::move(impl), std::move(target), std::move(request), info);
  }

  static asio::awaitable<Json> upload_form(std::shared_ptr<Impl> impl, std::string url,
                                           Json headers, MultipartForm form, CallInfo* info) {
    Target target = internal::parse_url(url);
    Request request = internal::make_upload(target, headers, form);
    co_return co_await json_call(std::move(impl), std::move(target), std::move(request), info);
  }

  static asio::awaitable<std::uint64_t> download_to(std::shared_ptr<Impl> impl, std::string url,
                                                    Json headers, std::filesystem::path to,
                                                    CallInfo* info, std::uint64_t max_bytes) {
    const Target target = internal::parse_url(url);
    const Request request = internal::make_get(target, headers);
    // Removes its temporary file when the call ends in any other way than a commit.
    internal::FileSink sink(std::move(to), max_bytes);
    // call_with yields only a 2xx reply, whose body is then in the temporary file.
    co_await call_with(std::move(impl), target, request, info, sink);
    co_return sink.commit();
  }

  asio::any_io_executor executor;
  ClientOptions options;
  std::minstd_rand random;
  std::optional<asio::ssl::context> tls;  // built at the first https call, before any pool
  std::unordered_map<std::string, Pool> pools;
  bool closed = false;
};

Client::Client(asio::any_io_executor executor, ClientOptions options)
    : impl_(std::make_shared<Impl>(std::move(executor), std::move(options))) {}

Client::~Client() {
  impl_->closed = true;
  for (auto& [key, pool] : impl_->pools) {
    pool.open -= pool.idle.size();
    pool.idle.clear();
  }
}

asio::awaitable<Json> Client::post(std::string url, Json headers, Json payload, CallInfo* info,
                                   RequestTokens tokens) {
  return Impl::post_json(impl_, std::move(url), std::move(headers), std::move(payload), info,
                         tokens);
}

asio::awaitable<std::string> Client::post_text(std::string url, Json headers, Json payload,
                                               CallInfo* info) {
  return Impl::post_body(impl_, std::move(url), std::move(headers), std::move(payload), info);
}

asio::awaitable<Json> Client::get(std::string url, Json headers, CallInfo* info) {
  return Impl::get_json(impl_, std::move(url), std::move(headers), info);
}

asio::awaitable<Json> Client::upload(std::string url, Json headers, MultipartForm form,
                                     CallInfo* info) {
  return Impl::upload_form(impl_, std::move(url), std::move(headers), std::move(form), info);
}

asio::awaitable<std::uint64_t> Client::download(std::string url, Json headers,
                                                std::filesystem::path to, CallInfo* info,
                                                std::uint64_t max_bytes) {
  return Impl::download_to(impl_, std::move(url), std::move(headers), std::move(to), info,
                           max_bytes);
}

const ClientOptions& Client::options() const noexcept { return impl_->options; }

ClientOptions client_options(unsigned retries, double timeout_seconds) {
  // Also refuses NaN, whose cast to an integer is undefined, and a count of milliseconds that
  // would overflow.
  if (!(timeout_seconds >= kMinTimeoutSeconds && timeout_seconds <= kMaxTimeoutSeconds)) {
    std::ostringstream message;
    message << timeout_seconds << " seconds is not in range " << kMinTimeoutSeconds << " to "
            << kMaxTimeoutSeconds;
    throw std::invalid_argument(message.str());
  }
  ClientOptions options;
  options.retry.max_retries = retries;
  const auto limit = milliseconds(std::llround(timeout_seconds * 1000));
  options.timeout.total = limit;
  options.timeout.sock_read = limit;
  options.timeout.connect = std::min(options.timeout.connect, limit);
  return options;
}

}  // namespace quellin
