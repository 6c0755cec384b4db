// Reading a decimal number as a double, shared by the parsers of tavrin::core.
#pragma once

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <system_error>

namespace tavrin::core::internal {

/// The double nearest the decimal number `digits` (digits, an optional '.' and an optional
/// exponent; no sign, no '_'), correctly rounded like Python's float(); beyond the double
/// range, infinity or 0.0 as Python gives.
inline double parse_decimal_float(std::string_view digits) {
  // Clinger's fast path, for the short decimals of most texts: at most 15 digits make an
  // integer that a double holds exactly, and so does a power of ten up to 1e15; the quotient
  // of the two is then correctly rounded by the division itself.
  constexpr std::size_t kExactDigits = 15;
  if (digits.size() <= kExactDigits + 1) {
    static constexpr std::array<double, kExactDigits + 1> kPowersOfTen = {
        1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    std::uint64_t mantissa = 0;
    std::size_t count = 0;
    std::size_t point = digits.size();
    for (std::size_t i = 0; i < digits.size(); ++i) {
      const char c = digits[i];
      if (c >= '0' && c <= '9') {
        mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
        ++count;
      } else if (c == '.' && point == digits.size()) {
        point = i;
      } else {
        count = kExactDigits + 1;  // an exponent: the general road
        break;
      }
    }
    if (count <= kExactDigits) {
      const std::size_t after_point = point == digits.size() ? 0 : digits.size() - point - 1;
      return static_cast<double>(mantissa) / kPowersOfTen[after_point];
    }
  }
  double d = 0;
  const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), d);
  if (r.ec != std::errc::result_out_of_range) return d;
  const std::size_t e = digits.find_first_of("eE");
  const std::string_view mantissa = digits.substr(0, e);
  int exponent = 0;
  if (e != std::string_view::npos) {
    std::string_view rest = digits.substr(e + 1);
    const bool minus = !rest.empty() && rest[0] == '-';
    if (!rest.empty() && (rest[0] == '-' || rest[0] == '+')) rest.remove_prefix(1);
    int magnitude = 0;
    if (std::from_chars(rest.data(), rest.data() + rest.size(), magnitude).ec != std::errc()) {
      magnitude = std::numeric_limits<int>::max() / 2;
    }
    exponent = minus ? -magnitude : magnitude;
  }
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  const std::size_t first = mantissa.find_first_of("123456789");
  const long long scale = first < point ? static_cast<long long>(point - first)
                                        : -static_cast<long long>(first - point);
  return scale + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

}  // namespace tavrin::core::internal
