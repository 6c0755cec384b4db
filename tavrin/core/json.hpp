// A standard JSON (RFC 8259) parser into Value that keeps key order.
//
//   json_loads(R"({"b": 1, "a": 2, "b": 3})")   // -> {"b":3,"a":2}
#pragma once

#include <string_view>

#include "tavrin/core/value.hpp"

namespace tavrin {

/// Parses one JSON text. A repeated key keeps its first position and takes the last value.
/// Malformed input is a ValueError that gives line and column; so are what the standard leaves
/// to the parser and Value cannot hold exactly: an integer beyond 64 bits, a number beyond the
/// double range, a lone surrogate escape, and nesting deeper than 1000 levels. NaN and Infinity
/// are not JSON and are refused.
Value json_loads(std::string_view text);

}  // namespace tavrin
