#include "quellin/pacing.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include <boost/asio/io_context.hpp>

#include "tests/support/run_awaitable.hpp"

namespace {

using namespace std::chrono_literals;
using quellin::Pacer;
using quellin::ReplyHead;

TEST(ParseReset, TheWaitsEndpointsWrite) {
  EXPECT_EQ(quellin::parse_reset("1s"), 1000ms);
  EXPECT_EQ(quellin::parse_reset("6m0s"), 360000ms);
  EXPECT_EQ(quellin::parse_reset("20ms"), 20ms);
  EXPECT_EQ(quellin::parse_reset("1h2m3.5s"), 3723500ms);
  EXPECT_EQ(quellin::parse_reset("0.5s"), 500ms);
  EXPECT_EQ(quellin::parse_reset("2"), 2000ms);
  for (const char* bad : {"", "s", "1x", "-1s", "1s2", "nan", "99999999s"}) {
    EXPECT_EQ(quellin::parse_reset(bad), std::nullopt) << bad;
  }
}

ReplyHead head(std::initializer_list<std::pair<const char*, const char*>> fields) {
  ReplyHead reply{.status = 200, .fields = {}};
  for (const auto& [name, value] : fields) reply.fields.push_back({name, value});
  return reply;
}

// Acquires `count` requests of `tokens` each; the time the pacer planned to wait, which it
// counts from its own buckets, not from the clock.
std::chrono::milliseconds acquire(Pacer& pacer, boost::asio::io_context& context, int count,
                                  std::uint64_t tokens) {
  const auto before = pacer.waited();
  for (int i = 0; i < count; ++i) {
    pacer.release(tavrin::testing::run(context, pacer.acquire({.prompt = tokens})));
  }
  return pacer.waited() - before;
}

TEST(Pacer, ALimitByHandLetsAMinutesWorthGoThenWaitsForTheRefill) {
  boost::asio::io_context context;
  Pacer pacer(context.get_executor(), {.requests_per_minute = 60});
  EXPECT_EQ(acquire(pacer, context, 60, 0), 0ms);
  EXPECT_GT(acquire(pacer, context, 1, 0), 500ms);  // one a second
  Pacer unlimited(context.get_executor());
  EXPECT_EQ(acquire(unlimited, context, 1000, 1000000), 0ms);
}

TEST(Pacer, FollowsTheLimitAndTheResetTheRepliesGive) {
  boost::asio::io_context context;
  Pacer pacer(context.get_executor());
  // 1000 tokens, 100 left, whole again in 900 ms: a refill of a token a millisecond.
  pacer.observe(head({{"x-ratelimit-limit-tokens", "1000"},
                      {"x-ratelimit-remaining-tokens", "100"},
                      {"x-ratelimit-reset-tokens", "900ms"}}));
  EXPECT_EQ(acquire(pacer, context, 1, 100), 0ms);
  const auto waited = acquire(pacer, context, 1, 300);
  EXPECT_GT(waited, 250ms);
  EXPECT_LT(waited, 1000ms);
  // Nothing left until the reset: the next request waits for it.
  pacer.observe(head({{"x-ratelimit-limit-requests", "5000"},
                      {"X-RateLimit-Remaining-Requests", "0"},
                      {"x-ratelimit-reset-requests", "400ms"}}));
  EXPECT_GT(acquire(pacer, context, 1, 0), 300ms);
  // Replies are not followed when told so, and a limit by hand is kept.
  Pacer deaf(context.get_executor(), {.tokens_per_minute = 1e9, .follow_replies = false});
  deaf.observe(head({{"x-ratelimit-limit-tokens", "10"}, {"x-ratelimit-remaining-tokens", "0"}}));
  EXPECT_EQ(acquire(deaf, context, 10, 1000), 0ms);
}

TEST(Pacer, ThePromptTokensARequestReallyTookCorrectItAndTheLaterEstimates) {
  boost::asio::io_context context;
  Pacer pacer(context.get_executor(), {.tokens_per_minute = 60000});  // 1000 a second
  EXPECT_EQ(acquire(pacer, context, 1, 10000), 0ms);
  pacer.correct(10000, 30000);                       // three times the estimate: 20000 more spent
  EXPECT_EQ(acquire(pacer, context, 1, 9900), 0ms);  // 29700 of the 30000 left
  const auto waited = acquire(pacer, context, 1, 200);  // 600 of 300 left
  EXPECT_GT(waited, 200ms);
  EXPECT_LT(waited, 1000ms);
  // The completion cap counts as it is.
  Pacer capped(context.get_executor(), {.tokens_per_minute = 60000});
  capped.release(
      tavrin::testing::run(context, capped.acquire({.prompt = 0, .completion_cap = 60000})));
  EXPECT_GT(acquire(capped, context, 1, 100), 50ms);
}

}  // namespace
