// Cheap scans that tell when a parser of llm_postprocess must refuse a text, so that the
// common refusals (prose, JSON's true/false/null for the literal parser) cost no exception.
// Each answers false only when the parser certainly refuses; true means "try the parser".
#pragma once

#include <string_view>

namespace tavrin::palisk::internal {

/// False when literal_eval must refuse `text`: outside string literals and comments it holds
/// a non-ASCII character (a name or an invalid character), or a name other than True, False,
/// None and a string prefix before its quote.
bool may_be_literal(std::string_view text);

/// False when json_loads must refuse `text`: nothing but JSON white space, or a first other
/// character that cannot start a JSON value.
bool may_be_json(std::string_view text);

}  // namespace tavrin::palisk::internal
