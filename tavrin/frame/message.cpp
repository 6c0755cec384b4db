#include "tavrin/frame/internal/message.hpp"

namespace tavrin::frame::internal {
namespace {

constexpr std::size_t kMaxQuoted = 40;

bool is_continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string quoted(std::string_view text) {
  if (text.size() <= kMaxQuoted) {
    return "'" + std::string(text) + "'";
  }
  std::size_t cut = kMaxQuoted;
  while (cut > 0 && is_continuation_byte(text[cut])) {
    --cut;
  }
  return "'" + std::string(text.substr(0, cut)) + "...'";
}

}  // namespace tavrin::frame::internal
