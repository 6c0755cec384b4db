// A standard JSON (RFC 8259) parser into Value that keeps key order.
//
//   json_loads(R"({"b": 1, "a": 2, "b": 3})")   // -> {"b":3,"a":2}
#pragma once

#include <string_view>

#include "tavrin/core/value.hpp"

namespace tavrin {

/// Parses one JSON text. A repeated key keeps its first position and takes the last value.
/// Malformed input is a ValueError that gives line and column.
Value json_loads(std::string_view text);

}  // namespace tavrin
