// How the frame component quotes user text inside error messages.
#pragma once

#include <string>
#include <string_view>

namespace tavrin::frame::internal {

/// `text` between single quotes, cut to its excerpt (tavrin/core/internal/excerpt.hpp) and
/// marked with "..." when longer.
std::string quoted(std::string_view text);

}  // namespace tavrin::frame::internal
