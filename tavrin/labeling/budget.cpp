#include "tavrin/labeling/budget.hpp"

#include <algorithm>
#include <cmath>

#include "tavrin/labeling/results.hpp"

namespace tavrin::labeling {
namespace {

// The bound is the corrected estimate with this margin, for prompts that tokenize worse than
// the ones seen so far.
constexpr double kMargin = 1.25;

}  // namespace

std::uint64_t estimate_prompt_tokens(std::string_view text) {
  std::uint64_t ascii = 0;
  std::uint64_t others = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      ++ascii;
    } else if ((byte & 0xC0) != 0x80) {  // the first byte of a character
      ++others;
    }
  }
  return (ascii + 3) / 4 + others;
}

TokenBudget::TokenBudget(Settings settings)
    : settings_(settings), correction_(std::max(settings.correction, 0.0)) {}

std::uint64_t TokenBudget::prompt_bound(std::string_view prompt, std::uint64_t estimate) const {
  // A byte-level tokenizer never makes more tokens than bytes: the bound until a reply tells.
  const std::uint64_t bytes = prompt.size();
  if (correction_ <= 0) return bytes + kMessageOverheadTokens;
  const double corrected = std::ceil(static_cast<double>(estimate) * correction_ * kMargin);
  return std::min<std::uint64_t>(bytes, static_cast<std::uint64_t>(corrected)) +
         kMessageOverheadTokens;
}

std::optional<TokenBudget::Reservation> TokenBudget::reserve(std::string_view prompt) {
  if (spent_) return std::nullopt;
  Reservation r;
  r.estimate = estimate_prompt_tokens(prompt);
  r.bound = prompt_bound(prompt, r.estimate) + settings_.completion_cap;
  if (used_ + reserved_ + r.bound > settings_.limit) {
    spent_ = true;
    return std::nullopt;
  }
  reserved_ += r.bound;
  return r;
}

void TokenBudget::settle(const Reservation& reservation, const Value& usage) {
  reserved_ -= std::min(reserved_, reservation.bound);
  const std::uint64_t prompt = token_count(usage, "prompt_tokens");
  used_ += prompt + token_count(usage, "completion_tokens");
  if (prompt > 0 && reservation.estimate > 0) {
    const double seen = static_cast<double>(prompt) / static_cast<double>(reservation.estimate);
    correction_ = std::max(correction_, seen);
  }
}

}  // namespace tavrin::labeling
