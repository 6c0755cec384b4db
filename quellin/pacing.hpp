// Pacing of the requests to one endpoint under its rate limits, by requests and by tokens a
// minute, so that a large job stays under them instead of living on 429s. The limits come from
// the caller (by hand) or from the endpoint's replies (x-ratelimit-limit-*, -remaining-* and
// -reset-*), whichever is known; a reply's remaining count lowers what is left at once.
//
//   quellin::Pacer pacer(executor, {.tokens_per_minute = 40000});
//   ClientOptions options{.pacer = std::make_shared<quellin::Pacer>(executor, limits)};
//   co_await client.post(url, headers, payload, &info, {.prompt = 120, .completion_cap = 256});
//   options.pacer->correct(120, usage_prompt_tokens);   // from the reply's usage
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "quellin/quellin.hpp"

namespace quellin {

/// Limits by hand; each left out is taken from the endpoint's replies when they give it.
struct RateLimits {
  std::optional<double> requests_per_minute{};
  std::optional<double> tokens_per_minute{};
  /// Whether the replies' x-ratelimit-* fields are followed at all.
  bool follow_replies = true;
};

/// What a request counts against a tokens-a-minute limit, before it is sent: its prompt's
/// tokens (an estimate, which the pacer corrects by what replies report) and the most its answer
/// may take, which endpoints count when they take the request.
struct RequestTokens {
  std::uint64_t prompt = 0;
  std::uint64_t completion_cap = 0;
};

/// "1s", "6m0s", "20ms", "1h2m3.5s", "0.5s" as an x-ratelimit-reset-* field writes a wait; also
/// a bare number of seconds. nullopt for anything else.
std::optional<std::chrono::milliseconds> parse_reset(std::string_view text);

/// Paces the requests made through it, as token buckets: a limit per minute refills at a
/// steady rate up to the limit. The calls run on `executor`, which must not run two handlers
/// at once; the pacer is not otherwise synchronised.
class Pacer {
 public:
  explicit Pacer(boost::asio::any_io_executor executor, RateLimits limits = {});

  /// Waits until one request of `tokens` fits under every limit known, then takes its share:
  /// its prompt's estimate times the largest ratio of actual to estimated prompt tokens seen
  /// (correct), plus its completion cap. A request larger than the token limit waits for a
  /// full bucket. Cancelling the awaiting coroutine ends the wait.
  /// Yields the tokens it took, which are in flight until release().
  boost::asio::awaitable<double> acquire(RequestTokens tokens);

  /// What the reply to a request that took `share` said in its x-ratelimit-* fields, and
  /// whether it was a 429. A limit learnt now counts the other requests in flight as spent: the
  /// endpoint counted them, or will.
  void observe(const ReplyHead& reply, double share = 0);

  /// A request that took `share` has its reply, or will never have one.
  void release(double share) noexcept {
    in_flight_ -= share;
    --requests_in_flight_;
  }

  /// A request whose prompt was estimated at `estimated` tokens really had `actual` (the
  /// reply's usage): what it had beyond what was taken is spent too, and later estimates are
  /// scaled up to it. Less gives nothing back.
  void correct(std::uint64_t estimated, std::uint64_t actual);

  /// Time spent waiting in acquire, in all.
  std::chrono::milliseconds waited() const noexcept { return waited_; }
  /// Replies observed whose status was 429 (a rate limit reached).
  std::size_t rate_limited() const noexcept { return rate_limited_; }

 private:
  using Clock = std::chrono::steady_clock;

  struct Bucket {
    double limit = 0;  // a minute's worth; 0 while unknown (no pacing)
    double level = 0;  // what may be spent now
    double rate = 0;   // refill a second
    bool by_hand = false;
    Clock::time_point updated{};

    void set_limit(double per_minute, Clock::time_point now);
    void refill(Clock::time_point now);
    // How long until `cost` fits; zero when it does.
    Clock::duration wait_for(double cost) const;
  };

  void follow(Bucket& bucket, const ReplyHead& reply, std::string_view kind, double others);

  boost::asio::any_io_executor executor_;
  bool follow_replies_;
  Bucket requests_;
  Bucket tokens_;
  double prompt_ratio_ = 1;
  // Requests and tokens taken by requests whose replies have not come yet.
  std::size_t requests_in_flight_ = 0;
  double in_flight_ = 0;  // actual prompt tokens over the estimate, the largest seen
  std::chrono::milliseconds waited_{0};
  std::size_t rate_limited_ = 0;
};

}  // namespace quellin
