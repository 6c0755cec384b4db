#include "tavrin/frame/internal/message.hpp"

#include "tavrin/core/internal/excerpt.hpp"

namespace tavrin::frame::internal {

std::string quoted(std::string_view text) {
  const std::string_view shown = tavrin::internal::excerpt(text);
  std::string out = "'";
  out.append(shown);
  if (shown.size() < text.size()) out.append("...");
  out.push_back('\'');
  return out;
}

}  // namespace tavrin::frame::internal
