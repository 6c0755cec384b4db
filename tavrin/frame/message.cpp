#include "tavrin/frame/internal/message.hpp"

namespace tavrin::frame::internal {
namespace {

constexpr std::size_t kMaxQuoted = 40;

bool is_continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string quoted(std::string_view text) {
  std::size_t cut = text.size();
  if (cut > kMaxQuoted) {
    cut = kMaxQuoted;
    while (cut > 0 && is_continuation_byte(text[cut])) {
      --cut;
    }
  }
  std::string out = "'";
  out.append(text.substr(0, cut));
  if (cut < text.size()) {
    out.append("...");
  }
  out.push_back('\'');
  return out;
}

}  // namespace tavrin::frame::internal
