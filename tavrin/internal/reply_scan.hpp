// A cheap scan that tells when json_loads must refuse a reply, so that llm_postprocess skips it
// without the cost of an exception; the literal parser's counterpart is
// tavrin/core/internal/literal_scan.hpp. False only when the parser certainly refuses; true
// means "try the parser".
#pragma once

#include <string_view>

namespace tavrin::palisk::internal {

/// False when json_loads must refuse `text`: nothing but JSON white space, or a first other
/// character that cannot start a JSON value.
bool may_be_json(std::string_view text);

}  // namespace tavrin::palisk::internal
