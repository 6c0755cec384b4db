// The arithmetic of unit-length vectors, which the store indexes, searches and checks on load.
//
//   std::vector<float> v = {3, 4};
//   scale_to_unit_length(v.data(), v.size());   // v == {0.6, 0.8}; false for NaN or inf
//   is_unit_length(v.data(), v.size())          // true
#pragma once

#include <cstddef>

namespace tavrin::vectorstore::internal {

/// Sum of squares, in double so that large components stay finite.
double squared_norm(const float* v, std::size_t n);

/// Scales `v` to unit length in place (a zero vector stays zero); false when `v` holds a
/// non-finite number.
bool scale_to_unit_length(float* v, std::size_t n);

/// Whether `v` has unit length, within what float rounding leaves, or is zero.
bool is_unit_length(const float* v, std::size_t n);

}  // namespace tavrin::vectorstore::internal
