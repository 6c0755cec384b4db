#include "tavrin/core/internal/literal_strings.hpp"

#include <cstddef>
#include <cstdint>

#include "tavrin/core/internal/unicode_names.hpp"

namespace tavrin::core::internal::literal {
namespace {

// Copies a literal's body to `out` with every line break as \n, handing each backslash to
// `escape(out, i)` (i just past it), which appends what the escape stands for and returns
// how many characters after the backslash it took.
template <typename Escape>
void decode(std::string& out, std::string_view body, Escape escape) {
  std::size_t run = 0;  // start of the characters not yet copied
  std::size_t i = 0;
  while (i < body.size()) {
    const char c = body[i];
    if (c != '\\' && c != '\r') {
      ++i;
      continue;
    }
    out.append(body.data() + run, i - run);
    if (c == '\r') {
      out += '\n';
      i += i + 1 < body.size() && body[i + 1] == '\n' ? 2 : 1;
    } else {
      ++i;  // a body never ends in a lone backslash
      i += escape(out, i);
    }
    run = i;
  }
  out.append(body.data() + run, body.size() - run);
}

// In a raw literal a backslash stays, and only keeps the next character from ending it.
void append_raw(std::string& out, std::string_view body) {
  decode(out, body, [](std::string& to, std::size_t) {
    to += '\\';
    return std::size_t{0};
  });
}

// Reads `count` hex digits at body[i]; -1 when they are not there.
long long hex_digits(std::string_view body, std::size_t i, std::size_t count) {
  if (i + count > body.size()) return -1;
  long long value = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const int digit = hex_value(body[i + k]);
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

// Length of a backslash-newline continuation at body[i] (after the backslash), or 0.
std::size_t continuation(std::string_view body, std::size_t i) {
  if (body[i] == '\n') return 1;
  if (body[i] == '\r') return i + 1 < body.size() && body[i + 1] == '\n' ? 2 : 1;
  return 0;
}

// Decodes and checks the string tokens of one text; a fault is its lexer's SyntaxError.
class Decoder {
 public:
  explicit Decoder(const Lexer& lexer) : lexer_(lexer) {}

  void check_ascii(std::string_view body, std::size_t offset) const {
    for (std::size_t i = 0; i < body.size(); ++i) {
      if (static_cast<unsigned char>(body[i]) >= 0x80) {
        lexer_.fail(offset + i, "bytes can only contain ASCII literal characters");
      }
    }
  }

  // Handles the escapes that text and bytes share. Returns the length of the escape after the
  // backslash, or 0 when `c` starts none of them. Writes the code point or byte to `value`.
  std::size_t common_escape(std::string_view body, std::size_t i, std::size_t offset,
                            std::uint32_t& value) const {
    static constexpr std::string_view kSimple = "\\'\"abfnrtv";
    static constexpr std::string_view kSimpleValues = "\\'\"\a\b\f\n\r\t\v";
    const char c = body[i];
    if (const std::size_t k = kSimple.find(c); k != std::string_view::npos) {
      value = static_cast<unsigned char>(kSimpleValues[k]);
      return 1;
    }
    if (c >= '0' && c <= '7') {
      std::size_t n = 0;
      value = 0;
      while (n < 3 && i + n < body.size() && body[i + n] >= '0' && body[i + n] <= '7') {
        value = value * 8 + static_cast<std::uint32_t>(body[i + n] - '0');
        ++n;
      }
      return n;
    }
    if (c == 'x') {
      const long long v = hex_digits(body, i + 1, 2);
      if (v < 0) lexer_.fail(offset + i - 1, "truncated \\xXX escape");
      value = static_cast<std::uint32_t>(v);
      return 3;
    }
    return 0;
  }

  void decode_text(std::string& out, std::string_view body, std::size_t offset) const {
    decode(out, body,
           [&](std::string& to, std::size_t i) { return decode_text_escape(to, body, i, offset); });
  }

  std::size_t decode_text_escape(std::string& out, std::string_view body, std::size_t i,
                                 std::size_t offset) const {
    if (const std::size_t n = continuation(body, i)) return n;
    std::uint32_t cp = 0;
    if (const std::size_t n = common_escape(body, i, offset, cp)) {
      append_code_point(out, cp);
      return n;
    }
    const char c = body[i];
    if (c == 'u' || c == 'U') {
      const std::size_t count = c == 'u' ? 4 : 8;
      const long long v = hex_digits(body, i + 1, count);
      if (v < 0) lexer_.fail(offset + i - 1, std::string("truncated \\") + c + " escape");
      if (v > 0x10FFFF) lexer_.fail(offset + i - 1, "illegal Unicode character in \\U escape");
      append_code_point(out, static_cast<std::uint32_t>(v));
      return 1 + count;
    }
    if (c == 'N') {
      const std::size_t close = body.find('}', i);
      if (i + 1 >= body.size() || body[i + 1] != '{' || close == std::string_view::npos ||
          close == i + 2) {
        lexer_.fail(offset + i - 1, "malformed \\N character escape");
      }
      const auto named = core::internal::code_point_named(body.substr(i + 2, close - i - 2));
      if (!named) lexer_.fail(offset + i - 1, "unknown Unicode character name");
      append_code_point(out, *named);
      return close + 1 - i;
    }
    out += '\\';  // an unknown escape keeps its backslash
    return 0;
  }

  void decode_bytes(std::string& out, std::string_view body, std::size_t offset) const {
    decode(out, body, [&](std::string& to, std::size_t i) {
      if (const std::size_t n = continuation(body, i)) return n;
      std::uint32_t value = 0;
      const std::size_t n = common_escape(body, i, offset, value);
      to += n > 0 ? static_cast<char>(value & 0xFF) : '\\';  // unknown escapes keep it
      return n;
    });
  }

  // An f-string is never a literal, but its braces must still be well formed, and the escapes
  // of its text (\N{...} among them, whose braces are no field) valid.
  void check_format_string(std::string_view body, std::size_t offset, bool raw) const {
    for (std::size_t i = 0; i < body.size(); ++i) {
      if (!raw && body[i] == '\\') {
        std::string ignored;
        i += decode_text_escape(ignored, body, i + 1, offset);
        continue;
      }
      if (body[i] == '}') {
        if (i + 1 < body.size() && body[i + 1] == '}') {
          ++i;
          continue;
        }
        lexer_.fail(offset + i, "f-string: single '}' is not allowed");
      }
      if (body[i] != '{') continue;
      if (i + 1 < body.size() && body[i + 1] == '{') {
        ++i;
        continue;
      }
      int depth = 1;
      const std::size_t open = i++;
      while (i < body.size() && depth > 0) {
        if (body[i] == '{') ++depth;
        if (body[i] == '}') --depth;
        ++i;
      }
      if (depth > 0) lexer_.fail(offset + open, "f-string: expecting '}'");
      const std::string_view field = body.substr(open + 1, i - open - 2);
      if (field.find_first_not_of(" \t\n\r\f") == std::string_view::npos) {
        lexer_.fail(offset + open, "f-string: empty expression not allowed");
      }
      check_conversion(field, offset + open + 1);
      --i;
    }
  }

  // A replacement field is expression ['!' s|r|a] [':' format]; finds its '!' outside
  // brackets and quotes.
  void check_conversion(std::string_view field, std::size_t offset) const {
    int depth = 0;
    char quote = 0;
    for (std::size_t i = 0; i < field.size(); ++i) {
      const char c = field[i];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '\'' || c == '"') {
        quote = c;
      } else if (c == '(' || c == '[' || c == '{') {
        ++depth;
      } else if (c == ')' || c == ']' || c == '}') {
        --depth;
      } else if (depth == 0 && c == ':') {
        return;
      } else if (depth == 0 && c == '!' && (i + 1 >= field.size() || field[i + 1] != '=')) {
        const std::string_view conversion = field.substr(i + 1);
        const bool valid = !conversion.empty() &&
                           std::string_view("sra").find(conversion[0]) != std::string_view::npos &&
                           (conversion.size() == 1 || conversion[1] == ':');
        if (!valid || field.find_first_not_of(" \t\n\r\f") == i) {
          lexer_.fail(offset + i, "f-string: invalid conversion");
        }
        return;
      }
    }
  }

 private:
  const Lexer& lexer_;
};

}  // namespace

void append_decoded_body(std::string& out, const Lexer& lexer, const Token& token) {
  const std::string_view body = string_body(lexer, token);
  if (token.prefix.raw) {
    append_raw(out, body);
  } else if (token.prefix.bytes) {
    Decoder(lexer).decode_bytes(out, body, token.body_begin);
  } else {
    Decoder(lexer).decode_text(out, body, token.body_begin);
  }
}

void check_bytes_ascii(const Lexer& lexer, const Token& token) {
  Decoder(lexer).check_ascii(string_body(lexer, token), token.body_begin);
}

void check_format_string(const Lexer& lexer, const Token& token) {
  Decoder(lexer).check_format_string(string_body(lexer, token), token.body_begin, token.prefix.raw);
}

}  // namespace tavrin::core::internal::literal
