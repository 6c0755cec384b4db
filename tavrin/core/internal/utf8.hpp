// UTF-8 well-formedness and decoding, shared by the text functions, the CSV reader, the
// embedding model and the store writer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavrin::internal {

/// What a lead byte requires of its sequence: its length (0 for a byte that leads none), and
/// the range of the second byte, which after E0 and F0 excludes overlong forms, after ED the
/// surrogates, after F4 what lies beyond U+10FFFF.
struct LeadByte {
  unsigned char length = 0;
  unsigned char low = 0;
  unsigned char high = 0;
};

inline constexpr std::array<LeadByte, 256> kLeadBytes = [] {
  std::array<LeadByte, 256> leads{};
  for (int b = 0xC2; b <= 0xF4; ++b) {
    LeadByte& lead = leads[static_cast<std::size_t>(b)];
    lead.length = b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    lead.low = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
    lead.high = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
  }
  return leads;
}();

/// Whether `byte` continues a UTF-8 sequence rather than starting one.
inline bool is_continuation_byte(char byte) noexcept {
  return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

/// Length of the well-formed UTF-8 sequence at the start of `s` (1 to 4), or 0 when its first
/// byte does not start one: a bad lead byte, a bad or missing continuation byte, an overlong
/// form, a surrogate, or a code point beyond U+10FFFF. `s` must not be empty. Inline, as the
/// parsers call it for every character of non-ASCII text.
inline std::size_t well_formed_length(std::string_view s) noexcept {
  const auto first = static_cast<unsigned char>(s[0]);
  if (first < 0x80) return 1;
  const LeadByte lead = kLeadBytes[first];
  if (lead.length == 0 || s.size() < lead.length) return 0;
  const auto second = static_cast<unsigned char>(s[1]);
  if (second < lead.low || second > lead.high) return 0;
  if (lead.length > 2 && !is_continuation_byte(s[2])) return 0;
  if (lead.length > 3 && !is_continuation_byte(s[3])) return 0;
  return lead.length;
}

/// The characters of UTF-8 `text`: the bytes that start one (a stray continuation byte is
/// none).
inline std::size_t character_count(std::string_view text) noexcept {
  std::size_t count = 0;
  for (const char byte : text) count += is_continuation_byte(byte) ? 0 : 1;
  return count;
}

/// Decodes the well-formed sequence at the start of `s` into `cp` and returns its length, or
/// returns 0 (leaving `cp` unspecified) when there is none. `s` must not be empty.
std::size_t decode_code_point(std::string_view s, std::uint32_t& cp) noexcept;

/// Appends the UTF-8 form of `cp` (at most U+10FFFF; a surrogate takes its three-byte form).
void append_utf8(std::string& out, std::uint32_t cp);

/// Offset of the first byte of `s` that does not start a well-formed sequence, or npos when
/// the whole of `s` is well-formed UTF-8. Long texts are checked 32 bytes at a time where the
/// processor can (AVX2), since stores and tables check every byte they read or write.
std::size_t first_invalid_utf8(std::string_view s) noexcept;

/// Whether the whole of `s` is well-formed UTF-8.
inline bool is_valid_utf8(std::string_view s) noexcept {
  return first_invalid_utf8(s) == std::string_view::npos;
}

/// `text` without the UTF-8 byte order mark that some editors put before a file's text, which
/// JSON parsers refuse.
inline std::string_view without_bom(std::string_view text) noexcept {
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  return text.starts_with(kBom) ? text.substr(kBom.size()) : text;
}

}  // namespace tavrin::internal
