#include "tavrin/openai/internal/embedding_reply.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/excerpt.hpp"
#include "tavrin/core/internal/source_text.hpp"
#include "tavrin/core/internal/utf8.hpp"

namespace tavrin::openai::internal {
namespace {

constexpr std::size_t kMaxDepth = 1000;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads the JSON number at [p, end) into `value`, the float nearest to it, and answers where it
// ends; or answers nullptr, leaving the number to from_chars, when it is not plain JSON or the
// quick way cannot be sure. The quick way: up to 15 significant digits w are exact in a
// double, as are 10^0..10^22, so w x 10^e (|e| <= 44, in at most two steps) comes within about
// 93 units in the last place (ulp) of the number, truncated digits included (< 1e-14 relative).
// Rounding that double to float gives the float nearest to the number unless the double lies
// within those ulps of a midpoint between two floats, which its 29 bits below float precision
// tell. Three times quicker than from_chars on the 17-digit numbers Python servers write.
const char* quick_float(const char* p, const char* end, float& value) {
  constexpr int kKeptDigits = 15;
  constexpr int kMaxExponent = 44;
  constexpr std::uint64_t kMidpoint = std::uint64_t{1} << 28;  // of the 29 bits float drops
  constexpr std::uint64_t kMargin = 256;                       // ulps, above the 93 at stake
  static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                       1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const bool negative = p < end && *p == '-';
  if (negative) ++p;
  if (p == end || !is_digit(*p)) return nullptr;
  std::uint64_t significand = 0;
  int kept = 0;
  int exponent = 0;
  if (*p == '0') {
    if (++p < end && is_digit(*p)) return nullptr;  // "01"
  } else {
    for (; p < end && is_digit(*p); ++p) {
      if (kept < kKeptDigits) {
        significand = significand * 10 + static_cast<unsigned>(*p - '0');
        ++kept;
      } else {
        ++exponent;
      }
    }
  }
  if (p < end && *p == '.') {
    if (++p == end || !is_digit(*p)) return nullptr;  // "5."
    for (; p < end && is_digit(*p); ++p) {
      if (significand == 0 && *p == '0') {
        --exponent;
      } else if (kept < kKeptDigits) {
        significand = significand * 10 + static_cast<unsigned>(*p - '0');
        ++kept;
        --exponent;
      }
    }
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    const bool below = ++p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    if (p == end || !is_digit(*p)) return nullptr;  // "5e"
    int power = 0;
    for (; p < end && is_digit(*p); ++p) power = std::min(power * 10 + (*p - '0'), 100000);
    exponent += below ? -power : power;
  }
  if (significand == 0) {
    value = negative ? -0.0f : 0.0f;
    return p;
  }
  if (exponent < -kMaxExponent || exponent > kMaxExponent) return nullptr;
  auto wide = static_cast<double>(significand);
  if (exponent < -22) {
    wide /= kPowers[22];
    exponent += 22;
  } else if (exponent > 22) {
    wide *= kPowers[22];
    exponent -= 22;
  }
  wide = exponent < 0 ? wide / kPowers[-exponent] : wide * kPowers[exponent];
  if (!(wide >= std::numeric_limits<float>::min() && wide <= std::numeric_limits<float>::max())) {
    return nullptr;  // zero, subnormal or beyond float: from_chars decides
  }
  const std::uint64_t dropped = std::bit_cast<std::uint64_t>(wide) & (2 * kMidpoint - 1);
  if (dropped + kMargin >= kMidpoint && dropped <= kMidpoint + kMargin) return nullptr;
  const auto rounded = static_cast<float>(wide);
  value = negative ? -rounded : rounded;
  return p;
}

// "1 vector", "2 vectors".
std::string count_of(std::size_t n, const char* noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::string item_name(std::size_t item) { return "data[" + std::to_string(item) + "]"; }

std::string component_name(std::size_t item, std::size_t component) {
  return item_name(item) + ".embedding[" + std::to_string(component) + "]";
}

// 0-63 for a character of the standard base64 alphabet, else -1.
constexpr std::array<std::int8_t, 256> kBase64Values = [] {
  std::array<std::int8_t, 256> values{};
  values.fill(-1);
  constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) values[static_cast<unsigned char>(kAlphabet[i])] = i;
  return values;
}();

class Reader {
 public:
  Reader(std::string_view body, std::span<std::vector<float>> slots, Dimension& dimension,
         std::span<const std::string> secrets)
      : body_(body),
        slots_(slots),
        dimension_(dimension),
        secrets_(secrets),
        answered_(slots.size(), false) {}

  void read() {
    if (!take('{')) fault("the reply is not a JSON object");
    bool has_data = false;
    std::optional<std::string_view> error;
    if (!take('}')) {
      do {
        const std::string key(read_key());
        if (key == "data") {
          if (has_data) fault("the reply has two \"data\" members");
          has_data = true;
          read_data();
        } else if (key == "error") {
          skip_blanks();
          const std::size_t start = pos_;
          skip_value(1);
          error = body_.substr(start, pos_ - start);
        } else {
          skip_value(1);
        }
      } while (next_member('}'));
    }
    skip_blanks();
    if (pos_ != body_.size()) syntax_error("the end of the reply");
    if (!has_data) {
      std::string message = "the reply has no \"data\" array";
      if (error) message += " but an \"error\": " + quote_error(*error);
      fault(message);
    }
  }

 private:
  // The text of an "error" member (its "message" when it has one), each secret replaced before
  // it is cut to a quote, so that no part of one is left.
  std::string quote_error(std::string_view error) const {
    const nlohmann::json value = nlohmann::json::parse(error, nullptr, false);
    std::string text(error);
    if (value.is_string()) {
      text = value.get<std::string>();
    } else if (value.is_object() && value.contains("message") && value["message"].is_string()) {
      text = value["message"].get<std::string>();
    }
    for (const std::string& secret : secrets_) {
      if (secret.empty()) continue;
      for (auto at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3)) {
        text.replace(at, secret.size(), "***");
      }
    }
    return core::internal::quote(text, 0, text.size());
  }

  [[noreturn]] static void fault(const std::string& what) { throw ValueError(what); }

  [[noreturn]] void syntax_error(const char* expected) const {
    fault("the reply is not valid JSON: expected " + std::string(expected) + " at byte " +
          std::to_string(pos_));
  }

  void skip_blanks() {
    while (pos_ < body_.size() && (body_[pos_] == ' ' || body_[pos_] == '\n' ||
                                   body_[pos_] == '\r' || body_[pos_] == '\t')) {
      ++pos_;
    }
  }

  char peek() {
    skip_blanks();
    return pos_ < body_.size() ? body_[pos_] : '\0';
  }

  bool take(char c) {
    if (peek() != c) return false;
    ++pos_;
    return true;
  }

  // After a member or an element: true at ',', false at `close`.
  bool next_member(char close) {
    if (take(',')) return true;
    if (take(close)) return false;
    syntax_error(close == '}' ? "',' or '}'" : "',' or ']'");
  }

  std::string_view read_key() {
    if (peek() != '"') syntax_error("a member name");
    const std::string_view key = read_string();
    if (!take(':')) syntax_error("':'");
    return key;
  }

  // The string at pos_: a view of the body when it holds no escape, else its decoded text in
  // scratch_ (valid until the next string).
  std::string_view read_string() {
    const std::size_t start = ++pos_;
    for (; pos_ < body_.size(); ++pos_) {
      const char c = body_[pos_];
      if (c == '"') return body_.substr(start, pos_++ - start);
      if (c == '\\') break;
      if (static_cast<unsigned char>(c) < 0x20) syntax_error("no control character in a string");
    }
    scratch_.assign(body_.substr(start, pos_ - start));
    while (pos_ < body_.size()) {
      const char c = body_[pos_++];
      if (c == '"') return scratch_;
      if (static_cast<unsigned char>(c) < 0x20) {
        --pos_;
        syntax_error("no control character in a string");
      }
      if (c != '\\') {
        scratch_ += c;
        continue;
      }
      if (pos_ >= body_.size()) break;
      switch (body_[pos_++]) {
        case '"':
          scratch_ += '"';
          break;
        case '\\':
          scratch_ += '\\';
          break;
        case '/':
          scratch_ += '/';
          break;
        case 'b':
          scratch_ += '\b';
          break;
        case 'f':
          scratch_ += '\f';
          break;
        case 'n':
          scratch_ += '\n';
          break;
        case 'r':
          scratch_ += '\r';
          break;
        case 't':
          scratch_ += '\t';
          break;
        case 'u':
          tavrin::internal::append_utf8(scratch_, read_unicode_escape());
          break;
        default:
          --pos_;
          syntax_error("an escape character");
      }
    }
    syntax_error("the end of a string");
  }

  std::uint32_t read_hex4() {
    if (body_.size() - pos_ < 4) syntax_error("four hexadecimal digits");
    std::uint32_t value = 0;
    const auto [end, error] =
        std::from_chars(body_.data() + pos_, body_.data() + pos_ + 4, value, 16);
    if (error != std::errc() || end != body_.data() + pos_ + 4)
      syntax_error("four hexadecimal digits");
    pos_ += 4;
    return value;
  }

  // After "\u": the code point of the escape, of a surrogate pair when it starts one.
  std::uint32_t read_unicode_escape() {
    const std::uint32_t first = read_hex4();
    if (first >= 0xDC00 && first <= 0xDFFF) syntax_error("no lone low surrogate");
    if (first < 0xD800 || first > 0xDBFF) return first;
    if (!body_.substr(pos_).starts_with("\\u")) syntax_error("a low surrogate");
    pos_ += 2;
    const std::uint32_t second = read_hex4();
    if (second < 0xDC00 || second > 0xDFFF) syntax_error("a low surrogate");
    return 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
  }

  bool digit_at(std::size_t at) const { return at < body_.size() && is_digit(body_[at]); }

  void skip_digits() {
    while (digit_at(pos_)) ++pos_;
  }

  // The JSON number at pos_, checked against the grammar (which from_chars alone is not: it
  // takes "01", ".5" and "inf").
  std::string_view read_number() {
    const std::size_t start = pos_;
    if (pos_ < body_.size() && body_[pos_] == '-') ++pos_;
    if (!digit_at(pos_)) syntax_error("a digit");
    if (body_[pos_] == '0') {
      ++pos_;
    } else {
      skip_digits();
    }
    if (pos_ < body_.size() && body_[pos_] == '.') {
      if (!digit_at(++pos_)) syntax_error("a digit after '.'");
      skip_digits();
    }
    if (pos_ < body_.size() && (body_[pos_] == 'e' || body_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < body_.size() && (body_[pos_] == '+' || body_[pos_] == '-')) ++pos_;
      if (!digit_at(pos_)) syntax_error("a digit in the exponent");
      skip_digits();
    }
    return body_.substr(start, pos_ - start);
  }

  void skip_literal(std::string_view word) {
    if (!body_.substr(pos_).starts_with(word)) syntax_error("a value");
    pos_ += word.size();
  }

  void skip_value(std::size_t depth) {
    switch (peek()) {
      case '{':
      case '[': {
        if (depth > kMaxDepth) fault("the reply nests deeper than 1000 levels");
        const char close = body_[pos_] == '{' ? '}' : ']';
        ++pos_;
        if (take(close)) return;
        do {
          if (close == '}') read_key();
          skip_value(depth + 1);
        } while (next_member(close));
        return;
      }
      case '"':
        read_string();
        return;
      case 't':
        skip_literal("true");
        return;
      case 'f':
        skip_literal("false");
        return;
      case 'n':
        skip_literal("null");
        return;
      default:
        read_number();
    }
  }

  void read_data() {
    if (peek() != '[') fault("\"data\" in the reply is not an array");
    ++pos_;
    std::size_t items = 0;
    if (!take(']')) {
      do {
        read_item(items++);
      } while (next_member(']'));
    }
    if (items != slots_.size()) {
      fault("the reply has " + count_of(items, "vector") + " for " +
            count_of(slots_.size(), "text"));
    }
  }

  void read_item(std::size_t item) {
    if (peek() != '{') fault(item_name(item) + " is not an object");
    ++pos_;
    std::optional<std::size_t> index;
    bool has_embedding = false;
    std::vector<float> vector;
    if (!take('}')) {
      do {
        const std::string_view key = read_key();
        if (key == "index") {
          if (index) fault(item_name(item) + " has two \"index\" members");
          index = read_index(item);
        } else if (key == "embedding") {
          if (has_embedding) fault(item_name(item) + " has two \"embedding\" members");
          has_embedding = true;
          read_embedding(item, vector);
        } else {
          skip_value(2);
        }
      } while (next_member('}'));
    }
    if (!has_embedding) fault(item_name(item) + " has no \"embedding\"");
    const std::size_t slot = index.value_or(item);
    if (slot >= slots_.size()) {
      fault(index ? item_name(item) + ".index " + std::to_string(slot) + " is out of range for " +
                        count_of(slots_.size(), "text")
                  : "the reply has more than " + count_of(slots_.size(), "vector") + " for " +
                        count_of(slots_.size(), "text"));
    }
    if (answered_[slot]) {
      fault(item_name(item) + " answers text " + std::to_string(slot) + " of the batch again");
    }
    answered_[slot] = true;
    slots_[slot] = std::move(vector);
  }

  std::size_t read_index(std::size_t item) {
    const char c = peek();
    if (c != '-' && (c < '0' || c > '9')) fault(item_name(item) + ".index is not a number");
    const std::string_view number = read_number();
    std::size_t index = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), index);
    if (error != std::errc() || end != number.data() + number.size()) {
      fault(item_name(item) + ".index " + std::string(tavrin::internal::excerpt(number)) +
            " is not a text's position");
    }
    return index;
  }

  void read_embedding(std::size_t item, std::vector<float>& vector) {
    const char c = peek();
    if (c == '[') {
      read_float_array(item, vector);
    } else if (c == '"') {
      decode_base64(item, read_string(), vector);
    } else {
      fault(item_name(item) + ".embedding is neither an array of numbers nor a base64 string");
    }
    if (vector.empty()) fault(item_name(item) + ".embedding is empty");
    if (dimension_.size == 0) dimension_.size = vector.size();
    if (vector.size() != dimension_.size) {
      fault(item_name(item) + ".embedding has " + std::to_string(vector.size()) +
            " components, not " +
            (dimension_.asked ? "the " + std::to_string(dimension_.size) + " asked for"
                              : std::to_string(dimension_.size) + " as the vectors before it"));
    }
    // A zero vector has no direction: its cosine with anything is 0, which would rank it as
    // unrelated to every query without anyone noticing.
    if (std::all_of(vector.begin(), vector.end(), [](float x) { return x == 0; })) {
      fault(item_name(item) + ".embedding is all zeros, not a direction");
    }
  }

  void read_float_array(std::size_t item, std::vector<float>& vector) {
    ++pos_;
    vector.reserve(dimension_.size);
    if (take(']')) return;
    do {
      vector.push_back(read_component(item, vector.size()));
    } while (next_member(']'));
  }

  // The common case first (see quick_float); anything else goes the careful way.
  float read_component(std::size_t item, std::size_t component) {
    skip_blanks();
    const char* first = body_.data() + pos_;
    float value = 0;
    if (const char* last = quick_float(first, body_.data() + body_.size(), value)) {
      pos_ = static_cast<std::size_t>(last - body_.data());
      return value;
    }
    return read_component_carefully(item, component);
  }

  float read_component_carefully(std::size_t item, std::size_t component) {
    const char c = peek();
    // What a serialiser writes for a value that is not finite: Python's json, and serde's null.
    for (std::string_view word : {"NaN", "Infinity", "-Infinity", "null"}) {
      if (c == word[0] && body_.substr(pos_).starts_with(word)) {
        fault(component_name(item, component) + " is " + std::string(word) +
              ", not a finite number");
      }
    }
    if (c != '-' && !is_digit(c)) syntax_error("a number");
    const std::string_view number = read_number();
    const char* first = number.data();
    const char* last = first + number.size();
    float value = 0;
    if (std::from_chars(first, last, value).ec == std::errc()) return value;
    // Outside float's range: a value a double holds is cast, so that a tiny one becomes zero or
    // a subnormal as it would in numpy; beyond that the value cannot be stored.
    double wide = 0;
    const bool held = std::from_chars(first, last, wide).ec == std::errc();
    if (held) value = static_cast<float>(wide);
    if (!held || !std::isfinite(value)) {
      fault(component_name(item, component) + " is " +
            std::string(tavrin::internal::excerpt(number)) + ", outside the float32 range");
    }
    return value;
  }

  // `text`: base64 (standard alphabet, padding optional) of little-endian float32 values.
  void decode_base64(std::size_t item, std::string_view text, std::vector<float>& vector) const {
    if (text.size() % 4 == 0 && text.ends_with('='))
      text.remove_suffix(text.ends_with("==") ? 2 : 1);
    const std::size_t bytes =
        text.size() / 4 * 3 + (text.size() % 4 == 0 ? 0 : text.size() % 4 - 1);
    if (text.size() % 4 == 1 || bytes % sizeof(float) != 0) {
      fault(item_name(item) + ".embedding is not base64 of float32 values (" +
            std::to_string(text.size()) + " characters)");
    }
    vector.resize(bytes / sizeof(float));
    auto* out = reinterpret_cast<unsigned char*>(vector.data());
    std::uint32_t bits = 0;
    int held = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const int value = kBase64Values[static_cast<unsigned char>(text[i])];
      if (value < 0) {
        fault(item_name(item) + ".embedding has a character that is not base64 at its offset " +
              std::to_string(i));
      }
      bits = (bits << 6) | static_cast<std::uint32_t>(value);
      held += 6;
      if (held >= 8) {
        held -= 8;
        *out++ = static_cast<unsigned char>(bits >> held);
      }
    }
    for (std::size_t i = 0; i < vector.size(); ++i) {
      if constexpr (std::endian::native == std::endian::big) {
        vector[i] =
            std::bit_cast<float>(__builtin_bswap32(std::bit_cast<std::uint32_t>(vector[i])));
      }
      if (!std::isfinite(vector[i])) {
        fault(component_name(item, i) + " is " + (std::isnan(vector[i]) ? "NaN" : "infinite") +
              ", not a finite number");
      }
    }
  }

  std::string_view body_;
  std::size_t pos_ = 0;
  std::span<std::vector<float>> slots_;
  Dimension& dimension_;
  std::span<const std::string> secrets_;
  std::vector<bool> answered_;
  std::string scratch_;
};

}  // namespace

void read_embedding_reply(std::string_view body, std::span<std::vector<float>> slots,
                          Dimension& dimension, std::span<const std::string> secrets) {
  Reader(body, slots, dimension, secrets).read();
}

}  // namespace tavrin::openai::internal
