// What literal_eval's two reads share: the plain read of the usual reply (literal_plain.cpp),
// which it tries first, and the parser of the whole expression grammar (literal.cpp), which
// reads the text again when the plain read gives up. Both read tokens the same way, take the
// value of a number token the same way and keep list elements and dict members the same way.
// Internal to tavrin::core.
//
//   Value v;
//   read_plain("{'a': [1, -2.5]}", nullptr, v);   // -> PlainLiteral::kValue, v: {"a": [1, -2.5]}
#pragma once

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tavrin/core/internal/build_budget.hpp"
#include "tavrin/core/internal/decimal_float.hpp"
#include "tavrin/core/internal/literal_lexer.hpp"
#include "tavrin/core/internal/literal_scan.hpp"
#include "tavrin/core/internal/literal_values.hpp"
#include "tavrin/core/value.hpp"

namespace tavrin::core::internal::literal {

/// literal_eval's first read of `text`, as read_plain_literal describes it, but of a text of
/// any length: with a `budget`, the value is counted against it (BuildBudget::Exceeded).
PlainLiteral read_plain(std::string_view text, BuildBudget* budget, Value& out);

// ---------------------------------------------------------------- tokens

/// A read of one text token by token: its lexer, the token at hand and where the one before
/// it ended.
class TokenReader {
 protected:
  explicit TokenReader(std::string_view text) : lexer_(text) {}

  std::string_view text_of(const Token& t) const {
    return lexer_.text().substr(t.begin, t.end - t.begin);
  }

  void advance() {
    previous_end_ = token_.end;
    lexer_.next(token_);
  }

  bool at_operator(std::string_view op) const {
    return token_.kind == TokenKind::kOperator && token_.op == operator_code(op);
  }

  bool accept_operator(std::string_view op) {
    if (!at_operator(op)) return false;
    advance();
    return true;
  }

  Lexer lexer_;
  Token token_;
  std::size_t previous_end_ = 0;
};

// ---------------------------------------------------------------- numbers

/// The value of a number token, as the reads hold it until it becomes a Value.
struct Number {
  Value value;                // an int or a float; [0.0, imaginary part] for an imaginary one
  std::string text;           // the decimal digits of an out_of_range integer
  bool out_of_range = false;  // an integer that does not fit in 64 bits
};

/// Sets the integer of `digits` (no '_', a base prefix when `has_base`) in `number`.
inline void set_integer(Number& number, std::string_view digits, bool has_base) {
  int base = 10;
  if (has_base) {
    const char b = static_cast<char>(std::tolower(static_cast<unsigned char>(digits[1])));
    base = b == 'x' ? 16 : b == 'o' ? 8 : 2;
    digits.remove_prefix(2);
  }
  std::uint64_t n = 0;
  const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), n, base);
  if (r.ec == std::errc::result_out_of_range) {
    number.out_of_range = true;
    // Python writes no integer of more than 4300 digits; nor do we, nor do we spend the time.
    constexpr double kMaxDecimalDigits = 4300;
    if (static_cast<double>(digits.size()) * std::log10(base) <= kMaxDecimalDigits) {
      number.text = Decimal::parse(digits, base).str();
    }
  } else if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    number.value = n;
  } else {
    number.value = static_cast<std::int64_t>(n);
  }
}

/// Reads the number token `text` into `number`; true when it is an imaginary one.
inline bool read_number(std::string_view text, Number& number) {
  // Most numbers have no underscore, and are read where they stand. One look at the
  // characters tells both that and whether a decimal number is a float.
  bool underscore = false;
  bool float_mark = false;
  for (const char c : text) {
    underscore = underscore || c == '_';
    float_mark = float_mark || c == '.' || c == 'e' || c == 'E';
  }
  std::string without_underscores;
  std::string_view digits = text;
  if (underscore) {
    std::copy_if(text.begin(), text.end(), std::back_inserter(without_underscores),
                 [](char c) { return c != '_'; });
    digits = without_underscores;
  }
  const char last = digits.back();
  if (last == 'j' || last == 'J') {
    digits.remove_suffix(1);
    number.value = Value::array({0.0, parse_decimal_float(digits)});  // real and imaginary parts
    return true;
  }
  const bool has_base = digits.size() > 1 && digits[0] == '0' &&
                        std::string_view("xXoObB").find(digits[1]) != std::string_view::npos;
  if (has_base || !float_mark) {
    set_integer(number, digits, has_base);
  } else {
    number.value = parse_decimal_float(digits);
  }
  return false;
}

/// Negates `number`, which is not an imaginary one.
inline void negate(Number& number) {
  if (number.out_of_range) {
    if (!number.text.empty()) number.text.insert(0, 1, '-');
    return;
  }
  Value& v = number.value;
  if (v.is_number_float()) {
    v = -v.get<double>();
  } else if (v.is_number_unsigned()) {
    const auto magnitude = v.get<std::uint64_t>();
    constexpr auto kMinMagnitude = std::uint64_t{1} << 63;
    if (magnitude == kMinMagnitude) {
      v = std::numeric_limits<std::int64_t>::min();
    } else {
      number.out_of_range = true;
      // Appended to, not prefixed: g++ 12 -O3 sees a false overlap in "-" + text.
      number.text = "-";
      number.text += std::to_string(magnitude);
    }
  } else {
    v = -v.get<std::int64_t>();
  }
}

// ---------------------------------------------------------------- what is kept

/// Room made in a new list or dict at once: replies carry a few elements in each.
inline constexpr std::size_t kTypicalMembers = 8;

/// Appends `element` to `elements`, counted against `budget` when it is not null.
inline void keep_element(Value::array_t& elements, Value&& element, BuildBudget* budget) {
  if (budget != nullptr) budget->charge_element(element);
  elements.push_back(std::move(element));
}

/// The members of a dict as they are read. A dict keeps the first position of a repeated key
/// and its last value. Keys that are not text are stored under their repr; one that meets a
/// text key of the same spelling cannot be held, and is refused.
class DictMembers {
 public:
  /// Members counted against `budget` when it is not null.
  explicit DictMembers(BuildBudget* budget) : budget_(budget) {
    entries().reserve(kTypicalMembers);
  }

  /// Sets `value` under the text `key`; false, with nothing set, when a key stored under its
  /// repr has that spelling.
  bool add_text_key(std::string&& key, Value&& value) {
    if (const auto index = find_text(key)) {
      if (std::binary_search(other_keyed_.begin(), other_keyed_.end(), *index)) return false;
      entries()[*index].second = std::move(value);
      return true;
    }
    append(std::move(key), std::move(value), true);
    return true;
  }

  /// Sets `value` under `key`, a hashable value that is not text; false, with nothing set,
  /// when a text key has the spelling of its repr.
  bool add_other_key(const Value& key, Value&& value) {
    std::string form = canonical(key);
    if (const auto it = by_canonical_.find(form); it != by_canonical_.end()) {
      entries()[it->second].second = std::move(value);
      return true;
    }
    std::string text;
    append_key_repr(text, key);
    if (const auto index = find_text(text)) return false;
    by_canonical_.emplace(std::move(form), entries().size());
    append(std::move(text), std::move(value), false);
    return true;
  }

  /// The mapping, taken out.
  Value take() { return std::move(mapping_); }

 private:
  using Entries = Value::object_t::Container;

  Entries& entries() { return mapping_.get_ref<Value::object_t&>(); }

  std::optional<std::size_t> find_text(const std::string& key) {
    constexpr std::size_t kLinearLimit = 16;
    Entries& e = entries();
    if (e.size() <= kLinearLimit) {
      for (std::size_t i = 0; i < e.size(); ++i) {
        if (e[i].first == key) return i;
      }
      return std::nullopt;
    }
    if (by_text_.empty()) {
      for (std::size_t i = 0; i < e.size(); ++i) by_text_.emplace(e[i].first, i);
    }
    const auto it = by_text_.find(key);
    if (it == by_text_.end()) return std::nullopt;
    return it->second;
  }

  void append(std::string&& key, Value&& value, bool text_key) {
    if (budget_ != nullptr) budget_->charge_member(key.size(), value);
    Entries& e = entries();
    if (!by_text_.empty()) by_text_.emplace(key, e.size());
    if (!text_key) other_keyed_.push_back(e.size());
    e.emplace_back(std::move(key), std::move(value));
  }

  Value mapping_ = Value(Value::value_t::object);
  BuildBudget* budget_;
  std::vector<std::size_t> other_keyed_;  // entries whose key is a repr, in order
  std::unordered_map<std::string, std::size_t> by_text_;
  std::unordered_map<std::string, std::size_t> by_canonical_;
};

}  // namespace tavrin::core::internal::literal
