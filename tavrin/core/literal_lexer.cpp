#include "tavrin/core/internal/literal_lexer.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <memory>
#include <unordered_map>

#include "tavrin/core/internal/block_scan.hpp"
#include "tavrin/core/internal/literal_scan.hpp"

namespace tavrin::core::internal {
namespace literal {

// ---------------------------------------------------------------- characters

[[noreturn]] void fail_utf8(std::size_t offset) {
  throw SyntaxError("literal_eval: invalid UTF-8 at byte offset " + std::to_string(offset));
}

std::size_t code_point_at(std::string_view s, std::size_t i, std::uint32_t& cp) {
  cp = static_cast<unsigned char>(s[i]);
  if (cp < 0x80) return 1;
  const std::size_t n = tavrin::internal::decode_code_point(s.substr(i), cp);
  if (n == 0) fail_utf8(i);
  return n;
}

bool is_identifier_code_point(std::uint32_t cp, bool start) {
  switch (utf8proc_category(static_cast<utf8proc_int32_t>(cp))) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_NL:
      return true;
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_MC:
    case UTF8PROC_CATEGORY_ND:
    case UTF8PROC_CATEGORY_PC:
      return !start;
    default:
      return false;
  }
}

void append_code_point(std::string& out, std::uint32_t cp) {
  if (cp >= 0xDC80 && cp <= 0xDCFF) {  // surrogateescape'd byte
    out += static_cast<char>(cp - 0xDC00);
  } else {
    tavrin::internal::append_utf8(out, cp);
  }
}
// ---------------------------------------------------------------- tokens

bool spells_set(std::string_view name) {
  if (name == "set") return true;
  if (std::all_of(name.begin(), name.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return false;
  }
  const std::string text(name);
  const std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> folded(
      utf8proc_NFKC(reinterpret_cast<const utf8proc_uint8_t*>(text.c_str())), &std::free);
  return folded && std::string_view(reinterpret_cast<const char*>(folded.get())) == "set";
}

Keyword keyword_of(std::string_view name) {
  static const std::unordered_map<std::string_view, Keyword> kKeywords = {
      {"False", Keyword::kFalseLiteral},
      {"None", Keyword::kNoneLiteral},
      {"True", Keyword::kTrueLiteral},
      {"and", Keyword::kAnd},
      {"async", Keyword::kAsync},
      {"await", Keyword::kAwait},
      {"else", Keyword::kElse},
      {"for", Keyword::kFor},
      {"from", Keyword::kFrom},
      {"if", Keyword::kIf},
      {"in", Keyword::kIn},
      {"is", Keyword::kIs},
      {"lambda", Keyword::kLambda},
      {"not", Keyword::kNot},
      {"or", Keyword::kOr},
      {"yield", Keyword::kYield},
      {"as", Keyword::kOther},
      {"assert", Keyword::kOther},
      {"break", Keyword::kOther},
      {"class", Keyword::kOther},
      {"continue", Keyword::kOther},
      {"def", Keyword::kOther},
      {"del", Keyword::kOther},
      {"elif", Keyword::kOther},
      {"except", Keyword::kOther},
      {"finally", Keyword::kOther},
      {"global", Keyword::kOther},
      {"import", Keyword::kOther},
      {"nonlocal", Keyword::kOther},
      {"pass", Keyword::kOther},
      {"raise", Keyword::kOther},
      {"return", Keyword::kOther},
      {"try", Keyword::kOther},
      {"while", Keyword::kOther},
      {"with", Keyword::kOther},
  };
  if (name.size() < 2 || name.size() > 8) return Keyword::kNone;
  const auto it = kKeywords.find(name);
  return it == kKeywords.end() ? Keyword::kNone : it->second;
}

std::optional<StringPrefix> string_prefix(std::string_view name) {
  if (name.empty() || name.size() > 2) return std::nullopt;
  StringPrefix prefix;
  bool unicode = false;
  for (const char c : name) {
    bool* flag = nullptr;
    switch (c) {
      case 'r':
      case 'R':
        flag = &prefix.raw;
        break;
      case 'b':
      case 'B':
        flag = &prefix.bytes;
        break;
      case 'f':
      case 'F':
        flag = &prefix.formatted;
        break;
      case 'u':
      case 'U':
        flag = &unicode;
        break;
      default:
        return std::nullopt;
    }
    if (*flag) return std::nullopt;
    *flag = true;
  }
  if (unicode && name.size() > 1) return std::nullopt;  // u combines with nothing
  if (prefix.bytes && prefix.formatted) return std::nullopt;
  return prefix;
}

}  // namespace literal

// ---------------------------------------------------------------- the pre-scan

namespace {

using internal::block_marks;
using internal::kBlockBytes;
using literal::kStringBytes;
using literal::kTokenStart;
using literal::StringByte;
using literal::TokenStart;

bool is_word_char(char c) {
  return literal::is_ascii_identifier_start(static_cast<unsigned char>(c)) || literal::is_digit(c);
}

// Just past the string literal that opens at text[quote] (one or three quote characters; a
// backslash always escapes the next character), or npos when it does not end.
std::size_t skip_string(std::string_view text, std::size_t quote) {
  const char q = text[quote];
  const bool is_triple = literal::opens_triple_quote(text, quote);
  const std::size_t closer = is_triple ? 3 : 1;
  std::size_t i = quote + closer;
  for (;;) {
    // A block at a time while one is left: only its closing quote and a backslash stop it.
    while (i + kBlockBytes <= text.size()) {
      const std::uint32_t stops = block_marks(text.data() + i, q, '\\');
      if (stops != 0) {
        i += static_cast<std::size_t>(std::countr_zero(stops));
        break;
      }
      i += kBlockBytes;
    }
    while (i < text.size() &&
           kStringBytes[static_cast<unsigned char>(text[i])] < StringByte::kQuote) {
      ++i;
    }
    if (i >= text.size()) return std::string_view::npos;
    if (text[i] == '\\') {
      i += 2;
    } else if (text[i] == q && (!is_triple || literal::opens_triple_quote(text, i))) {
      return i + closer;
    } else {
      ++i;
    }
  }
}

// Just past a number and any letters stuck to it (0x1F, 1e-5, 1_000, 2j, 1if).
std::size_t skip_number(std::string_view text, std::size_t i) {
  for (++i; i < text.size(); ++i) {
    const char c = text[i];
    const bool exponent_sign = (c == '+' || c == '-') && (text[i - 1] | 0x20) == 'e';
    if (!is_word_char(c) && c != '.' && !exponent_sign) break;
  }
  return i;
}

// Whether the name that starts at `i` is followed by an opening parenthesis.
bool is_call_ahead(std::string_view text, std::size_t i) {
  while (i < text.size() &&
         (static_cast<unsigned char>(text[i]) >= 0x80 || is_word_char(text[i]))) {
    ++i;
  }
  i = text.find_first_not_of(" \t\f\r", i);
  return i != std::string_view::npos && text[i] == '(';
}

// Whether a literal may hold the name `word` (followed by `next`, or NUL at the end): True,
// False, None, set (as in set()), and a string prefix.
bool may_be_held(std::string_view word, char next) {
  using literal::Keyword;
  if ((next == '\'' || next == '"') && literal::string_prefix(word)) return true;
  const Keyword keyword = literal::keyword_of(word);
  return keyword == Keyword::kTrueLiteral || keyword == Keyword::kFalseLiteral ||
         keyword == Keyword::kNoneLiteral || word == "set";
}

}  // namespace

bool may_be_literal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    switch (kTokenStart[static_cast<unsigned char>(c)]) {
      case TokenStart::kName: {
        // Outside strings, non-ASCII text can only be a name; the one name a literal may hold
        // is a call of set, which the parser recognises under NFKC folding (ｓｅｔ()).
        if (static_cast<unsigned char>(c) >= 0x80) return is_call_ahead(text, i);
        const std::size_t begin = i;
        while (i < text.size() && is_word_char(text[i])) ++i;
        const char next = i < text.size() ? text[i] : '\0';
        if (!may_be_held(text.substr(begin, i - begin), next)) return false;
        if (next == '\'' || next == '"') i = skip_string(text, i);
        break;
      }
      case TokenStart::kQuote:
        i = skip_string(text, i);
        break;
      case TokenStart::kDot:
        if (i + 1 >= text.size() || !literal::is_digit(text[i + 1])) {
          ++i;
          break;
        }
        [[fallthrough]];
      case TokenStart::kDigit:
        i = skip_number(text, i);
        break;
      case TokenStart::kBlank:
        i = c == '#' ? text.find_first_of("\r\n", i) : i + 1;  // a comment runs to its line's end
        break;
      case TokenStart::kLineBreak:
      case TokenStart::kOther:
        ++i;
        break;
    }
  }
  return true;
}

}  // namespace tavrin::core::internal
