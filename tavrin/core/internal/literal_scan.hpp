// A cheap scan that tells when literal_eval must refuse a text, so that llm_postprocess skips
// the parser, and the cost of its exception, on prose and on JSON's true, false and null. It
// reads the text with the lexer's tables and rules, without its checks.
//
//   may_be_literal(R"({"a":true})")   // -> false: true is a name
//   may_be_literal("{'a':True}")      // -> true: try the parser
#pragma once

#include <string_view>

namespace tavrin::core::internal {

/// False when literal_eval must refuse `text`: outside string literals and comments it holds
/// a non-ASCII character (a name or an invalid character) that is no call of set, or a name
/// other than True, False, None, set and a string prefix before its quote. True means only
/// "try the parser".
bool may_be_literal(std::string_view text);

}  // namespace tavrin::core::internal
