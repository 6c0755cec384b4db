#include "tavrin/frame/internal/shuffle.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace tavrin::frame::internal {
namespace {

using ::testing::ElementsAreArray;

// Sum of position * value: one number that changes when any two values trade places.
std::uint64_t fingerprint(const std::vector<std::size_t>& order) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < order.size(); ++i) {
    sum += i * order[i];
  }
  return sum;
}

struct NumpyOrder {
  std::size_t n;
  std::vector<std::size_t> head;  // first (up to) ten values
  std::vector<std::size_t> tail;  // last three values
  std::uint64_t fingerprint;
};

// Obtained from numpy 1.24: p = RandomState(42).permutation(n); p[:10], p[-3:], (p*arange(n)).sum()
TEST(LegacyPermutation, MatchesNumpyRandomStateForSeed42) {
  const std::vector<NumpyOrder> cases = {
      {0, {}, {}, 0},
      {1, {0}, {0}, 0},
      {2, {1, 0}, {1, 0}, 0},
      {3, {0, 1, 2}, {0, 1, 2}, 5},
      {9, {7, 1, 5, 0, 8, 2, 4, 3, 6}, {4, 3, 6}, 146},
      {10, {8, 1, 5, 0, 7, 2, 9, 4, 3, 6}, {4, 3, 6}, 209},
      {100, {83, 53, 70, 45, 44, 39, 22, 80, 10, 0}, {14, 92, 51}, 257580},
      {1000, {521, 737, 740, 660, 411, 678, 626, 513, 859, 136}, {860, 435, 102}, 251374799},
      {100000,
       {75721, 80184, 19864, 76699, 92991, 76434, 84004, 80917, 60767, 50074},
       {76820, 860, 15795},
       249851129327323},
  };
  for (const NumpyOrder& expected : cases) {
    SCOPED_TRACE(expected.n);
    const std::vector<std::size_t> order = legacy_permutation(expected.n, 42);
    ASSERT_EQ(order.size(), expected.n);
    const std::size_t head = std::min<std::size_t>(10, expected.n);
    const std::size_t tail = std::min<std::size_t>(3, expected.n);
    EXPECT_THAT(std::vector<std::size_t>(order.begin(), order.begin() + head),
                ElementsAreArray(expected.head));
    EXPECT_THAT(std::vector<std::size_t>(order.end() - tail, order.end()),
                ElementsAreArray(expected.tail));
    EXPECT_EQ(fingerprint(order), expected.fingerprint);
  }
}

TEST(LegacyPermutation, OtherSeedsIncludingTheLargestMatchNumpy) {
  using Order = std::vector<std::size_t>;
  EXPECT_EQ(legacy_permutation(6, 0), (Order{5, 2, 1, 3, 0, 4}));
  EXPECT_EQ(legacy_permutation(6, 7), (Order{3, 5, 0, 2, 1, 4}));
  EXPECT_EQ(legacy_permutation(6, 4294967295u), (Order{1, 4, 5, 0, 2, 3}));
}

}  // namespace
}  // namespace tavrin::frame::internal
