// A JSON parser into Value that keeps key order and reads what Python's json.loads reads.
//
//   json_loads(R"({"b": 1, "a": 2, "b": 3})")   // -> {"b":3,"a":2}
//   json_loads(R"({"score": NaN})")             // -> {"score":NaN}
#pragma once

#include <string_view>

#include "tavrin/core/value.hpp"

namespace tavrin {

/// Parses one JSON text as Python's json.loads does: RFC 8259 JSON, and also NaN, Infinity and
/// -Infinity, and numbers beyond the double range as infinity (1E400) or zero (1e-400). A
/// repeated key keeps its first position and takes the last value. Malformed input is a
/// ValueError worded as Python words it, with line and column (a leading byte order mark is
/// refused, as there); so are what Value cannot hold: an integer beyond 64 bits and a lone
/// surrogate escape; and nesting deeper than 1000 levels. Places that must read strict RFC 8259
/// only need a reader of their own.
Value json_loads(std::string_view text);

}  // namespace tavrin
