#include "tavrin/labeling/budget.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tavrin::labeling {
namespace {

Value usage(std::uint64_t prompt, std::uint64_t completion) {
  return {{"prompt_tokens", prompt}, {"completion_tokens", completion}};
}

TEST(EstimatePromptTokens, FourAsciiBytesOrOneOtherCharacterAToken) {
  EXPECT_EQ(estimate_prompt_tokens(""), 0u);
  EXPECT_EQ(estimate_prompt_tokens("abcd"), 1u);
  EXPECT_EQ(estimate_prompt_tokens("abcde"), 2u);
  EXPECT_EQ(estimate_prompt_tokens("售后服务"), 4u);  // twelve bytes, four characters
  EXPECT_EQ(estimate_prompt_tokens("类别: 退款"), 5u);
}

TEST(TokenBudget, BoundsByBytesUntilARepliesTellsThenByTheCorrectedEstimate) {
  TokenBudget budget({.limit = 1000, .completion_cap = 50});
  const std::string prompt(400, 'x');  // 100 estimated tokens
  const auto first = budget.reserve(prompt);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->bound, 400 + kMessageOverheadTokens + 50);
  EXPECT_EQ(first->estimate, 100u);
  budget.settle(*first, usage(120, 30));
  EXPECT_EQ(budget.used(), 150u);
  EXPECT_DOUBLE_EQ(budget.correction(), 1.2);
  // 100 estimated tokens at 1.2 with a quarter more: 150, never above the bytes.
  const auto second = budget.reserve(prompt);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->bound, 150 + kMessageOverheadTokens + 50);
  budget.settle(*second, Value());  // failed: not billed, and no lesson
  EXPECT_EQ(budget.used(), 150u);
  // An earlier run's ratio bounds the first request already.
  TokenBudget recorded({.limit = 1000, .completion_cap = 50, .correction = 0.5});
  EXPECT_EQ(recorded.reserve(prompt)->bound, 63 + kMessageOverheadTokens + 50);
}

TEST(TokenBudget, RefusesTheRequestThatCouldPassTheLimitAndEverythingAfterIt) {
  TokenBudget budget({.limit = 300, .completion_cap = 10, .correction = 1});
  const std::string prompt(200, 'x');  // bound: 50 * 1.25 + 8 + 10 = 81
  std::vector<TokenBudget::Reservation> in_flight;
  for (int i = 0; i < 3; ++i) {
    const auto r = budget.reserve(prompt);
    ASSERT_TRUE(r) << i;
    in_flight.push_back(*r);
  }
  EXPECT_FALSE(budget.reserve(prompt));  // 4 * 81 > 300 while three are in flight
  EXPECT_TRUE(budget.spent());
  for (const auto& r : in_flight) budget.settle(r, usage(50, 5));
  EXPECT_FALSE(budget.reserve(prompt)) << "once spent, nothing more is sent";
  EXPECT_EQ(budget.used(), 165u);
}

}  // namespace
}  // namespace tavrin::labeling
