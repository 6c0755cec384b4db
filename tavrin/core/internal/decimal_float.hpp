// Reading a decimal number as a double, shared by the parsers of tavrin::core.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <limits>
#include <string_view>
#include <system_error>

namespace tavrin::core::internal {

/// The double nearest the decimal number `digits` (digits, an optional '.' and an optional
/// exponent; no sign, no '_'), correctly rounded like Python's float(); beyond the double
/// range, infinity or 0.0 as Python gives.
inline double parse_decimal_float(std::string_view digits) {
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
