#include "tavrin/core/check.hpp"

#include <string>

#include "tavrin/core/errors.hpp"

namespace tavrin {

std::string_view kind_name(const Value& v) noexcept {
  switch (v.type()) {
    case Value::value_t::null:
      return "null";
    case Value::value_t::boolean:
      return "bool";
    case Value::value_t::number_integer:
    case Value::value_t::number_unsigned:
      return "integer";
    case Value::value_t::number_float:
      return "float";
    case Value::value_t::string:
      return "string";
    case Value::value_t::array:
      return "array";
    case Value::value_t::object:
      return "object";
    case Value::value_t::binary:
      return "binary";
    case Value::value_t::discarded:
      break;
  }
  return "discarded";
}

namespace {

void require_kind(const Value& v, Value::value_t kind, std::string_view parameter,
                  std::string_view wanted) {
  if (v.type() != kind) {
    throw TypeError(std::string(parameter) + " must be " + std::string(wanted) + ", not " +
                    std::string(kind_name(v)));
  }
}

}  // namespace

void require_object(const Value& v, std::string_view parameter) {
  require_kind(v, Value::value_t::object, parameter, "a mapping");
}

void require_array(const Value& v, std::string_view parameter) {
  require_kind(v, Value::value_t::array, parameter, "a list");
}

}  // namespace tavrin
