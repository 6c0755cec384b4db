// The values literal_eval builds beyond what Value holds directly: integers of any size in
// decimal, the values Value cannot hold that wait to become dict keys, and the canonical forms
// that tell Python-equal keys and set elements apart. Internal to tavrin::core, for the parser
// in literal.cpp and the dict members and numbers of literal_reader.hpp.
//
//   canonical(Value(1)) == canonical(Value(1.0))   // 1 == 1.0 == True in Python
//   complex_repr(1, -2)                            // -> "(1-2j)"
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tavrin/core/value.hpp"

namespace tavrin::core::internal::literal {

/// A non-negative integer of any size, for the decimal form of integers beyond 64 bits.
class Decimal {
 public:
  explicit Decimal(std::uint64_t n);

  /// The value of `digits` (no sign, no underscore) in `base`.
  static Decimal parse(std::string_view digits, int base);

  void multiply_add(std::uint32_t factor, std::uint32_t addend);

  /// The decimal digits.
  std::string str() const;

 private:
  static constexpr std::uint32_t kBase = 1000000000;
  std::vector<std::uint32_t> limbs_;  // least significant first
};

/// A value Python holds but Value cannot (a complex number, Ellipsis, an integer beyond 64
/// bits), kept while it may still turn out to be a dict key, which is stored as text: a binary
/// of its own subtype whose bytes are its canonical form, a NUL, and its repr.
Value held_back(std::string_view canonical_form, std::string_view repr_form);

/// Python equality of hashable values (numbers across int, float and bool; tuples element by
/// element), folded into one string so that equal values give equal strings.
std::string canonical(const Value& v);

/// Appends the repr of a hashable value as a dict key: its arrays are tuples there.
void append_key_repr(std::string& out, const Value& v);

/// The repr of a complex number, as Python writes it: "2j", "(1-2j)".
std::string complex_repr(double real, double imaginary);

}  // namespace tavrin::core::internal::literal
