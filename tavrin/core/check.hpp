// Entry checks of dynamic parameters, shared by every operation so that the messages agree.
//
//   require_object(labels, "labels");   // throws TypeError("labels must be a mapping, not array")
#pragma once

#include <string_view>

#include "tavrin/core/value.hpp"

namespace tavrin {

/// The kind of `v` as messages spell it: "null", "bool", "integer", "float", "string",
/// "array", "object" or "binary".
std::string_view kind_name(const Value& v) noexcept;

/// Throws TypeError naming `parameter` unless `v` is an object.
void require_object(const Value& v, std::string_view parameter);

/// Throws TypeError naming `parameter` unless `v` is an array.
void require_array(const Value& v, std::string_view parameter);

}  // namespace tavrin
