// A strict JSON (RFC 8259) reader that hands what it reads to a handler as events, in one pass
// over text held in memory, building nothing itself. The store's sidecar is read with it: it is
// several times faster than nlohmann's lexer on long texts, whose runs without escapes it hands
// over as views of the input.
//
//   struct Counter { ... void string(std::string_view) { ++strings; } ... };
//   Counter counter;
//   read_json(R"({"a": ["x", "y"]})", counter, 256);  // counter.strings == 2 (keys go to key())
//   read_json("[1,]", counter, 256);                   // throws JsonError{byte 4, kSyntax}
#pragma once

#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "tavrin/core/internal/block_scan.hpp"
#include "tavrin/core/internal/utf8.hpp"

namespace tavrin::vectorstore::internal {

/// Why a text is refused.
enum class JsonFault {
  kSyntax,               // not JSON: a stray or missing character, a bad escape, a lone surrogate
  kNotUtf8,              // a byte sequence that is not well-formed UTF-8
  kIntegerBeyond64Bits,  // an integer below -2^63 or above 2^64 - 1, which no Value holds exactly
  kNumberBeyondDouble,   // a number whose magnitude no double holds (1e400, 1e-400)
  kTooDeep,              // more arrays and objects open at once than the limit
};

/// A refused text: what is wrong, and where, the byte counted from 1 (one past the end for a text
/// that ends too soon).
class JsonError : public std::runtime_error {
 public:
  JsonError(std::size_t byte, JsonFault fault)
      : std::runtime_error("refused JSON at byte " + std::to_string(byte)),
        byte(byte),
        fault(fault) {}
  std::size_t byte;
  JsonFault fault;
};

/// Reads `text` as one JSON value, calling on `handler`:
///   null(), boolean(bool), number_integer(std::int64_t) for negative integers,
///   number_unsigned(std::uint64_t) for the others, number_float(double) for numbers with a
///   fraction or an exponent, string(std::string_view), key(std::string_view),
///   start_object(), end_object(), start_array(), end_array().
/// The views passed are valid only during the call. Nothing but whitespace may follow the
/// value; at most `max_depth` arrays and objects are open at once. Keys are not checked for
/// repeats: that is the handler's to do. JsonError for a refused text; what the handler throws
/// passes through.
template <class Handler>
void read_json(std::string_view text, Handler& handler, int max_depth);

namespace json_detail {

template <class Handler>
class Reader {
 public:
  Reader(std::string_view text, Handler& handler, int max_depth)
      : text_(text), handler_(handler), max_depth_(max_depth) {}

  void read() {
    // The whole text is checked once, so that strings need no check of their own.
    if (const std::size_t bad = tavrin::internal::first_invalid_utf8(text_);
        bad != std::string_view::npos) {
      fail(bad, JsonFault::kNotUtf8);
    }
    skip_space();
    value();
    skip_space();
    if (at_ < text_.size()) fail(at_, JsonFault::kSyntax);
  }

 private:
  // The next byte, or 0 at the end (a 0 byte in the text is refused like the end).
  char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
  static bool is_digit(char c) { return c >= '0' && c <= '9'; }
  static bool is_plain(char c) {
    return c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20;
  }

  // The offset of the first byte at or after `from` that is not plain, or the text's size; a
  // block at a time while one is left, as the texts of a store are long.
  std::size_t end_of_plain_run(std::size_t from) const {
    using tavrin::core::internal::kBlockBytes;
    for (; text_.size() - from >= kBlockBytes; from += kBlockBytes) {
      const std::uint32_t stops =
          tavrin::core::internal::block_marks_or_controls(text_.data() + from, '"', '\\');
      if (stops != 0) return from + static_cast<std::size_t>(std::countr_zero(stops));
    }
    while (from < text_.size() && is_plain(text_[from])) ++from;
    return from;
  }

  [[noreturn]] static void fail(std::size_t offset, JsonFault fault) {
    throw JsonError(offset + 1, fault);
  }

  void skip_space() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t')) {
      ++at_;
    }
  }

  void expect(char c) {
    if (peek() != c) fail(at_, JsonFault::kSyntax);
    ++at_;
  }

  void value() {
    switch (peek()) {
      case '{':
        return object();
      case '[':
        return array();
      case '"':
        return handler_.string(string_token());
      case 't':
        literal("true");
        return handler_.boolean(true);
      case 'f':
        literal("false");
        return handler_.boolean(false);
      case 'n':
        literal("null");
        return handler_.null();
      default:
        return number();
    }
  }

  void literal(std::string_view word) {
    for (char c : word) expect(c);
  }

  void open(std::size_t at) {
    if (++depth_ > max_depth_) fail(at, JsonFault::kTooDeep);
  }

  // After a member or an element: true for a comma, false for `close`.
  bool next_or_close(char close) {
    skip_space();
    const char c = peek();
    if (c != ',' && c != close) fail(at_, JsonFault::kSyntax);
    ++at_;
    skip_space();
    return c == ',';
  }

  void object() {
    open(at_++);
    handler_.start_object();
    skip_space();
    if (peek() == '}') {
      ++at_;
    } else {
      do {
        if (peek() != '"') fail(at_, JsonFault::kSyntax);
        handler_.key(string_token());
        skip_space();
        expect(':');
        skip_space();
        value();
      } while (next_or_close('}'));
    }
    --depth_;
    handler_.end_object();
  }

  void array() {
    open(at_++);
    handler_.start_array();
    skip_space();
    if (peek() == ']') {
      ++at_;
    } else {
      do {
        value();
      } while (next_or_close(']'));
    }
    --depth_;
    handler_.end_array();
  }

  // The string that starts at the quote under the cursor: a view of the text when it holds no
  // escape, else of its decoded copy.
  std::string_view string_token() {
    const std::size_t start = ++at_;
    at_ = end_of_plain_run(at_);
    if (peek() == '"') return text_.substr(start, at_++ - start);
    buffer_.assign(text_, start, at_ - start);
    for (;;) {
      const char c = peek();
      if (c == '"') {
        ++at_;
        return buffer_;
      }
      if (c == '\\') {
        escape();
      } else if (is_plain(c)) {
        const std::size_t run = at_;
        at_ = end_of_plain_run(at_);
        buffer_.append(text_, run, at_ - run);
      } else {
        fail(at_, JsonFault::kSyntax);  // a control character, or the end of the text
      }
    }
  }

  void escape() {
    const std::size_t backslash = at_++;
    const char c = peek();
    ++at_;
    switch (c) {
      case '"':
      case '\\':
      case '/':
        buffer_ += c;
        return;
      case 'b':
        buffer_ += '\b';
        return;
      case 'f':
        buffer_ += '\f';
        return;
      case 'n':
        buffer_ += '\n';
        return;
      case 'r':
        buffer_ += '\r';
        return;
      case 't':
        buffer_ += '\t';
        return;
      case 'u':
        break;
      default:
        fail(at_ - 1, JsonFault::kSyntax);
    }
    std::uint32_t cp = hex4();
    if (cp >= 0xDC00 && cp <= 0xDFFF) fail(backslash, JsonFault::kSyntax);
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (text_.substr(at_, 2) != "\\u") fail(backslash, JsonFault::kSyntax);
      at_ += 2;
      const std::uint32_t low = hex4();
      if (low < 0xDC00 || low > 0xDFFF) fail(backslash, JsonFault::kSyntax);
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    tavrin::internal::append_utf8(buffer_, cp);
  }

  std::uint32_t hex4() {
    std::uint32_t cp = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = peek();
      std::uint32_t digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        fail(at_, JsonFault::kSyntax);
      }
      cp = cp << 4 | digit;
      ++at_;
    }
    return cp;
  }

  void digits() {
    if (!is_digit(peek())) fail(at_, JsonFault::kSyntax);
    while (is_digit(peek())) ++at_;
  }

  void number() {
    const std::size_t start = at_;
    if (peek() == '-') ++at_;
    if (peek() == '0') {
      ++at_;
    } else {
      digits();
    }
    bool integral = true;
    if (peek() == '.') {
      ++at_;
      digits();
      integral = false;
    }
    if (peek() == 'e' || peek() == 'E') {
      ++at_;
      if (peek() == '+' || peek() == '-') ++at_;
      digits();
      integral = false;
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + at_;
    if (integral && *first == '-') {
      std::int64_t n = 0;
      if (std::from_chars(first, last, n).ec != std::errc()) {
        fail(start, JsonFault::kIntegerBeyond64Bits);
      }
      return handler_.number_integer(n);
    }
    if (integral) {
      std::uint64_t n = 0;
      if (std::from_chars(first, last, n).ec != std::errc()) {
        fail(start, JsonFault::kIntegerBeyond64Bits);
      }
      return handler_.number_unsigned(n);
    }
    // Correctly rounded; refuses what rounds to infinity or to zero from a nonzero spelling.
    double d = 0;
    if (std::from_chars(first, last, d).ec != std::errc() || !std::isfinite(d)) {
      fail(start, JsonFault::kNumberBeyondDouble);
    }
    handler_.number_float(d);
  }

  std::string_view text_;
  Handler& handler_;
  int max_depth_;
  std::size_t at_ = 0;
  int depth_ = 0;
  std::string buffer_;  // the decoded string, when it holds escapes
};

}  // namespace json_detail

template <class Handler>
void read_json(std::string_view text, Handler& handler, int max_depth) {
  json_detail::Reader<Handler>(text, handler, max_depth).read();
}

}  // namespace tavrin::vectorstore::internal
