// The lexer of literal_eval: the tokens of Python's expression grammar, read from UTF-8 text
// one at a time with the checks Python's tokenizer makes (brackets, indentation, the forms of
// strings and numbers). Internal to tavrin::core, after nlohmann/json's detail/input/lexer.hpp:
// the parser (literal.cpp) and the plain read (literal_plain.cpp) read its tokens, and the
// pre-scan (literal_scan.hpp) shares its tables.
//
//   Lexer lexer(text);
//   lexer.start();
//   Token token;
//   lexer.next(token);   // "{'a': 1}" -> token.kind == TokenKind::kOperator, token.op == '{'
#pragma once

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/source_text.hpp"
#include "tavrin/core/internal/utf8.hpp"

namespace tavrin::core::internal::literal {

/// How deep brackets may nest, as in Python's tokenizer (its MAXLEVEL): one more is a
/// SyntaxError.
inline constexpr int kMaxBrackets = 200;

/// "line L, column C" of byte `offset` in `text`.
inline std::string where(std::string_view text, std::size_t offset) {
  return line_and_column(text, offset);
}

// ---------------------------------------------------------------- characters

constexpr bool is_ascii_identifier_start(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/// Throws the SyntaxError of text that is not UTF-8, at byte `offset`.
[[noreturn]] void fail_utf8(std::size_t offset);

/// Decodes the code point at `i`; returns its length. Text that is not UTF-8 cannot be source
/// text (Python decodes it first), which is a SyntaxError.
std::size_t code_point_at(std::string_view s, std::size_t i, std::uint32_t& cp);

/// Whether `cp` may start (`start`) or continue a Python identifier.
bool is_identifier_code_point(std::uint32_t cp, bool start);

/// Appends a code point of a text literal: the surrogates that stand for bytes become those
/// bytes.
void append_code_point(std::string& out, std::uint32_t cp);

// ---------------------------------------------------------------- tokens

/// Whether `name` names the builtin set: Python folds identifiers to NFKC, so "ｓｅｔ" does too.
bool spells_set(std::string_view name);

enum class TokenKind : std::uint8_t { kEnd, kNewline, kName, kNumber, kString, kOperator };

enum class Keyword : std::uint8_t {
  kNone,  // an ordinary name
  kFalseLiteral,
  kNoneLiteral,
  kTrueLiteral,
  kAnd,
  kAsync,
  kAwait,
  kElse,
  kFor,
  kFrom,
  kIf,
  kIn,
  kIs,
  kLambda,
  kNot,
  kOr,
  kYield,
  kOther,  // a keyword that never appears in an expression (def, class, import, ...)
};

/// The keyword `name` spells, or Keyword::kNone.
Keyword keyword_of(std::string_view name);

struct StringPrefix {
  bool raw = false;
  bool bytes = false;
  bool formatted = false;
};

/// The prefix letters of a string literal, or nullopt when `name` is not one.
std::optional<StringPrefix> string_prefix(std::string_view name);

// An operator's characters packed into one number, so that tokens compare in one instruction.
constexpr std::uint32_t operator_code(std::string_view op) {
  std::uint32_t code = 0;
  for (const char c : op) code = (code << 8) | static_cast<unsigned char>(c);
  return code;
}

struct Token {
  TokenKind kind = TokenKind::kEnd;
  std::uint32_t op = 0;  // kOperator only: operator_code of its text
  std::size_t begin = 0;
  std::size_t end = 0;
  Keyword keyword = Keyword::kNone;  // kName only
  StringPrefix prefix;               // kString only
  std::size_t body_begin = 0;        // kString: the text between the quotes
  std::size_t body_end = 0;
  bool plain = true;  // kString: no escape and no line break, the body is the value
};
// ---------------------------------------------------------------- lexer

/// What a byte does inside a string literal, to the lexer and to the pre-scan: the ordinary
/// ones (ASCII but the quotes, the backslash, the line breaks and NUL) neither end nor change
/// it. The pre-scan passes everything below kQuote.
enum class StringByte : std::uint8_t { kOrdinary, kNonAscii, kLineBreak, kNul, kQuote, kBackslash };

inline constexpr std::array<StringByte, 256> kStringBytes = [] {
  std::array<StringByte, 256> bytes{};
  for (int c = 0x80; c < 0x100; ++c) bytes[c] = StringByte::kNonAscii;
  bytes['\n'] = bytes['\r'] = StringByte::kLineBreak;
  bytes[0] = StringByte::kNul;
  bytes['\''] = bytes['"'] = StringByte::kQuote;
  bytes['\\'] = StringByte::kBackslash;
  return bytes;
}();

/// Whether text[i], a quote, is the first of three.
inline bool opens_triple_quote(std::string_view text, std::size_t i) {
  return i + 2 < text.size() && text[i + 1] == text[i] && text[i + 2] == text[i];
}

/// What a token can be by its first byte, so that the lexer (and the pre-scan) picks its
/// reader in one step. kBlank: white space, or what starts a comment or a line continuation,
/// which come before a token.
enum class TokenStart : std::uint8_t { kOther, kBlank, kLineBreak, kDigit, kDot, kName, kQuote };

inline constexpr std::array<TokenStart, 256> kTokenStart = [] {
  std::array<TokenStart, 256> start{};  // kOther: an operator, or a character none starts
  start[' '] = start['\t'] = start['\f'] = start['#'] = start['\\'] = TokenStart::kBlank;
  start['\n'] = start['\r'] = TokenStart::kLineBreak;
  for (int c = '0'; c <= '9'; ++c) start[c] = TokenStart::kDigit;
  start['.'] = TokenStart::kDot;
  for (int c = 0; c < 256; ++c) {
    if (c >= 0x80 || is_ascii_identifier_start(static_cast<unsigned char>(c))) {
      start[c] = TokenStart::kName;  // or a string's prefix letters
    }
  }
  start['\''] = start['"'] = TokenStart::kQuote;
  return start;
}();

/// Python's tokens of one text, read in order; faults are SyntaxErrors that name the place.
class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  [[noreturn]] void fail(std::size_t offset, const std::string& what) const {
    throw SyntaxError("literal_eval: " + what + " at " + where(text_, offset) + ": " +
                      quote(text_, offset, text_.size()));
  }

  std::string_view text() const { return text_; }
  int level() const { return level_; }

  // Back to the start of the text, no bracket open.
  void restart() {
    pos_ = 0;
    level_ = 0;
  }

  // Skips blank and comment lines before the expression; its first line must not be indented.
  void start() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
    std::size_t column = 0;
    for (;;) {
      column = skip_indentation(column);
      if (pos_ >= text_.size()) fail(pos_, "no expression");
      if (text_[pos_] == '#') {
        skip_comment();
      } else if (at_line_continuation()) {
        ++pos_;  // the joined line's blanks add to the indentation
        skip_line_end();
      } else if (skip_line_end()) {
        column = 0;
      } else {
        if (column > 0) fail(pos_, "unexpected indent");
        return;
      }
    }
  }

  bool at_line_continuation() const {
    return text_[pos_] == '\\' && pos_ + 1 < text_.size() &&
           (text_[pos_ + 1] == '\n' || text_[pos_ + 1] == '\r');
  }

  // After the expression's line: only blank and comment lines, and no indented last line.
  void finish() {
    for (;;) {
      const std::size_t column = skip_indentation();
      if (pos_ >= text_.size()) {
        if (column > 0) fail(pos_, "unexpected indent");
        return;
      }
      if (text_[pos_] == '#') {
        skip_comment();
      } else if (!skip_line_end()) {
        fail(pos_, "unexpected text after the expression");
      }
    }
  }

  // True when the next token, by a quick look, closes or separates elements: ',', ':' (not
  // ':='), ')', ']' or '}'. False means only that the quick look cannot tell.
  bool at_separator_next() const {
    std::size_t i = pos_;
    while (i < text_.size() && (text_[i] == ' ' || (level_ > 0 && text_[i] == '\n'))) ++i;
    if (i >= text_.size()) return false;
    switch (text_[i]) {
      case ',':
      case ')':
      case ']':
      case '}':
        return true;
      case ':':
        return i + 1 >= text_.size() || text_[i + 1] != '=';
      default:
        return false;
    }
  }

  // Reads the next token into `t`, setting the fields its kind uses: the parser reads no other.
  void next(Token& t) {
    skip_blanks();
    t.begin = pos_;
    if (pos_ >= text_.size()) {
      if (level_ > 0) fail(open_brackets_[level_ - 1], "bracket never closed");
      t.kind = TokenKind::kEnd;
      t.end = pos_;
      return;
    }
    switch (kTokenStart[static_cast<unsigned char>(text_[pos_])]) {
      case TokenStart::kLineBreak:  // only seen outside brackets
        skip_line_end();
        t.kind = TokenKind::kNewline;
        break;
      case TokenStart::kDigit:
        lex_number();
        t.kind = TokenKind::kNumber;
        break;
      case TokenStart::kName:
        lex_name_or_string(t);
        break;
      case TokenStart::kQuote:
        t.prefix = StringPrefix{};
        lex_string(t);
        break;
      case TokenStart::kDot:
        if (pos_ + 1 < text_.size() && is_digit(text_[pos_ + 1])) {
          lex_number();
          t.kind = TokenKind::kNumber;
          break;
        }
        [[fallthrough]];
      case TokenStart::kBlank:  // skip_blanks has taken these
      case TokenStart::kOther:
        lex_operator(t);
        t.kind = TokenKind::kOperator;
        break;
    }
    t.end = pos_;
  }

 private:
  // Skips blanks from pos_, counting columns on from `column`.
  std::size_t skip_indentation(std::size_t column = 0) {
    for (; pos_ < text_.size(); ++pos_) {
      const char c = text_[pos_];
      if (c == ' ') {
        ++column;
      } else if (c == '\t') {
        column = (column / 8 + 1) * 8;
      } else if (c == '\f') {
        column = 0;
      } else {
        break;
      }
    }
    return column;
  }

  void skip_comment() {
    while (pos_ < text_.size() && text_[pos_] != '\n' && text_[pos_] != '\r') {
      if (static_cast<unsigned char>(text_[pos_]) >= 0x80) {
        skip_utf8();
      } else if (text_[pos_] == '\0') {
        fail_null(pos_);
      } else {
        ++pos_;
      }
    }
  }

  [[noreturn]] void fail_null(std::size_t offset) const {
    throw SyntaxError("literal_eval: text cannot contain null bytes (byte offset " +
                      std::to_string(offset) + ")");
  }

  void skip_utf8() {
    const std::size_t n = tavrin::internal::well_formed_length(
        std::string_view(text_.data() + pos_, text_.size() - pos_));
    if (n == 0) fail_utf8(pos_);
    pos_ += n;
  }

  // Past the backslash at pos_ and the character it keeps from ending the literal: a quote, a
  // backslash or a line break. Any other character is read as usual.
  void skip_escaped() {
    ++pos_;
    if (pos_ >= text_.size()) return;
    const char c = text_[pos_];
    if (c == '\r') {
      pos_ += pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n' ? 2 : 1;
    } else if (c == '\'' || c == '"' || c == '\\' || c == '\n') {
      ++pos_;
    }
  }

  bool skip_line_end() {
    if (pos_ >= text_.size()) return false;
    if (text_[pos_] == '\n') {
      ++pos_;
      return true;
    }
    if (text_[pos_] == '\r') {
      pos_ += pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n' ? 2 : 1;
      return true;
    }
    return false;
  }

  // White space, comments, line continuations, and inside brackets line breaks too.
  void skip_blanks() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      const TokenStart start = kTokenStart[static_cast<unsigned char>(c)];
      if (start != TokenStart::kBlank && start != TokenStart::kLineBreak) return;  // the usual
      if (c == ' ' || c == '\t' || c == '\f') {
        ++pos_;
      } else if (c == '#') {
        skip_comment();
      } else if (c == '\\') {
        const std::size_t backslash = pos_++;
        if (!skip_line_end()) fail(backslash, "unexpected character after line continuation");
        if (pos_ >= text_.size()) fail(backslash, "unexpected end of text after line continuation");
      } else if ((c == '\n' || c == '\r') && level_ > 0) {
        skip_line_end();
      } else {
        return;
      }
    }
  }

  bool at_identifier_char(std::size_t i, bool start) const {
    if (i >= text_.size()) return false;
    const auto c = static_cast<unsigned char>(text_[i]);
    if (c < 0x80) return is_ascii_identifier_start(c) || (!start && is_digit(static_cast<char>(c)));
    std::uint32_t cp = 0;
    code_point_at(text_, i, cp);
    return is_identifier_code_point(cp, start);
  }

  void lex_name_or_string(Token& t) {
    const std::size_t begin = pos_;
    if (!at_identifier_char(pos_, true)) {
      std::uint32_t cp = 0;
      code_point_at(text_, pos_, cp);
      fail(pos_, "invalid character U+" + hex4(cp));
    }
    while (pos_ < text_.size() && at_identifier_char(pos_, false)) {
      std::uint32_t cp = 0;
      pos_ += code_point_at(text_, pos_, cp);
    }
    const std::string_view name = text_.substr(begin, pos_ - begin);
    if (pos_ < text_.size() && (text_[pos_] == '\'' || text_[pos_] == '"')) {
      if (const auto prefix = string_prefix(name)) {
        t.prefix = *prefix;
        lex_string(t);
        return;
      }
    }
    t.kind = TokenKind::kName;
    t.keyword = keyword_of(name);
  }

  static std::string hex4(std::uint32_t cp) {
    std::array<char, 8> buffer{};
    const auto r = std::to_chars(buffer.data(), buffer.data() + buffer.size(), cp, 16);
    std::string digits(buffer.data(), r.ptr);
    for (char& c : digits) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return std::string(digits.size() < 4 ? 4 - digits.size() : 0, '0') + digits;
  }

  bool at_triple_quote() const { return opens_triple_quote(text_, pos_); }

  void lex_string(Token& t) {
    const std::size_t open = pos_;
    const char quote = text_[pos_];
    const bool triple = at_triple_quote();
    pos_ += triple ? 3 : 1;
    t.kind = TokenKind::kString;
    t.plain = true;
    t.body_begin = pos_;
    for (;;) {
      while (pos_ < text_.size() &&
             kStringBytes[static_cast<unsigned char>(text_[pos_])] == StringByte::kOrdinary) {
        ++pos_;
      }
      if (pos_ >= text_.size()) {
        fail(open, triple ? "unterminated triple-quoted string" : "unterminated string");
      }
      const char c = text_[pos_];
      if (static_cast<unsigned char>(c) >= 0x80) {
        // A run of non-ASCII characters, as in Chinese text, each checked in turn.
        do {
          skip_utf8();
        } while (pos_ < text_.size() && static_cast<unsigned char>(text_[pos_]) >= 0x80);
        continue;
      }
      if (c == quote && (!triple || at_triple_quote())) {
        t.body_end = pos_;
        pos_ += triple ? 3 : 1;
        return;
      }
      if (c == '\\') {
        t.plain = false;
        skip_escaped();
        continue;
      }
      if (c == '\n' || c == '\r') {
        if (!triple) fail(open, "unterminated string");
        t.plain = false;
      }
      if (c == '\0') fail_null(pos_);
      ++pos_;
    }
  }

  // Digits with single underscores between them; false when none was read.
  bool digits(bool (*is_allowed)(char)) {
    if (pos_ >= text_.size() || !is_allowed(text_[pos_])) return false;
    for (;;) {
      while (pos_ < text_.size() && is_allowed(text_[pos_])) ++pos_;
      if (pos_ + 1 < text_.size() && text_[pos_] == '_' && is_allowed(text_[pos_ + 1])) {
        ++pos_;
      } else {
        return true;
      }
    }
  }

  // Python lets a keyword such as `if` or `or` follow a number directly.
  bool at_keyword_after_number() const {
    static constexpr std::array<std::string_view, 8> kAllowed = {"and", "else", "for", "if",
                                                                 "in",  "is",   "not", "or"};
    const std::string_view rest = text_.substr(pos_);
    return std::any_of(kAllowed.begin(), kAllowed.end(),
                       [&](std::string_view k) { return rest.substr(0, k.size()) == k; });
  }

  void end_number(std::size_t begin, const char* kind) {
    if (pos_ < text_.size() &&
        (text_[pos_] == '_' || (at_identifier_char(pos_, false) && !at_keyword_after_number()))) {
      fail(begin, std::string("invalid ") + kind + " literal");
    }
  }

  void lex_based_integer(std::size_t begin, bool (*is_allowed)(char), const char* kind) {
    pos_ += 2;
    if (pos_ < text_.size() && text_[pos_] == '_') ++pos_;
    if (!digits(is_allowed)) fail(begin, std::string("invalid ") + kind + " literal");
    if (pos_ < text_.size() && is_digit(text_[pos_])) {
      fail(begin, std::string("invalid digit in ") + kind + " literal");
    }
    end_number(begin, kind);
  }

  void lex_number() {
    const std::size_t begin = pos_;
    if (text_[pos_] == '0' && pos_ + 1 < text_.size()) {
      const char base =
          static_cast<char>(std::tolower(static_cast<unsigned char>(text_[pos_ + 1])));
      if (base == 'x') {
        return lex_based_integer(
            begin, [](char c) { return hex_value(c) >= 0; }, "hexadecimal");
      }
      if (base == 'o') {
        return lex_based_integer(
            begin, [](char c) { return c >= '0' && c <= '7'; }, "octal");
      }
      if (base == 'b') {
        return lex_based_integer(
            begin, [](char c) { return c == '0' || c == '1'; }, "binary");
      }
    }
    digits(is_digit);
    bool is_float = false;
    if (pos_ < text_.size() && text_[pos_] == '.') {
      ++pos_;
      digits(is_digit);
      is_float = true;
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
      if (!digits(is_digit)) fail(begin, "invalid decimal literal");
      is_float = true;
    }
    if (pos_ < text_.size() && (text_[pos_] == 'j' || text_[pos_] == 'J')) {
      ++pos_;
      is_float = true;
    }
    if (!is_float && text_[begin] == '0' &&
        text_.substr(begin, pos_ - begin).find_first_not_of("0_") != std::string_view::npos) {
      fail(begin, "leading zeros in a decimal integer literal");
    }
    end_number(begin, "decimal");
  }

  // The length of the longest operator that starts with c, n1, n2 (the characters at pos_, NUL
  // past the end): Python's operators are at most three characters long and each longer one
  // extends a shorter one.
  static std::size_t operator_length(char c, char n1, char n2) {
    switch (c) {
      case '*':
      case '/':
      case '<':
      case '>':
        if (n1 == c) return n2 == '=' ? 3 : 2;
        return n1 == '=' ? 2 : 1;
      case '.':
        return n1 == '.' && n2 == '.' ? 3 : 1;
      case '-':
        return n1 == '>' || n1 == '=' ? 2 : 1;
      case ':':
      case '=':
      case '+':
      case '%':
      case '&':
      case '|':
      case '^':
      case '@':
        return n1 == '=' ? 2 : 1;
      case '!':
        return n1 == '=' ? 2 : 0;  // ! alone is no operator
      case '(':
      case ')':
      case '[':
      case ']':
      case '{':
      case '}':
      case ',':
      case ';':
      case '~':
        return 1;
      default:
        return 0;
    }
  }

  // Inlined into next(), its one caller, once per operator token: a header's member function
  // is not inlined as readily as a file-local one, and the call costs a few percent.
  [[gnu::always_inline]] void lex_operator(Token& t) {
    const char c = text_[pos_];
    if (c == ',') {  // the most common operator, which no longer one extends
      t.op = operator_code(",");
      ++pos_;
      return;
    }
    const char n1 = pos_ + 1 < text_.size() ? text_[pos_ + 1] : '\0';
    const char n2 = pos_ + 2 < text_.size() ? text_[pos_ + 2] : '\0';
    const std::size_t length = operator_length(c, n1, n2);
    if (c == '\0') fail_null(pos_);
    if (length == 0) {
      fail(pos_, c >= 0x20 && c < 0x7F
                     ? std::string("invalid character '") + c + "'"
                     : "invalid non-printable character U+" + hex4(static_cast<unsigned char>(c)));
    }
    if (c == '(' || c == '[' || c == '{') {
      if (level_ >= kMaxBrackets) fail(pos_, "too many nested brackets");
      ++level_;
      open_brackets_[level_ - 1] = pos_;
    } else if (c == ')' || c == ']' || c == '}') {
      if (level_ == 0) fail(pos_, std::string("unmatched '") + c + "'");
      --level_;
    }
    t.op = operator_code(std::string_view(text_.data() + pos_, length));
    pos_ += length;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  int level_ = 0;
  // Offsets of the open brackets, the first level_ of them set: left uninitialised, as a reply
  // of a few dozen bytes would otherwise pay for clearing all of them.
  std::array<std::size_t, kMaxBrackets> open_brackets_;
};
}  // namespace tavrin::core::internal::literal
