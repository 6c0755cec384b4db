// Locating a fault in a parsed text, shared by the parsers of tavrin::core.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "tavrin/core/internal/excerpt.hpp"

namespace tavrin::core::internal {

/// "line L, column C" of byte `offset` in `text`, both counted from 1, columns in characters.
/// \r\n, \r and \n each end a line.
inline std::string line_and_column(std::string_view text, std::size_t offset) {
  std::size_t line = 1;
  std::size_t column = 1;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n' || (c == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))) {
      ++line;
      column = 1;
    } else if ((c & 0xC0) != 0x80) {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

/// The bytes [offset, end) of `text` in double quotes, cut to their excerpt, control
/// characters shown as blanks.
inline std::string quote(std::string_view text, std::size_t offset, std::size_t end) {
  offset = std::min(offset, text.size());
  end = std::max(end, offset);
  const std::string_view rest = text.substr(offset);
  std::string piece(
      tavrin::internal::excerpt(rest, std::min(end - offset, tavrin::internal::kExcerptBytes)));
  for (char& c : piece) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return '"' + piece + '"';
}

}  // namespace tavrin::core::internal
