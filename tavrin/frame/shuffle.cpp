#include "tavrin/frame/internal/shuffle.hpp"

#include <numeric>
#include <random>
#include <utility>

namespace tavrin::frame::internal {
namespace {

// A uniform draw from [0, max]: outputs masked to the smallest all-ones mask covering `max`,
// values above `max` rejected. 32-bit outputs while `max` fits in 32 bits, else two outputs
// joined high word first, exactly as numpy's random_interval does.
std::uint64_t random_interval(std::mt19937& generator, std::uint64_t max) {
  if (max == 0) {
    return 0;
  }
  std::uint64_t mask = max;
  for (int shift = 1; shift <= 32; shift *= 2) {
    mask |= mask >> shift;
  }
  std::uint64_t value = 0;
  if (max <= 0xFFFFFFFFu) {
    do {
      value = generator() & mask;
    } while (value > max);
  } else {
    do {
      const std::uint64_t high = generator();
      value = ((high << 32) | generator()) & mask;
    } while (value > max);
  }
  return value;
}

}  // namespace

std::vector<std::size_t> legacy_permutation(std::size_t n, std::uint32_t seed) {
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::mt19937 generator(seed);
  for (std::size_t i = n; i > 1; --i) {
    const std::size_t last = i - 1;
    std::swap(order[last], order[random_interval(generator, last)]);
  }
  return order;
}

}  // namespace tavrin::frame::internal
