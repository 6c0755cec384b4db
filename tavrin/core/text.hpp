// Text forms of a Value, as the Python data world writes them.
//
//   repr(Value::parse(R"({"k": [1, 0.1, "it's"]})"))   // -> {'k': [1, 0.1, "it's"]}
//   str(Value("售后"))                                   // -> 售后 (a string as it is)
//   str(Value(1.0))                                     // -> 1.0
#pragma once

#include <string>

#include "tavrin/core/value.hpp"

namespace tavrin {

/// The literal form of `v`, equal to Python's repr of the same value, which literal_eval
/// reads back. A byte of a string that is not UTF-8 is written as \udc80-\udcff, the way
/// Python shows such a byte decoded with surrogateescape. Nesting deeper than 1000 levels is
/// a ValueError.
std::string repr(const Value& v);

/// The text form of a cell: a string as it is, any other value its repr.
std::string str(const Value& v);

}  // namespace tavrin
