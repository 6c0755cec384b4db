// The values of string and bytes literals, for literal_eval's reads: a body decoded as its
// prefix says (a raw one keeps its backslashes; otherwise escapes, \N{...} names among them,
// are replaced), every line break as \n; and the checks of what a bytes literal or an f-string
// may hold. A fault is the lexer's SyntaxError at its place. Internal to tavrin::core.
//
// Strings hold UTF-8. A \udc80..\udcff escape stands for the raw byte 0x80..0xff (Python's
// surrogateescape, which repr writes for invalid UTF-8); any other lone surrogate is kept in
// its three-byte form.
//
//   string_value(lexer, token)   // the token 'a\tb\N{DIGIT ONE}' -> "a\tb1"
#pragma once

#include <string>
#include <string_view>

#include "tavrin/core/internal/literal_lexer.hpp"

namespace tavrin::core::internal::literal {

/// The body of the string token `token` of `lexer`'s text: what stands between its quotes.
inline std::string_view string_body(const Lexer& lexer, const Token& token) {
  return lexer.text().substr(token.body_begin, token.body_end - token.body_begin);
}

/// Appends what the body of `token`, a string token that is not plain, stands for; not for an
/// f-string.
void append_decoded_body(std::string& out, const Lexer& lexer, const Token& token);

/// Appends what the body of the string token `token` stands for: text as UTF-8, bytes one char
/// each; not for an f-string.
inline void append_string_value(std::string& out, const Lexer& lexer, const Token& token) {
  if (token.plain) {
    out.append(string_body(lexer, token));
  } else {
    append_decoded_body(out, lexer, token);
  }
}

/// What the body of the string token `token` stands for; not for an f-string.
inline std::string string_value(const Lexer& lexer, const Token& token) {
  if (token.plain) return std::string(string_body(lexer, token));
  std::string out;
  append_decoded_body(out, lexer, token);
  return out;
}

/// Fails at the first character of the bytes token `token` that is not ASCII.
void check_bytes_ascii(const Lexer& lexer, const Token& token);

/// Fails at the first fault of the f-string token `token`: a brace out of place, a replacement
/// field empty or with an invalid conversion, an invalid escape.
void check_format_string(const Lexer& lexer, const Token& token);

}  // namespace tavrin::core::internal::literal
