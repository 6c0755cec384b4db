// How the frame component quotes user text inside error messages.
#pragma once

#include <string>
#include <string_view>

namespace tavrin::frame::internal {

/// `text` between single quotes, cut to its first 40 bytes (on a UTF-8 character boundary)
/// and marked with "..." when longer.
std::string quoted(std::string_view text);

}  // namespace tavrin::frame::internal
