// Cheap reads that tell when literal_eval must refuse a text, so that llm_postprocess skips
// the parser, and the cost of its exception, on prose and on JSON's true, false and null: a
// scan with the lexer's tables and rules, without its checks, and literal_eval's own first
// read of the usual reply, which gives its value as well.
//
//   may_be_literal(R"({"a":true})")   // -> false: true is a name
//   may_be_literal("{'a':True}")      // -> true: try the parser
#pragma once

#include <string_view>

#include "tavrin/core/value.hpp"

namespace tavrin::core::internal {

/// False when literal_eval must refuse `text`: outside string literals and comments it holds
/// a non-ASCII character (a name or an invalid character) that is no call of set, or a name
/// other than True, False, None, set and a string prefix before its quote. True means only
/// "try the parser".
bool may_be_literal(std::string_view text);

/// What literal_eval's first, plain read of a text finds; see read_plain_literal.
enum class PlainLiteral {
  kValue,    // the text is the usual literal: its value is set
  kRefused,  // literal_eval must refuse the text
  kUnsure,   // only literal_eval can tell
};

/// Reads `text` as literal_eval first does, when it is the usual reply: a dict, list, text,
/// number, True, False or None, nested in displays of the same. kValue sets `out` to what
/// literal_eval gives; kRefused means that the read stopped at a name no literal holds (true,
/// null, prose). A lexical fault among the tokens read is literal_eval's SyntaxError, thrown.
PlainLiteral read_plain_literal(std::string_view text, Value& out);

}  // namespace tavrin::core::internal
