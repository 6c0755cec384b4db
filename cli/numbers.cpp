#include "cli/numbers.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

#include "cli/common.hpp"

namespace tavrin::cli {
namespace {

// The shortest decimal text that reads back as `value`: 0.001, not std::to_string's 0.001000.
template <class Number>
std::string decimal(Number value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return {text, end};
}

// `input` read whole as a Number; false for anything else, a sign, a blank or a number that the
// type cannot hold included.
template <class Number>
bool read_whole(const std::string& input, Number& value) {
  const char* const end = input.data() + input.size();
  const auto [stop, error] = std::from_chars(input.data(), end, value);
  return error == std::errc() && stop == end && !input.empty();
}

}  // namespace

CLI::Validator real_in(double min, double max) {
  const std::string range = decimal(min) + " to " + decimal(max);
  return {[min, max, range](std::string& input) -> std::string {
            double value = 0;
            // Every comparison with NaN is false: it must be refused by name.
            if (read_whole(input, value) && std::isfinite(value) && value >= min && value <= max) {
              input = decimal(value);
              return {};
            }
            return "Value " + in_quotes(input) + " not in range " + range;
          },
          "FLOAT in [" + decimal(min) + " - " + decimal(max) + "]"};
}

CLI::Validator count_in(std::uint64_t min, std::uint64_t max) {
  const std::string range = decimal(min) + " to " + decimal(max);
  return {[min, max, range](std::string& input) -> std::string {
            std::uint64_t value = 0;
            if (read_whole(input, value) && value >= min && value <= max) {
              input = decimal(value);
              return {};
            }
            return "Value " + in_quotes(input) + " not a whole number in range " + range;
          },
          "UINT in [" + decimal(min) + " - " + decimal(max) + "]"};
}

}  // namespace tavrin::cli
