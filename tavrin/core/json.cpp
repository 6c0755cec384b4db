#include "tavrin/core/json.hpp"

#include <array>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/build_budget.hpp"
#include "tavrin/core/internal/decimal_float.hpp"
#include "tavrin/core/internal/source_text.hpp"
#include "tavrin/core/internal/utf8.hpp"
#include "tavrin/core/internal/value_limits.hpp"

namespace tavrin {
namespace {

// Objects with more members than this find repeated keys through a hash index.
constexpr std::size_t kLinearLookupLimit = 16;
// Room made in a new object at once: a reply's objects have a few members, which would
// otherwise take three or four allocations as the room doubles.
constexpr std::size_t kTypicalMembers = 8;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The bytes that stand for themselves inside a string: printable ASCII but the quote and the
// backslash. The others end a run: control characters are refused, UTF-8 is checked.
constexpr std::array<bool, 256> kPlainStringByte = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
  return plain;
}();

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A recursive-descent reader that builds the Value in place. Its faults are worded as Python's
// json module words them, at the place Python gives.
class Reader {
 public:
  // `building` false: every fault is found, but no value is kept. With a `budget`, building
  // gives up (BuildBudget::Exceeded) once the value outgrows it.
  Reader(std::string_view text, bool building, core::internal::BuildBudget* budget = nullptr)
      : text_(text), building_(building), budget_(budget) {}

  Value read() {
    Value value;
    skip_blanks();
    read_value(value, 0);
    skip_blanks();
    if (pos_ < text_.size()) fail(pos_, "extra data");
    return value;
  }

 private:
  using Members = Value::object_t::Container;

  [[noreturn]] void fail(std::size_t offset, const std::string& why) const {
    throw ValueError("json_loads: " + why + " at " +
                     core::internal::line_and_column(text_, offset) + ": " +
                     core::internal::quote(text_, offset, text_.size()));
  }

  bool at(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

  void skip_blanks() {
    while (pos_ < text_.size() && is_blank(text_[pos_])) ++pos_;
  }

  // Reads the value at pos_ into `out`, which is null.
  void read_value(Value& out, std::size_t depth) {
    if (pos_ >= text_.size()) fail(pos_, "expecting value");
    switch (text_[pos_]) {
      case '{':
        return read_object(out, depth + 1);
      case '[':
        return read_array(out, depth + 1);
      case '"': {
        std::string s;
        read_string(s);
        if (building_) out = std::move(s);
        return;
      }
      case 't':
        return read_word("true", out, Value(true));
      case 'f':
        return read_word("false", out, Value(false));
      case 'n':
        return read_word("null", out, Value());
      case 'N':  // not JSON, but Python's json reads and writes them
        return read_word("NaN", out, Value(std::numeric_limits<double>::quiet_NaN()));
      case 'I':
        return read_word("Infinity", out, Value(std::numeric_limits<double>::infinity()));
      default:
        return read_number(out);
    }
  }

  void read_word(std::string_view word, Value& out, Value&& value) {
    if (text_.substr(pos_, word.size()) != word) fail(pos_, "expecting value");
    pos_ += word.size();
    if (building_) out = std::move(value);
  }

  void enter(std::size_t depth) const {
    if (depth > core::internal::kMaxValueDepth) {
      fail(pos_,
           "nesting deeper than " + std::to_string(core::internal::kMaxValueDepth) + " levels");
    }
  }

  void read_array(Value& out, std::size_t depth) {
    enter(depth);
    ++pos_;  // [
    skip_blanks();
    Value::array_t* elements = nullptr;
    if (building_) {
      out = Value(Value::value_t::array);
      elements = &out.get_ref<Value::array_t&>();
    }
    if (at(']')) {
      ++pos_;
      return;
    }
    Value ignored;
    for (;;) {
      if (building_) elements->emplace_back();
      read_value(building_ ? elements->back() : ignored, depth);
      if (budget_ != nullptr) budget_->charge_element(elements->back());
      if (!end_of_member(']')) return;
    }
  }

  // After a member: true at ',' (skipped with the blanks after it), false at `close` (skipped).
  bool end_of_member(char close) {
    skip_blanks();
    if (at(',')) {
      ++pos_;
      skip_blanks();
      return true;
    }
    if (!at(close)) fail(pos_, "expecting ',' delimiter");
    ++pos_;
    return false;
  }

  void read_object(Value& out, std::size_t depth) {
    enter(depth);
    ++pos_;  // {
    skip_blanks();
    Members* members = nullptr;
    if (building_) {
      out = Value(Value::value_t::object);
      members = &static_cast<Members&>(out.get_ref<Value::object_t&>());
    }
    if (at('}')) {
      ++pos_;
      return;
    }
    if (building_) members->reserve(kTypicalMembers);
    std::unordered_map<std::string, std::size_t> index;
    std::string key;
    Value ignored;
    for (;;) {
      if (!at('"')) fail(pos_, "expecting property name enclosed in double quotes");
      key.clear();
      read_string(key);
      skip_blanks();
      if (!at(':')) fail(pos_, "expecting ':' delimiter");
      ++pos_;
      skip_blanks();
      const std::size_t key_size = key.size();
      Value& value = building_ ? slot(*members, index, key) : ignored;
      read_value(value, depth);
      if (budget_ != nullptr) budget_->charge_member(key_size, value);
      if (!end_of_member('}')) return;
    }
  }

  // Where the value of `key` goes: a repeated key keeps its first place and takes the last
  // value, which replaces the earlier one.
  static Value& slot(Members& members, std::unordered_map<std::string, std::size_t>& index,
                     std::string& key) {
    if (const auto found = find_member(members, index, key)) {
      Value& value = members[*found].second;
      value = nullptr;
      return value;
    }
    if (!index.empty()) index.emplace(key, members.size());
    members.emplace_back(std::move(key), nullptr);
    return members.back().second;
  }

  static std::optional<std::size_t> find_member(const Members& members,
                                                std::unordered_map<std::string, std::size_t>& index,
                                                const std::string& key) {
    if (members.size() <= kLinearLookupLimit) {
      for (std::size_t i = 0; i < members.size(); ++i) {
        if (members[i].first == key) return i;
      }
      return std::nullopt;
    }
    if (index.empty()) {
      for (std::size_t i = 0; i < members.size(); ++i) index.emplace(members[i].first, i);
    }
    const auto it = index.find(key);
    if (it == index.end()) return std::nullopt;
    return it->second;
  }

  // Appends the string that opens at pos_ to `out` (when building), and moves past it.
  void read_string(std::string& out) {
    const std::size_t open = pos_++;
    std::size_t run = pos_;  // start of the bytes not yet copied
    for (;;) {
      while (pos_ < text_.size() && kPlainStringByte[static_cast<unsigned char>(text_[pos_])]) {
        ++pos_;
      }
      if (pos_ >= text_.size()) fail(open, "unterminated string starting");
      const auto c = static_cast<unsigned char>(text_[pos_]);
      if (c >= 0x80) {
        const std::size_t length = internal::well_formed_length(text_.substr(pos_));
        if (length == 0) fail(pos_, "invalid UTF-8");
        pos_ += length;
        continue;
      }
      if (c < 0x20) fail(pos_, "invalid control character");
      if (building_) out.append(text_.data() + run, pos_ - run);
      if (c == '"') {
        ++pos_;
        return;
      }
      if (pos_ + 1 >= text_.size()) fail(open, "unterminated string starting");
      read_escape(out);
      run = pos_;
    }
  }

  // Reads `\uXXXX` at pos_ (the backslash); -1 when the four hex digits are not there.
  long hex_escape() const {
    if (pos_ + 6 > text_.size() || text_[pos_ + 1] != 'u') return -1;
    long value = 0;
    for (std::size_t k = pos_ + 2; k < pos_ + 6; ++k) {
      const int digit = hex_value(text_[k]);
      if (digit < 0) return -1;
      value = value * 16 + digit;
    }
    return value;
  }

  void read_escape(std::string& out) {
    const std::size_t backslash = pos_;
    static constexpr std::string_view kSimple = "\"\\/bfnrt";
    static constexpr std::string_view kSimpleValues = "\"\\/\b\f\n\r\t";
    if (const std::size_t k = kSimple.find(text_[pos_ + 1]); k != std::string_view::npos) {
      if (building_) out += kSimpleValues[k];
      pos_ += 2;
      return;
    }
    if (text_[pos_ + 1] != 'u') fail(backslash, "invalid \\escape");
    long cp = hex_escape();
    if (cp < 0) fail(backslash, "invalid \\uXXXX escape");
    pos_ += 6;
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      // UTF-8 text holds a surrogate only as the half of a pair.
      const bool escape_follows =
          cp <= 0xDBFF && at('\\') && pos_ + 1 < text_.size() && text_[pos_ + 1] == 'u';
      const long low = escape_follows ? hex_escape() : -1;
      if (escape_follows && low < 0) fail(pos_, "invalid \\uXXXX escape");
      if (low < 0xDC00 || low > 0xDFFF) fail(backslash, "lone surrogate escape, not UTF-8 text");
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      pos_ += 6;
    }
    if (building_) internal::append_utf8(out, static_cast<std::uint32_t>(cp));
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?, the longest match at pos_.
  void read_number(Value& out) {
    const std::size_t begin = pos_;
    if (at('-')) ++pos_;
    if (pos_ > begin && at('I')) {
      return read_word("Infinity", out, Value(-std::numeric_limits<double>::infinity()));
    }
    if (pos_ >= text_.size() || !is_digit(text_[pos_])) fail(begin, "expecting value");
    if (at('0')) {
      ++pos_;
    } else {
      skip_digits();
    }
    bool is_float = false;
    if (at('.') && pos_ + 1 < text_.size() && is_digit(text_[pos_ + 1])) {
      ++pos_;
      skip_digits();
      is_float = true;
    }
    if (at('e') || at('E')) {
      std::size_t k = pos_ + 1;
      if (k < text_.size() && (text_[k] == '+' || text_[k] == '-')) ++k;
      if (k < text_.size() && is_digit(text_[k])) {
        pos_ = k;
        skip_digits();
        is_float = true;
      }
    }
    const bool negative = text_[begin] == '-';
    const std::string_view digits = text_.substr(begin + negative, pos_ - begin - negative);
    if (is_float) {
      // Beyond the double range: infinity or zero, as Python's float() gives.
      const double magnitude = core::internal::parse_decimal_float(digits);
      if (building_) out = negative ? -magnitude : magnitude;
      return;
    }
    std::uint64_t magnitude = 0;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    constexpr auto kMinMagnitude = std::uint64_t{1} << 63;  // of the most negative int64
    if (r.ec != std::errc() || (negative && magnitude > kMinMagnitude)) {
      fail(begin, "integer outside the 64-bit range");
    }
    if (!building_) return;
    if (!negative) {
      out = magnitude;
    } else if (magnitude == kMinMagnitude) {
      out = std::numeric_limits<std::int64_t>::min();
    } else {
      out = -static_cast<std::int64_t>(magnitude);
    }
  }

  void skip_digits() {
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
  }

  std::string_view text_;
  const bool building_;
  core::internal::BuildBudget* budget_;
  std::size_t pos_ = 0;
};

}  // namespace

Value json_loads(std::string_view text) {
  // The faults of a text do not depend on building, so a fault found while building is the
  // one the check would find.
  return core::internal::build_within_budget(
      text, [text](bool building, core::internal::BuildBudget* budget) {
        return Reader(text, building, budget).read();
      });
}

}  // namespace tavrin
