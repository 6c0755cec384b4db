// Appending forms of the text writers, for loops that build one large text (a CSV file, a store
// sidecar) without a temporary string per value.
#pragma once

#include <array>
#include <charconv>
#include <string>

#include "tavrin/core/value.hpp"

namespace tavrin::internal {

/// Appends `n` (an integer, or a double in its shortest round-trip form) as std::to_chars
/// writes it.
template <class Number>
void append_chars(std::string& out, Number n) {
  std::array<char, 32> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), n);
  out.append(buffer.data(), result.ptr);
}

/// Appends repr(v).
void repr_into(std::string& out, const Value& v);

}  // namespace tavrin::internal
