// UTF-8 well-formedness and decoding, shared by the text functions, the CSV reader, the
// embedding model and the store writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavrin::internal {

/// Length of the well-formed UTF-8 sequence at the start of `s` (1 to 4), or 0 when its first
/// byte does not start one: a bad lead byte, a bad or missing continuation byte, an overlong
/// form, a surrogate, or a code point beyond U+10FFFF. `s` must not be empty.
std::size_t well_formed_length(std::string_view s) noexcept;

/// Decodes the well-formed sequence at the start of `s` into `cp` and returns its length, or
/// returns 0 (leaving `cp` unspecified) when there is none. `s` must not be empty.
std::size_t decode_code_point(std::string_view s, std::uint32_t& cp) noexcept;

/// Appends the UTF-8 form of `cp` (at most U+10FFFF; a surrogate takes its three-byte form).
void append_utf8(std::string& out, std::uint32_t cp);

/// Whether the whole of `s` is well-formed UTF-8.
bool is_valid_utf8(std::string_view s) noexcept;

}  // namespace tavrin::internal
