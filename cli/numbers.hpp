// The one check of every numeric option: a value that is no number, NaN, an infinity, a
// fraction where a count is wanted, or outside the option's range is refused while the command
// line is parsed (exit status 2), with a message naming the option and the value. Both
// validators write the number back in plain decimal, so they go in with Option::transform.
//
//   command.add_option("--timeout", seconds)->transform(real_in(0.001, 86400));
//   // tavrin ask hi --timeout nan
//   // -> tavrin ask: error: --timeout: Value "nan" not in range 0.001 to 86400
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>

namespace tavrin::cli {

/// Accepts a finite decimal number from `min` to `max` (both included), shown in help as
/// "FLOAT in [min - max]".
CLI::Validator real_in(double min, double max);

/// Accepts a whole number in decimal digits from `min` to `max` (both included), shown in help
/// as "UINT in [min - max]". The value is written back without leading zeros: CLI11 would read
/// "010" as octal.
CLI::Validator count_in(std::uint64_t min, std::uint64_t max);

}  // namespace tavrin::cli
