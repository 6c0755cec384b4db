// Text forms of a Value, as the Python data world writes them.
//
//   repr(Value::parse(R"({"k": [1, 0.1, "it's"]})"))   // -> {'k': [1, 0.1, "it's"]}
//   str(Value("售后"))                                   // -> 售后 (a string as it is)
//   str(Value(1.0))                                     // -> 1.0
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "tavrin/core/value.hpp"

namespace tavrin {

/// The literal form of `v`, equal to Python's repr of the same value, which literal_eval
/// reads back. A byte of a string that is not UTF-8 is written as \udc80-\udcff, the way
/// Python shows such a byte decoded with surrogateescape. Nesting deeper than 1000 levels is
/// a ValueError.
std::string repr(const Value& v);

/// The text form of a cell: a string as it is, any other value its repr.
std::string str(const Value& v);

/// The terminal columns the UTF-8 `text` takes, by the Unicode tables utf8proc maintains: two
/// for a wide or full-width character (CJK, Hangul, most emoji), none for a combining mark or
/// a control character, one for any other; a byte that is not UTF-8 takes one.
std::size_t display_width(std::string_view text);

/// Whether `text` holds `word`, ASCII letters compared without case: for the wording of an
/// endpoint's error messages.
bool contains_ignoring_case(std::string_view text, std::string_view word);

}  // namespace tavrin
