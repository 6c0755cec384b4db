// The seeded row order of the Python data world: numpy's legacy RandomState permutation.
//
//   legacy_permutation(5, 42)   // -> {1, 4, 2, 0, 3}, as
//   numpy.random.RandomState(42).permutation(5)
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavrin::frame::internal {

/// The positions 0 .. n - 1 in the order of numpy.random.RandomState(seed).permutation(n):
/// MT19937 seeded as std::mt19937(seed), then a Fisher-Yates pass from the last position down,
/// each partner drawn by masked rejection. Portable: no standard-library distribution is used.
std::vector<std::size_t> legacy_permutation(std::size_t n, std::uint32_t seed);

}  // namespace tavrin::frame::internal
