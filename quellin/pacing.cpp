#include "quellin/pacing.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace quellin {
namespace {

constexpr double kSecondsPerMinute = 60;

// A number at the start of `text`, taken off it.
std::optional<double> take_number(std::string_view& text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data() || !std::isfinite(value) || value < 0) {
    return std::nullopt;
  }
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return value;
}

std::optional<double> field_number(const ReplyHead& reply, const std::string& name) {
  const std::optional<std::string_view> field = reply.find(name);
  if (!field) return std::nullopt;
  std::string_view text = *field;
  const std::optional<double> value = take_number(text);
  return value && text.empty() ? value : std::nullopt;
}

}  // namespace

std::optional<std::chrono::milliseconds> parse_reset(std::string_view text) {
  if (text.empty()) return std::nullopt;
  double seconds = 0;
  std::string_view rest = text;
  const std::optional<double> bare = take_number(rest);
  if (bare && rest.empty()) {
    seconds = *bare;
  } else {
    rest = text;
    while (!rest.empty()) {
      const std::optional<double> value = take_number(rest);
      if (!value) return std::nullopt;
      double unit = 0;
      if (rest.starts_with("ms")) {
        unit = 0.001;
        rest.remove_prefix(2);
      } else if (rest.starts_with("h")) {
        unit = 3600;
        rest.remove_prefix(1);
      } else if (rest.starts_with("m")) {
        unit = 60;
        rest.remove_prefix(1);
      } else if (rest.starts_with("s")) {
        unit = 1;
        rest.remove_prefix(1);
      } else {
        return std::nullopt;
      }
      seconds += *value * unit;
    }
  }
  if (seconds > 86400) return std::nullopt;  // no endpoint asks for more than a day
  return std::chrono::milliseconds(std::llround(seconds * 1000));
}

void Pacer::Bucket::set_limit(double per_minute, Clock::time_point now) {
  refill(now);
  if (limit == 0) level = per_minute;  // a limit learnt now starts full
  limit = per_minute;
  rate = per_minute / kSecondsPerMinute;
  level = std::min(level, limit);
}

void Pacer::Bucket::refill(Clock::time_point now) {
  if (updated != Clock::time_point{} && now > updated) {
    const double seconds = std::chrono::duration<double>(now - updated).count();
    level = std::min(limit, level + rate * seconds);
  }
  updated = now;
}

Pacer::Clock::duration Pacer::Bucket::wait_for(double cost) const {
  if (limit == 0 || level >= cost) return Clock::duration::zero();
  if (rate <= 0) return std::chrono::seconds(1);
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>((cost - level) / rate));
}

Pacer::Pacer(boost::asio::any_io_executor executor, RateLimits limits)
    : executor_(std::move(executor)), follow_replies_(limits.follow_replies) {
  const Clock::time_point now = Clock::now();
  if (limits.requests_per_minute) {
    requests_.set_limit(*limits.requests_per_minute, now);
    requests_.by_hand = true;
  }
  if (limits.tokens_per_minute) {
    tokens_.set_limit(*limits.tokens_per_minute, now);
    tokens_.by_hand = true;
  }
}

boost::asio::awaitable<double> Pacer::acquire(RequestTokens tokens) {
  const double cost = std::ceil(static_cast<double>(tokens.prompt) * prompt_ratio_) +
                      static_cast<double>(tokens.completion_cap);
  boost::asio::steady_timer timer(executor_);
  for (;;) {
    const Clock::time_point now = Clock::now();
    requests_.refill(now);
    tokens_.refill(now);
    // A request larger than the whole token limit waits for a full bucket, then goes.
    const double token_cost = tokens_.limit > 0 ? std::min(cost, tokens_.limit) : 0;
    const Clock::duration wait = std::max(requests_.wait_for(1), tokens_.wait_for(token_cost));
    if (wait == Clock::duration::zero()) {
      if (requests_.limit > 0) requests_.level -= 1;
      tokens_.level -= token_cost;
      in_flight_ += cost;
      ++requests_in_flight_;
      co_return cost;
    }
    timer.expires_after(wait);
    co_await timer.async_wait(boost::asio::use_awaitable);
    waited_ += std::chrono::duration_cast<std::chrono::milliseconds>(wait);
  }
}

void Pacer::follow(Bucket& bucket, const ReplyHead& reply, std::string_view kind, double others) {
  const std::string suffix(kind);
  const Clock::time_point now = Clock::now();
  bool learnt = false;
  if (!bucket.by_hand) {
    if (const auto limit = field_number(reply, "x-ratelimit-limit-" + suffix);
        limit && *limit > 0) {
      learnt = bucket.limit == 0;
      if (*limit != bucket.limit) bucket.set_limit(*limit, now);
    }
  }
  if (bucket.limit == 0) return;
  bucket.refill(now);
  const auto remaining = field_number(reply, "x-ratelimit-remaining-" + suffix);
  if (!remaining) return;
  // The endpoint's count is the truth when it is lower: other clients share the limit. The
  // requests sent before the limit was known were taken from no bucket.
  bucket.level = std::min(bucket.level, *remaining - (learnt ? others : 0));
  // Seconds until the limit is whole again; 0 when the reply does not say.
  double reset = 0;
  if (const auto field = reply.find("x-ratelimit-reset-" + suffix)) {
    reset =
        std::chrono::duration<double>(parse_reset(*field).value_or(std::chrono::milliseconds(0)))
            .count();
  }
  if (reset <= 0) return;
  // The time until the limit is whole again gives the refill rate the endpoint applies.
  if (!bucket.by_hand && *remaining < bucket.limit) {
    bucket.rate = (bucket.limit - *remaining) / reset;
  }
  // Nothing is left until the reset: the refill must not hand out more before it.
  if (*remaining == 0) bucket.level = std::min(bucket.level, -bucket.rate * reset + 1);
}

void Pacer::observe(const ReplyHead& reply, double share) {
  if (reply.status == 429) ++rate_limited_;
  if (!follow_replies_ || reply.status == 0) return;
  const auto other_requests =
      static_cast<double>(requests_in_flight_ > 0 ? requests_in_flight_ - 1 : 0);
  follow(requests_, reply, "requests", other_requests);
  follow(tokens_, reply, "tokens", in_flight_ - share);
}

void Pacer::correct(std::uint64_t estimated, std::uint64_t actual) {
  if (estimated == 0 || actual == 0) return;
  const double taken = std::ceil(static_cast<double>(estimated) * prompt_ratio_);
  if (tokens_.limit > 0 && static_cast<double>(actual) > taken) {
    tokens_.level -= static_cast<double>(actual) - taken;
  }
  // A bound on the ratio: one odd reply must not stall the job.
  constexpr double kMostRatio = 16;
  prompt_ratio_ = std::clamp(static_cast<double>(actual) / static_cast<double>(estimated),
                             prompt_ratio_, kMostRatio);
}

}  // namespace quellin
