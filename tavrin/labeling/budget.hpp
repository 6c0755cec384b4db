// A token budget for one run of the labelling job: every request is bounded before it is sent
// (its prompt's tokens, at most, plus the completion cap it carries), and none is sent once the
// tokens used plus the bounds of the requests in flight would pass the budget.
//
//   TokenBudget budget({.limit = 100000, .completion_cap = 256});
//   const TokenBudget::Reservation r = budget.reserve(prompt);   // nullopt: the budget is spent
//   ... send the request with max_tokens 256 ...
//   budget.settle(*r, reply.usage);                               // what it really cost
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "tavrin/core/value.hpp"

namespace tavrin::labeling {

/// Prompt tokens a tokenizer of today gives `text`, roughly: four ASCII bytes or one other
/// character a token. What an endpoint reported corrects it (TokenBudget::correction).
std::uint64_t estimate_prompt_tokens(std::string_view text);

/// Tokens a chat request's messages add around the prompt (roles, separators).
inline constexpr std::uint64_t kMessageOverheadTokens = 8;

class TokenBudget {
 public:
  struct Settings {
    std::uint64_t limit = 0;           // prompt + completion tokens, this run
    std::uint64_t completion_cap = 0;  // the completion tokens each request may take at most
    // Actual prompt tokens over estimate_prompt_tokens, as an earlier run found it; 0: unknown,
    // and the bound of a prompt is its bytes until a reply says more.
    double correction = 0;
  };

  /// What one request holds of the budget while it is in flight.
  struct Reservation {
    std::uint64_t bound = 0;     // the most it can cost
    std::uint64_t estimate = 0;  // estimate_prompt_tokens of its prompt
  };

  explicit TokenBudget(Settings settings);

  /// The bound of a request of `prompt`, reserved; nullopt, and spent() from then on, when the
  /// tokens used and reserved plus this bound would pass the limit.
  std::optional<Reservation> reserve(std::string_view prompt);

  /// A request ended: its reservation is let go and the tokens of its `usage` count as used
  /// (none when it has none: a failed request is not billed). Its prompt tokens over the
  /// estimate correct the bounds of the requests after it.
  void settle(const Reservation& reservation, const Value& usage);

  /// A request was refused for the budget; nothing more is sent.
  bool spent() const noexcept { return spent_; }
  std::uint64_t used() const noexcept { return used_; }
  std::uint64_t limit() const noexcept { return settings_.limit; }
  /// The largest actual-over-estimate ratio seen (or given), 0 while none is known.
  double correction() const noexcept { return correction_; }

 private:
  std::uint64_t prompt_bound(std::string_view prompt, std::uint64_t estimate) const;

  Settings settings_;
  double correction_;
  std::uint64_t used_ = 0;
  std::uint64_t reserved_ = 0;
  bool spent_ = false;
};

}  // namespace tavrin::labeling
