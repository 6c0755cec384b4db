#include "tavrin/vectorstore/internal/unit_vectors.hpp"

#include <cmath>

namespace tavrin::vectorstore::internal {

namespace {
constexpr double kUnitLengthTolerance = 1e-3;
}  // namespace

// In four partial sums, so the compiler can vectorise.
double squared_norm(const float* v, std::size_t n) {
  double partial[4] = {0, 0, 0, 0};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (std::size_t lane = 0; lane < 4; ++lane) {
      partial[lane] += static_cast<double>(v[i + lane]) * v[i + lane];
    }
  }
  for (; i < n; ++i) partial[0] += static_cast<double>(v[i]) * v[i];
  return (partial[0] + partial[1]) + (partial[2] + partial[3]);
}

bool scale_to_unit_length(float* v, std::size_t n) {
  const double squares = squared_norm(v, n);
  if (!std::isfinite(squares)) return false;
  if (squares == 0) return true;
  const double scale = 1.0 / std::sqrt(squares);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<float>(v[i] * scale);
  return true;
}

bool is_unit_length(const float* v, std::size_t n) {
  const double squares = squared_norm(v, n);
  return squares == 0 || std::abs(squares - 1) < kUnitLengthTolerance;
}

}  // namespace tavrin::vectorstore::internal
