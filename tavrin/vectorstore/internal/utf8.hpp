// UTF-8 well-formedness, shared by the embedding model and the store writer.
#pragma once

#include <cstddef>
#include <string_view>

namespace tavrin::vectorstore::internal {

/// Length of the well-formed UTF-8 sequence at the start of `s` (1 to 4), or 0 when its first
/// byte does not start one: a bad lead byte, a bad or missing continuation byte, an overlong
/// form, a surrogate, or a code point beyond U+10FFFF. `s` must not be empty.
std::size_t well_formed_length(std::string_view s) noexcept;

/// Whether the whole of `s` is well-formed UTF-8.
bool is_valid_utf8(std::string_view s) noexcept;

}  // namespace tavrin::vectorstore::internal
