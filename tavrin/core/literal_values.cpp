#include "tavrin/core/internal/literal_values.hpp"

#include <cmath>
#include <iterator>

#include "tavrin/core/internal/literal_lexer.hpp"
#include "tavrin/core/text.hpp"

namespace tavrin::core::internal::literal {
namespace {

// The decimal digits of a double that holds an integer, exactly, with its sign.
std::string integral_digits(double d) {
  if (std::fabs(d) < 9.2e18) return std::to_string(static_cast<std::int64_t>(d));
  int exponent = 0;
  const double fraction = std::frexp(std::fabs(d), &exponent);  // d = fraction * 2^exponent
  constexpr int kMantissaBits = 53;
  Decimal n(static_cast<std::uint64_t>(std::ldexp(fraction, kMantissaBits)));
  for (int i = kMantissaBits; i < exponent; ++i) n.multiply_add(2, 0);
  return (d < 0 ? "-" : "") + n.str();
}

// The binary subtype of held-back values.
constexpr std::uint64_t kHeldBackSubtype = 0x7a;

bool is_held_back(const Value& v) {
  return v.is_binary() && v.get_binary().has_subtype() &&
         v.get_binary().subtype() == kHeldBackSubtype;
}

// The canonical form ([0]) or the repr ([1]) of a held-back value.
std::string_view held_back_part(const Value& v, int part) {
  const auto& bytes = v.get_binary();
  const std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const std::size_t nul = all.find('\0');
  return part == 0 ? all.substr(0, nul) : all.substr(nul + 1);
}

// Python writes the parts of a complex number without the ".0" of whole floats.
std::string complex_part(double d) {
  std::string text = repr(Value(d));
  if (text.size() > 2 && text.compare(text.size() - 2, 2, ".0") == 0) text.resize(text.size() - 2);
  return text;
}

// Appends the canonical form of `v`; see canonical.
void append_canonical(std::string& out, const Value& v) {
  switch (v.type()) {
    case Value::value_t::string: {
      const auto& s = v.get_ref<const std::string&>();
      out += 's' + std::to_string(s.size()) + ':';
      out += s;
      return;
    }
    case Value::value_t::binary: {
      if (is_held_back(v)) {
        out += held_back_part(v, 0);
        return;
      }
      const auto& b = v.get_binary();
      out += 'b' + std::to_string(b.size()) + ':';
      out.append(b.begin(), b.end());
      return;
    }
    case Value::value_t::boolean:
      out += v.get<bool>() ? "i1" : "i0";
      return;
    case Value::value_t::number_integer:
      out += 'i' + std::to_string(v.get<std::int64_t>());
      return;
    case Value::value_t::number_unsigned:
      out += 'i' + std::to_string(v.get<std::uint64_t>());
      return;
    case Value::value_t::number_float: {
      const double d = v.get<double>();
      out += std::isfinite(d) && std::trunc(d) == d ? 'i' + integral_digits(d) : 'f' + repr(v);
      return;
    }
    case Value::value_t::array:
      out += 't' + std::to_string(v.size()) + '(';
      for (const Value& element : v) append_canonical(out, element);
      out += ')';
      return;
    default:
      out += 'n';
      return;
  }
}

}  // namespace

Decimal::Decimal(std::uint64_t n) {
  do {
    limbs_.push_back(static_cast<std::uint32_t>(n % kBase));
    n /= kBase;
  } while (n > 0);
}

Decimal Decimal::parse(std::string_view digits, int base) {
  Decimal d(0);
  for (const char c : digits) {
    d.multiply_add(static_cast<std::uint32_t>(base), static_cast<std::uint32_t>(hex_value(c)));
  }
  return d;
}

void Decimal::multiply_add(std::uint32_t factor, std::uint32_t addend) {
  std::uint64_t carry = addend;
  for (std::uint32_t& limb : limbs_) {
    const std::uint64_t product = std::uint64_t{limb} * factor + carry;
    limb = static_cast<std::uint32_t>(product % kBase);
    carry = product / kBase;
  }
  for (; carry > 0; carry /= kBase) limbs_.push_back(static_cast<std::uint32_t>(carry % kBase));
}

std::string Decimal::str() const {
  std::string out = std::to_string(limbs_.back());
  for (auto it = std::next(limbs_.rbegin()); it != limbs_.rend(); ++it) {
    const std::string limb = std::to_string(*it);
    out.append(9 - limb.size(), '0');
    out += limb;
  }
  return out;
}

Value held_back(std::string_view canonical_form, std::string_view repr_form) {
  std::vector<std::uint8_t> bytes(canonical_form.begin(), canonical_form.end());
  bytes.push_back(0);
  bytes.insert(bytes.end(), repr_form.begin(), repr_form.end());
  return Value::binary(std::move(bytes), kHeldBackSubtype);
}

std::string canonical(const Value& v) {
  std::string out;
  append_canonical(out, v);
  return out;
}

void append_key_repr(std::string& out, const Value& v) {
  if (is_held_back(v)) {
    out += held_back_part(v, 1);
    return;
  }
  if (!v.is_array()) {
    out += repr(v);
    return;
  }
  out += '(';
  const char* separator = "";
  for (const Value& element : v) {
    out += separator;
    append_key_repr(out, element);
    separator = ", ";
  }
  out += v.size() == 1 ? ",)" : ")";
}
std::string complex_repr(double real, double imaginary) {
  std::string imaginary_text = complex_part(imaginary) + 'j';
  if (real == 0 && !std::signbit(real)) return imaginary_text;
  if (imaginary_text[0] != '-') imaginary_text.insert(0, 1, '+');
  return '(' + complex_part(real) + imaginary_text + ')';
}

}  // namespace tavrin::core::internal::literal
