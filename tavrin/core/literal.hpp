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
///
/// Tuples and sets become arrays (a set keeps the first of equal elements, in order); a dict
/// keeps the first place of a repeated key and takes its last value. A key that is not text,
/// complex and Ellipsis included, is stored under its Python repr; a key whose repr equals a
/// text key of the same dict cannot be held (ValueError). \udc80-\udcff escapes give the raw
/// bytes 0x80-0xff, as repr writes bytes that are not UTF-8; \N{...} escapes are read as
/// Python 3.11 reads them, but from the Unicode 15.0 names, so that the names of characters
/// new in 15.0 are known here only. More than 200 nested brackets: SyntaxError. `text` must be
/// UTF-8 without NUL.
Value literal_eval(std::string_view text);

}  // namespace tavrin
