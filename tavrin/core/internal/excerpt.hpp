// How much of a bad value an error message shows. Every component that quotes one (core's
// parsers, frame, brollin, palisk, the embedding reader, the transport and the tool) cuts it
// here, so that a message never shows more than this, nor half a character.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "tavrin/core/internal/utf8.hpp"

namespace tavrin::internal {

/// How many bytes of a bad value a message quotes.
inline constexpr std::size_t kExcerptBytes = 40;

/// The longest start of `text` of at most `limit` bytes that does not end inside a UTF-8
/// character: "..." marks the cut when the result is shorter than `text`.
inline std::string_view excerpt(std::string_view text, std::size_t limit = kExcerptBytes) {
  if (text.size() <= limit) return text;
  std::size_t cut = limit;
  while (cut > 0 && is_continuation_byte(text[cut])) --cut;
  return text.substr(0, cut);
}

/// `text` in double quotes for a message, cut to its excerpt of at most `limit` bytes with
/// "..." after a cut, control characters shown as blanks.
inline std::string in_quotes(std::string_view text, std::size_t limit = kExcerptBytes) {
  const std::string_view shown = excerpt(text, limit);
  std::string out = "\"";
  for (const char c : shown) out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  if (shown.size() < text.size()) out += "...";
  return out + "\"";
}

}  // namespace tavrin::internal
