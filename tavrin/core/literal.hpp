// A parser of Python literal expressions, as Python 3.11's ast.literal_eval accepts them.
//
//   literal_eval("{'a': (1, 2.5), 'b': [True, None]}")   // -> {"a":[1,2.5],"b":[true,null]}
#pragma once

#include <string_view>

#include "tavrin/core/value.hpp"

namespace tavrin {

/// Parses one literal expression. Text that is not an expression: SyntaxError. An expression
/// that is not a literal, or a literal Value cannot hold (complex, Ellipsis, an integer outside
/// 64 bits): ValueError. An unhashable dict key or set element: TypeError.
Value literal_eval(std::string_view text);

}  // namespace tavrin
