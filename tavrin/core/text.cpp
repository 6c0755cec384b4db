#include "tavrin/core/text.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <utility>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/append.hpp"
#include "tavrin/core/internal/utf8.hpp"
#include "tavrin/core/internal/value_limits.hpp"

namespace tavrin {
namespace {

constexpr std::string_view kHexDigits = "0123456789abcdef";

void append_hex(std::string& out, std::uint32_t value, int digits) {
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
    out += kHexDigits[(value >> shift) & 0xF];
  }
}

// Python writes a code point it cannot show as \xhh, \uXXXX or \UXXXXXXXX, whichever fits.
void append_code_point_escape(std::string& out, std::uint32_t cp) {
  if (cp <= 0xFF) {
    out += "\\x";
    append_hex(out, cp, 2);
  } else if (cp <= 0xFFFF) {
    out += "\\u";
    append_hex(out, cp, 4);
  } else {
    out += "\\U";
    append_hex(out, cp, 8);
  }
}

// The quote Python picks: single, unless the text holds a single quote and no double quote.
char pick_quote(std::string_view s) {
  return s.find('\'') != std::string_view::npos && s.find('"') == std::string_view::npos ? '"'
                                                                                         : '\'';
}

// Escapes shared by text and bytes; false when `c` needs none.
bool append_ascii_escape(std::string& out, unsigned char c, char quote) {
  switch (c) {
    case '\\':
      out += "\\\\";
      return true;
    case '\n':
      out += "\\n";
      return true;
    case '\r':
      out += "\\r";
      return true;
    case '\t':
      out += "\\t";
      return true;
    default:
      break;
  }
  if (c == static_cast<unsigned char>(quote)) {
    out += '\\';
    out += quote;
    return true;
  }
  if (c < 0x20 || c == 0x7F) {
    append_code_point_escape(out, c);
    return true;
  }
  return false;
}

// Characters that utf8proc (Unicode 15) knows but Python 3.11 (Unicode 14) holds unassigned,
// so Python's repr escapes them. Sorted, inclusive ranges.
constexpr std::array<std::pair<std::uint32_t, std::uint32_t>, 32> kUnassignedInPython{{
    {0xCF3, 0xCF3},     {0xECE, 0xECE},     {0x10EFD, 0x10EFF}, {0x1123F, 0x11241},
    {0x11B00, 0x11B09}, {0x11F00, 0x11F10}, {0x11F12, 0x11F3A}, {0x11F3E, 0x11F59},
    {0x1342F, 0x1342F}, {0x13440, 0x13455}, {0x1B132, 0x1B132}, {0x1B155, 0x1B155},
    {0x1D2C0, 0x1D2D3}, {0x1DF25, 0x1DF2A}, {0x1E030, 0x1E06D}, {0x1E08F, 0x1E08F},
    {0x1E4D0, 0x1E4F9}, {0x1F6DC, 0x1F6DC}, {0x1F774, 0x1F776}, {0x1F77B, 0x1F77F},
    {0x1F7D9, 0x1F7D9}, {0x1FA75, 0x1FA77}, {0x1FA87, 0x1FA88}, {0x1FAAD, 0x1FAAF},
    {0x1FABB, 0x1FABD}, {0x1FABF, 0x1FABF}, {0x1FACE, 0x1FACF}, {0x1FADA, 0x1FADB},
    {0x1FAE8, 0x1FAE8}, {0x1FAF7, 0x1FAF8}, {0x2B739, 0x2B739}, {0x31350, 0x323AF},
}};

bool unassigned_in_python(std::uint32_t cp) {
  const auto* it =
      std::upper_bound(kUnassignedInPython.begin(), kUnassignedInPython.end(), cp,
                       [](std::uint32_t c, const std::pair<std::uint32_t, std::uint32_t>& r) {
                         return c < r.first;
                       });
  return it != kUnassignedInPython.begin() && cp <= std::prev(it)->second;
}

bool is_printable(std::uint32_t cp) {
  constexpr std::uint32_t kCjkFirst = 0x4E00;  // CJK Unified Ideographs, all letters: the bulk
  constexpr std::uint32_t kCjkLast = 0x9FFF;   // of Chinese text, decided without a lookup
  if (cp >= kCjkFirst && cp <= kCjkLast) return true;
  switch (utf8proc_category(static_cast<utf8proc_int32_t>(cp))) {
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CO:
    case UTF8PROC_CATEGORY_CN:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
    case UTF8PROC_CATEGORY_ZS:
      return false;
    default:
      return !unassigned_in_python(cp);
  }
}

// A string's text in quotes. A byte that does not belong to well-formed UTF-8 is shown as
// Python shows such a byte decoded with surrogateescape (\udc80..\udcff); literal_eval turns
// those escapes back into the raw bytes, so the text still reads back unchanged.
bool is_plain_ascii(unsigned char c, char quote) {
  return c >= 0x20 && c < 0x7F && c != '\\' && c != static_cast<unsigned char>(quote);
}

void append_text_repr(std::string& out, std::string_view s) {
  const char quote = pick_quote(s);
  out.reserve(out.size() + s.size() + 2);
  out += quote;
  std::size_t run = 0;  // start of the characters that stand as they are, not yet copied
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (is_plain_ascii(c, quote)) {
        ++i;
        continue;
      }
      out.append(s, run, i - run);
      append_ascii_escape(out, c, quote);
      run = ++i;
      continue;
    }
    std::uint32_t cp = 0;
    const std::size_t length = internal::decode_code_point(s.substr(i), cp);
    if (length > 0 && is_printable(cp)) {
      i += length;
      continue;
    }
    out.append(s, run, i - run);
    if (length == 0) {
      out += "\\udc";
      append_hex(out, c, 2);
      ++i;
    } else {
      append_code_point_escape(out, cp);
      i += length;
    }
    run = i;
  }
  out.append(s, run, i - run);
  out += quote;
}

void append_bytes_repr(std::string& out, const Value::binary_t& bytes) {
  const std::string_view view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const char quote = pick_quote(view);
  out += 'b';
  out += quote;
  for (const unsigned char c : bytes) {
    if (c >= 0x80) {
      append_code_point_escape(out, c);
    } else if (!append_ascii_escape(out, c, quote)) {
      out += static_cast<char>(c);
    }
  }
  out += quote;
}

// Python's float repr: the shortest digits that read back to the same double, written
// positionally when the decimal exponent lies in [-4, 16), in exponent form otherwise.
void append_float_repr(std::string& out, double d) {
  if (std::isnan(d)) {
    out += "nan";
    return;
  }
  if (std::isinf(d)) {
    out += d < 0 ? "-inf" : "inf";
    return;
  }
  std::array<char, 64> buffer{};
  const auto result =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), d, std::chars_format::scientific);
  const std::string_view sci(buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data()));
  // sci looks like "-1.2345e+06": sign, digits around one point, exponent.
  const std::size_t e_pos = sci.find('e');
  std::string_view mantissa = sci.substr(0, e_pos);
  int exponent = 0;
  std::from_chars(sci.data() + e_pos + (sci[e_pos + 1] == '+' ? 2 : 1), sci.data() + sci.size(),
                  exponent);
  if (!mantissa.empty() && mantissa.front() == '-') {
    out += '-';
    mantissa.remove_prefix(1);
  }
  std::string digits;
  for (const char c : mantissa) {
    if (c != '.') digits += c;
  }
  const int point = exponent + 1;  // digits before the decimal point
  if (point > -4 && point <= 16) {
    if (point <= 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-point), '0');
      out += digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
      out += digits;
      out.append(static_cast<std::size_t>(point) - digits.size(), '0');
      out += ".0";
    } else {
      out.append(digits, 0, static_cast<std::size_t>(point));
      out += '.';
      out.append(digits, static_cast<std::size_t>(point));
    }
    return;
  }
  out += digits[0];
  if (digits.size() > 1) {
    out += '.';
    out.append(digits, 1);
  }
  out += exponent < 0 ? "e-" : "e+";
  const int magnitude = exponent < 0 ? -exponent : exponent;
  if (magnitude < 10) out += '0';
  out += std::to_string(magnitude);
}

void append_repr(std::string& out, const Value& v, std::size_t depth) {
  if (depth > core::internal::kMaxValueDepth) {
    throw ValueError("repr: value nested deeper than " +
                     std::to_string(core::internal::kMaxValueDepth) + " levels");
  }
  switch (v.type()) {
    case Value::value_t::null:
      out += "None";
      return;
    case Value::value_t::boolean:
      out += v.get<bool>() ? "True" : "False";
      return;
    case Value::value_t::number_integer:
      internal::append_chars(out, v.get<std::int64_t>());
      return;
    case Value::value_t::number_unsigned:
      internal::append_chars(out, v.get<std::uint64_t>());
      return;
    case Value::value_t::number_float:
      append_float_repr(out, v.get<double>());
      return;
    case Value::value_t::string:
      append_text_repr(out, v.get_ref<const std::string&>());
      return;
    case Value::value_t::binary:
      append_bytes_repr(out, v.get_binary());
      return;
    case Value::value_t::array: {
      out += '[';
      const char* separator = "";
      for (const Value& element : v) {
        out += separator;
        append_repr(out, element, depth + 1);
        separator = ", ";
      }
      out += ']';
      return;
    }
    case Value::value_t::object: {
      out += '{';
      const char* separator = "";
      for (const auto& [key, element] : v.items()) {
        out += separator;
        append_text_repr(out, key);
        out += ": ";
        append_repr(out, element, depth + 1);
        separator = ", ";
      }
      out += '}';
      return;
    }
    case Value::value_t::discarded:
      break;
  }
  throw ValueError("repr: a discarded value has no literal form");
}

}  // namespace

std::string repr(const Value& v) {
  std::string out;
  append_repr(out, v, 0);
  return out;
}

namespace internal {

void repr_into(std::string& out, const Value& v) { append_repr(out, v, 0); }

}  // namespace internal

std::string str(const Value& v) {
  if (v.is_string()) return v.get<std::string>();
  return repr(v);
}

bool contains_ignoring_case(std::string_view text, std::string_view word) {
  const auto same = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  };
  return std::search(text.begin(), text.end(), word.begin(), word.end(), same) != text.end();
}

std::size_t display_width(std::string_view text) {
  std::size_t columns = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::uint32_t cp = 0;
    const std::size_t length = internal::decode_code_point(text.substr(at), cp);
    if (length == 0) {
      ++columns;
      ++at;
      continue;
    }
    columns += static_cast<std::size_t>(utf8proc_charwidth(static_cast<utf8proc_int32_t>(cp)));
    at += length;
  }
  return columns;
}

}  // namespace tavrin
