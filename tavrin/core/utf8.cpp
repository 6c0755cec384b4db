#include "tavrin/core/internal/utf8.hpp"

namespace tavrin::internal {

std::size_t decode_code_point(std::string_view s, std::uint32_t& cp) noexcept {
  const std::size_t length = well_formed_length(s);
  if (length == 0) return 0;
  static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  cp = static_cast<unsigned char>(s[0]) & kLeadBits[length];
  for (std::size_t i = 1; i < length; ++i) {
    cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
  }
  return length;
}

bool is_valid_utf8(std::string_view s) noexcept {
  while (!s.empty()) {
    if (static_cast<unsigned char>(s.front()) < 0x80) {
      s.remove_prefix(1);
      continue;
    }
    const std::size_t length = well_formed_length(s);
    if (length == 0) return false;
    s.remove_prefix(length);
  }
  return true;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace tavrin::internal
