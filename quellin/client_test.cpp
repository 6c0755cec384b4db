#include "quellin/client.hpp"

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "tests/support/loopback_server.hpp"
#include "tests/support/openai_server.hpp"
#include "tests/support/run_awaitable.hpp"
#include "tests/support/test_helpers.hpp"
#include "tests/support/tls_server.hpp"

namespace {

namespace asio = boost::asio;
using Json = nlohmann::ordered_json;
using tavrin::testing::OpenAiServer;
using Scripted = OpenAiServer::Scripted;
using namespace std::chrono_literals;

const Json kHeaders = {{"Content-Type", "application/json"}, {"Authorization", "Bearer sk-test"}};

Json chat_payload(const std::string& content) {
  return {{"model", "m"}, {"messages", {{{"role", "user"}, {"content", content}}}}};
}

// Backoff short enough for tests; everything else as the defaults.
quellin::ClientOptions quick(unsigned max_retries = 2) {
  quellin::ClientOptions options;
  options.retry.max_retries = max_retries;
  options.retry.initial_backoff = 1ms;
  options.retry.max_backoff = 4ms;
  return options;
}

// Awaits `count` posts in turn on one client; yields the attempts of each.
asio::awaitable<std::vector<unsigned>> posts_in_turn(quellin::Client& client, std::string url,
                                                     int count) {
  std::vector<unsigned> attempts;
  for (int i = 0; i < count; ++i) {
    quellin::CallInfo info;
    const Json reply = co_await client.post(url, kHeaders, chat_payload(std::to_string(i)), &info);
    EXPECT_EQ(reply["choices"][0]["message"]["content"], std::to_string(i));
    attempts.push_back(info.attempts);
  }
  co_return attempts;
}

// The outcome of one call run to its end on a private context.
struct Outcome {
  std::exception_ptr failure;
  quellin::CallInfo info;
  std::vector<quellin::RetryNotice> notices;
};

// With `stop_at_retry`, the call is cancelled as soon as its first retry is announced, so
// that a long wait is seen without being waited.
Outcome call_once(OpenAiServer& server, quellin::ClientOptions options,
                  bool stop_at_retry = false) {
  Outcome outcome;
  asio::io_context context;
  asio::cancellation_signal cancel;
  options.on_retry = [&](const quellin::RetryNotice& notice) {
    outcome.notices.push_back(notice);
    if (stop_at_retry) {
      asio::post(context, [&] { cancel.emit(asio::cancellation_type::terminal); });
    }
  };
  quellin::Client client(context.get_executor(), options);
  asio::co_spawn(context, client.post(server.url(), kHeaders, chat_payload("x"), &outcome.info),
                 asio::bind_cancellation_slot(
                     cancel.slot(), [&](std::exception_ptr e, Json) { outcome.failure = e; }));
  context.run();
  return outcome;
}

// Rethrows what a call failed with; a call that did not fail throws a logic_error.
[[noreturn]] void rethrow(const std::exception_ptr& failure) {
  if (!failure) throw std::logic_error("the call did not fail");
  std::rethrow_exception(failure);
}

unsigned status_of(const std::exception_ptr& failure) {
  try {
    rethrow(failure);
  } catch (const quellin::HttpError& e) {
    return e.status();
  } catch (...) {
    return 0;
  }
}

TEST(Client, CallsInTurnShareOneConnection) {
  OpenAiServer server;
  asio::io_context context;
  quellin::Client client(context.get_executor());
  std::vector<unsigned> attempts;
  asio::co_spawn(context, posts_in_turn(client, server.url(), 20),
                 [&](std::exception_ptr e, std::vector<unsigned> a) {
                   EXPECT_FALSE(e);
                   attempts = std::move(a);
                 });
  context.run();
  EXPECT_EQ(attempts, std::vector<unsigned>(20, 1));
  EXPECT_EQ(server.requests(), 20u);
  EXPECT_EQ(server.connections(), 1u);
}

TEST(Client, CallsInFlightStayWithinTheCapPerHost) {
  OpenAiServer server;
  asio::io_context context;
  quellin::ClientOptions options;
  options.max_connections_per_host = 4;
  quellin::Client client(context.get_executor(), options);
  constexpr int kCalls = 300;
  int answered = 0;
  for (int i = 0; i < kCalls; ++i) {
    asio::co_spawn(context, client.post(server.url(), kHeaders, chat_payload(std::to_string(i))),
                   [&, i](std::exception_ptr e, Json reply) {
                     ASSERT_FALSE(e);
                     EXPECT_EQ(reply["choices"][0]["message"]["content"], std::to_string(i));
                     ++answered;
                   });
  }
  context.run();
  EXPECT_EQ(answered, kCalls);
  EXPECT_EQ(server.requests(), static_cast<std::size_t>(kCalls));
  EXPECT_LE(server.connections(), 4u);
}

TEST(Client, RepliesThatEndTheConnectionAreNotReused) {
  // The server keeps each connection open: only the client's reading of the reply closes it.
  const std::vector<std::pair<const char*, Scripted>> closing = {
      {"Connection: close", {.headers = {{"Connection", "close"}}}},
      {"HTTP/1.0", {.http10 = true}},
  };
  for (const auto& [name, scripted] : closing) {
    SCOPED_TRACE(name);
    OpenAiServer server;
    server.script({scripted, scripted, scripted});
    EXPECT_EQ(tavrin::testing::run([&]() -> asio::awaitable<std::vector<unsigned>> {
                quellin::Client client(co_await asio::this_coro::executor);
                co_return co_await posts_in_turn(client, server.url(), 3);
              }()),
              std::vector<unsigned>(3, 1));
    EXPECT_EQ(server.connections(), 3u);
  }
  OpenAiServer kept;
  const Scripted keep_alive_10 = {.headers = {{"Connection", "keep-alive"}}, .http10 = true};
  kept.script({keep_alive_10, keep_alive_10, keep_alive_10});
  tavrin::testing::run([&]() -> asio::awaitable<std::vector<unsigned>> {
    quellin::Client client(co_await asio::this_coro::executor);
    co_return co_await posts_in_turn(client, kept.url(), 3);
  }());
  EXPECT_EQ(kept.connections(), 1u);
}

TEST(Client, AConnectionTheServerClosedIsReplacedWithoutARetry) {
  struct Case {
    const char* name;
    OpenAiServer::Options server;
    std::chrono::milliseconds pause;
    std::size_t connections;
  };
  const std::vector<Case> cases = {
      {"closed after two requests", {.close_after_requests = 2}, 0ms, 3},
      {"closed while idle", {.close_when_idle = 20ms}, 200ms, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OpenAiServer server(c.server);
    std::vector<unsigned> attempts;
    tavrin::testing::run([&]() -> asio::awaitable<bool> {
      quellin::ClientOptions options;
      options.retry.max_retries = 0;  // a retry would fail the call
      quellin::Client client(co_await asio::this_coro::executor, options);
      for (int i = 0; i < 6; ++i) {
        if (i > 0) std::this_thread::sleep_for(c.pause);  // at least this long idle
        const auto one = co_await posts_in_turn(client, server.url(), 1);
        attempts.push_back(one[0]);
      }
      co_return true;
    }());
    EXPECT_EQ(attempts, std::vector<unsigned>(6, 1));
    EXPECT_EQ(server.requests(), 6u);
    EXPECT_EQ(server.connections(), c.connections);
  }
}

TEST(Client, InterimRepliesAreReadPastOnAKeptAliveConnection) {
  // The final reply comes a moment after the interim one, in a read of its own: read as the
  // reply, the interim one would leave the final one to the next request.
  OpenAiServer server;
  server.script({{.delay = 20ms, .interim = "HTTP/1.1 100 Continue\r\n\r\n"},
                 {.interim = "HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n"
                             "\r\nHTTP/1.1 100 Continue\r\n\r\n"}});
  const auto attempts = tavrin::testing::run([&]() -> asio::awaitable<std::vector<unsigned>> {
    quellin::Client client(co_await asio::this_coro::executor, quick(0));
    co_return co_await posts_in_turn(client, server.url(), 3);
  }());
  EXPECT_EQ(attempts, std::vector<unsigned>(3, 1));
  EXPECT_EQ(server.connections(), 1u);
}

TEST(Client, AConnectionLeftInAnUnclearStateIsNotUsedAgain) {
  struct Case {
    const char* name;
    Scripted reply;
    std::string error_start;
  };
  const std::vector<Case> cases = {
      {"an interim reply, then closed",
       {.close_after = true, .interim = "HTTP/1.1 100 Continue\r\n\r\n", .no_reply = true},
       "quellin: connection closed before the reply ended"},
      {"switched protocols, kept open",
       {.interim = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: h2c\r\n\r\n", .no_reply = true},
       "HTTP status 101 Switching Protocols: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OpenAiServer server;
    server.script({c.reply});
    asio::io_context context;
    quellin::Client client(context.get_executor(), quick(0));
    try {
      tavrin::testing::run(context, client.post(server.url(), kHeaders, chat_payload("x")));
      ADD_FAILURE() << "accepted";
    } catch (const std::exception& e) {
      EXPECT_TRUE(std::string(e.what()).starts_with(c.error_start)) << e.what();
    }
    EXPECT_EQ(tavrin::testing::run(context, client.post(server.url(), kHeaders, chat_payload("y"))),
              Json::parse(OpenAiServer::chat_reply("y")));
    EXPECT_EQ(server.connections(), 2u);
  }
}

TEST(Client, AConnectionIdleBeyondTheLimitIsNotUsedAgain) {
  OpenAiServer server;
  tavrin::testing::run([&]() -> asio::awaitable<bool> {
    quellin::ClientOptions options;
    options.idle_timeout = 1ms;
    quellin::Client client(co_await asio::this_coro::executor, options);
    co_await posts_in_turn(client, server.url(), 1);
    std::this_thread::sleep_for(20ms);
    co_await posts_in_turn(client, server.url(), 1);
    co_return true;
  }());
  EXPECT_EQ(server.connections(), 2u);
}

TEST(Client, RetriesTransientStatusesUntilSuccess) {
  OpenAiServer server;
  server.script({{.status = 503}, {.status = 503}});
  const Outcome outcome = call_once(server, quick());
  EXPECT_FALSE(outcome.failure);
  EXPECT_EQ(outcome.info.attempts, 3u);
  EXPECT_EQ(server.requests(), 3u);
  ASSERT_EQ(outcome.notices.size(), 2u);
  EXPECT_EQ(outcome.notices[0].attempt, 1u);
  EXPECT_EQ(outcome.notices[1].attempt, 2u);
  EXPECT_EQ(status_of(outcome.notices[1].error), 503u);
  // The 503 replies kept the connection.
  EXPECT_EQ(server.connections(), 1u);
}

TEST(Client, AttemptsNeverExceedMaxRetriesPlusOneAndTheLastErrorIsKept) {
  for (unsigned max_retries : {0u, 1u, 3u}) {
    SCOPED_TRACE(max_retries);
    OpenAiServer server;
    std::vector<Scripted> failing;
    for (unsigned status : {500u, 408u, 429u, 409u, 502u}) {
      failing.push_back({.status = status, .body = "busy " + std::to_string(status)});
    }
    server.script(failing);
    const Outcome outcome = call_once(server, quick(max_retries));
    EXPECT_EQ(outcome.info.attempts, max_retries + 1);
    EXPECT_EQ(server.requests(), max_retries + 1);
    try {
      rethrow(outcome.failure);
    } catch (const quellin::HttpError& e) {
      EXPECT_EQ(e.status(), failing[max_retries].status);
      EXPECT_EQ(e.body(), failing[max_retries].body);
    }
  }
}

TEST(Client, ClientErrorsAreNeverRetried) {
  for (unsigned status : {400u, 401u, 403u, 404u, 422u}) {
    SCOPED_TRACE(status);
    OpenAiServer server;
    server.script({{.status = status}, {.status = status}});
    const Outcome outcome = call_once(server, quick());
    EXPECT_EQ(status_of(outcome.failure), status);
    EXPECT_EQ(outcome.info.attempts, 1u);
    EXPECT_EQ(server.requests(), 1u);
  }
}

TEST(Client, RetryAfterOfOneSecondIsWaitedAtLeast) {
  OpenAiServer server;
  server.script({{.status = 429, .headers = {{"Retry-After", "1"}}}});
  const auto start = std::chrono::steady_clock::now();
  const Outcome outcome = call_once(server, quick());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_FALSE(outcome.failure);
  EXPECT_EQ(outcome.info.attempts, 2u);
  ASSERT_EQ(outcome.notices.size(), 1u);
  EXPECT_EQ(outcome.notices[0].wait, 1000ms);
}

TEST(Client, TheWaitAReplyAsksForAndWhatIsNotFollowed) {
  const auto in_seconds = [](int seconds) {
    const std::time_t when = std::time(nullptr) + seconds;
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", std::gmtime(&when));
    return std::string(text);
  };
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> headers;
    std::chrono::milliseconds at_least;
    std::chrono::milliseconds at_most;
  };
  const std::vector<Case> cases = {
      {"milliseconds first", {{"retry-after-ms", "30.2"}, {"Retry-After", "50"}}, 31ms, 31ms},
      {"seconds", {{"Retry-After", " 0 "}}, 0ms, 0ms},
      {"a date in the past", {{"Retry-After", "Sun, 06 Nov 1994 08:49:37 GMT"}}, 0ms, 0ms},
      {"a date ahead", {{"Retry-After", in_seconds(40)}}, 1000ms, 40000ms},
      // Unreadable: the backoff of quick(), 1 ms with jitter.
      {"not a number", {{"Retry-After", "soon"}, {"retry-after-ms", "-5"}}, 0ms, 1ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OpenAiServer server;
    server.script({{.status = 503, .headers = c.headers}});
    const Outcome outcome = call_once(server, quick(), true);
    ASSERT_EQ(outcome.notices.size(), 1u);
    EXPECT_GE(outcome.notices[0].wait, c.at_least);
    EXPECT_LE(outcome.notices[0].wait, c.at_most);
  }
}

TEST(Client, AWaitBeyondTheCapEndsTheCallAtOnceAndIsNamed) {
  const std::string refusal =
      "HTTP status 429 Too Many Requests: " +
      Json({{"error", {{"message", "Too Many Requests"}, {"code", 429}}}}).dump();
  struct Case {
    const char* name;
    std::pair<std::string, std::string> header;
    std::string asked;
  };
  const std::vector<Case> cases = {
      {"seconds", {"Retry-After", "3600"}, "3600 s"},
      {"milliseconds", {"retry-after-ms", "61500"}, "61.5 s"},
      {"just over", {"Retry-After", "61"}, "61 s"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OpenAiServer server;
    server.script({{.status = 429, .headers = {c.header}}});
    const Outcome outcome = call_once(server, quick());
    EXPECT_EQ(server.requests(), 1u);
    EXPECT_EQ(outcome.info.attempts, 1u);
    EXPECT_TRUE(outcome.notices.empty());
    tavrin::testing::expect_error<quellin::HttpError>(
        [&] { rethrow(outcome.failure); }, refusal + "; the server asked to wait " + c.asked +
                                               ", more than the 60 s this client waits");
  }
}

TEST(Client, BackoffDoublesUpToItsCapWithJitterBelow) {
  OpenAiServer server;
  server.script(std::vector<Scripted>(5, Scripted{.status = 500}));
  quellin::ClientOptions options = quick(5);
  options.retry.initial_backoff = 8ms;
  options.retry.max_backoff = 32ms;
  const Outcome outcome = call_once(server, options);
  ASSERT_EQ(outcome.notices.size(), 5u);
  const std::vector<int> nominal = {8, 16, 32, 32, 32};
  for (std::size_t i = 0; i < nominal.size(); ++i) {
    EXPECT_GE(outcome.notices[i].wait.count(), nominal[i] * 3 / 4) << i;
    EXPECT_LE(outcome.notices[i].wait.count(), nominal[i]) << i;
  }
}

TEST(Client, AResetInTheMiddleOfABodyIsRetried) {
  OpenAiServer server;
  server.script({{.reset_mid_body = true}});
  const Outcome retried = call_once(server, quick());
  EXPECT_FALSE(retried.failure);
  EXPECT_EQ(retried.info.attempts, 2u);
  EXPECT_EQ(server.connections(), 2u);

  server.script({{.reset_mid_body = true}});
  const Outcome not_retried = call_once(server, quick(0));
  EXPECT_EQ(not_retried.info.attempts, 1u);
  EXPECT_THROW(rethrow(not_retried.failure), quellin::TransportError);
}

TEST(Client, ARefusedConnectionIsRetriedThenReported) {
  const std::string url = "http://127.0.0.1:" + std::to_string(tavrin::testing::unused_port());
  asio::io_context context;
  quellin::Client client(context.get_executor(), quick());
  quellin::CallInfo info;
  std::exception_ptr failure;
  asio::co_spawn(context, client.post(url, kHeaders, chat_payload("x"), &info),
                 [&](std::exception_ptr e, Json) { failure = e; });
  context.run();
  EXPECT_EQ(info.attempts, 3u);
  try {
    rethrow(failure);
  } catch (const quellin::TransportError& e) {
    EXPECT_EQ(e.code(), asio::error::connection_refused);
  }
}

TEST(Client, NotJsonAndBadArgumentsAreNotRetried) {
  OpenAiServer server;
  server.script({{.body = "<html>"}});
  const Outcome outcome = call_once(server, quick());
  EXPECT_THROW(rethrow(outcome.failure), quellin::ValueError);
  EXPECT_EQ(outcome.info.attempts, 1u);

  asio::io_context context;
  quellin::Client client(context.get_executor(), quick());
  EXPECT_THROW(tavrin::testing::run(context, client.post("ftp://x/", kHeaders, Json::object())),
               quellin::ValueError);
  // Boost.URL alone reads port 99999 as 34463: the client must not call another port.
  tavrin::testing::expect_error<quellin::ValueError>(
      [&] {
        tavrin::testing::run(context,
                             client.post("http://127.0.0.1:99999/v1", kHeaders, Json::object()));
      },
      R"(url port is out of range: "99999")");
  EXPECT_THROW(
      tavrin::testing::run(context, client.post(server.url(), Json::array(), Json::object())),
      quellin::TypeError);
  EXPECT_EQ(server.requests(), 1u);
}

TEST(Client, PostTextYieldsTheBodyAsReceived) {
  OpenAiServer server;
  const std::string body = R"({"data":[{"index":0,"embedding":[0.5,-1e-3]}]} )";
  server.script({{.body = body}, {.status = 401}});
  asio::io_context context;
  quellin::Client client(context.get_executor());
  EXPECT_EQ(tavrin::testing::run(context, client.post_text(server.url("/v1/embeddings"), kHeaders,
                                                           {{"input", {"a"}}})),
            body);
  EXPECT_THROW(tavrin::testing::run(context, client.post_text(server.url("/v1/embeddings"),
                                                              kHeaders, {{"input", {"a"}}})),
               quellin::HttpError);
}

// Spawns one post that can be cancelled; `done` is set when it has ended.
struct Cancellable {
  asio::cancellation_signal signal;
  std::exception_ptr failure;
  quellin::CallInfo info;
  bool done = false;

  void spawn(asio::io_context& context, quellin::Client& client, const std::string& url) {
    asio::co_spawn(context, client.post(url, kHeaders, chat_payload("x"), &info),
                   asio::bind_cancellation_slot(signal.slot(), [this](std::exception_ptr e, Json) {
                     failure = e;
                     done = true;
                   }));
  }
  void expect_aborted(const std::string& message_start) const {
    ASSERT_TRUE(done);
    try {
      rethrow(failure);
    } catch (const quellin::TransportError& e) {
      EXPECT_EQ(e.code(), asio::error::operation_aborted);
      EXPECT_EQ(std::string(e.what()).rfind(message_start, 0), 0u) << e.what();
    }
  }
};

TEST(Client, CancellationEndsABackoffWait) {
  OpenAiServer server;
  server.script({{.status = 503}});
  asio::io_context context;
  quellin::ClientOptions options;
  options.retry.initial_backoff = options.retry.max_backoff = std::chrono::hours(1);
  Cancellable call;
  // The retry is announced just before its wait starts; the cancellation runs during it.
  options.on_retry = [&](const quellin::RetryNotice&) {
    asio::post(context, [&] { call.signal.emit(asio::cancellation_type::terminal); });
  };
  quellin::Client client(context.get_executor(), options);
  call.spawn(context, client, server.url());
  context.run_for(60s);  // returns as soon as nothing is left to do
  call.expect_aborted("quellin: wait to retry 127.0.0.1:");
  EXPECT_EQ(call.info.attempts, 1u);
  EXPECT_EQ(server.requests(), 1u);
}

TEST(Client, CancellationEndsAWaitForAFreeConnectionAndATimeoutLimitsIt) {
  // A server that never answers holds the only connection.
  tavrin::testing::LoopbackServer silent([](const std::string&) {
    return tavrin::testing::Reply{"", tavrin::testing::Reply::Then::kKeepOpen};
  });
  asio::io_context context;
  quellin::ClientOptions options = quick(0);
  options.max_connections_per_host = 1;
  options.timeout.connect = 100ms;
  quellin::Client client(context.get_executor(), options);
  Cancellable holder;
  Cancellable waiting;
  Cancellable timed_out;
  holder.spawn(context, client, silent.url());
  while (silent.requests().empty()) context.run_for(10ms);
  waiting.spawn(context, client, silent.url());
  const auto start = std::chrono::steady_clock::now();
  timed_out.spawn(context, client, silent.url());
  context.run_for(20ms);
  waiting.signal.emit(asio::cancellation_type::terminal);
  while (!waiting.done || !timed_out.done) context.run_for(10ms);
  waiting.expect_aborted("quellin: wait for a free connection to 127.0.0.1:");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  EXPECT_THROW(rethrow(timed_out.failure), quellin::TimeoutError);
  EXPECT_FALSE(holder.done);
  holder.signal.emit(asio::cancellation_type::terminal);
  context.run_for(60s);
  holder.expect_aborted("quellin: read the reply from 127.0.0.1:");
  EXPECT_EQ(silent.requests().size(), 1u);
}

TEST(Client, HttpsCallsShareOneVerifiedConnection) {
  tavrin::testing::TlsServer server("localhost");
  tavrin::testing::TrustOnly trust(tavrin::testing::tls_file("localhost.crt"));
  asio::io_context context;
  quellin::Client client(context.get_executor());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(tavrin::testing::run(context,
                                   client.post(server.url("localhost"), kHeaders, Json::object())),
              Json({{"tls", true}}));
  }
  EXPECT_EQ(server.connections(), 1u);
}

}  // namespace
