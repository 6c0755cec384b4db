#include "tavrin/olvane.hpp"

#include "tavrin/core/check.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/text.hpp"

namespace tavrin::olvane {

namespace {

bool is_numeric(const Value& v) { return v.is_number() || v.is_boolean(); }

double numeric_value(const Value& v) {
  return v.is_boolean() ? (v.get<bool>() ? 1.0 : 0.0) : v.get<double>();
}

// Equality as the data world has it: a truth value equals the number 1 or 0, also inside
// lists and mappings.
bool loosely_equal(const Value& a, const Value& b) {
  if (is_numeric(a) && is_numeric(b) && (a.is_boolean() || b.is_boolean())) {
    return numeric_value(a) == numeric_value(b);
  }
  if (a.is_array() && b.is_array()) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!loosely_equal(a[i], b[i])) return false;
    }
    return true;
  }
  if (a.is_object() && b.is_object()) {
    if (a.size() != b.size()) return false;
    for (const auto& [key, item] : a.items()) {
      const auto other = b.find(key);
      if (other == b.end() || !loosely_equal(item, *other)) return false;
    }
    return true;
  }
  return a == b;
}

// The allowed collection's own membership test.
bool holds(const Value& allowed, const Value& val, const std::string& field) {
  switch (allowed.type()) {
    case Value::value_t::array:
      for (const Value& element : allowed) {
        if (loosely_equal(element, val)) return true;
      }
      return false;
    case Value::value_t::object:
      // Keys are text: other scalars are simply absent, but a list or mapping cannot be a key.
      if (val.is_array() || val.is_object()) {
        throw TypeError("value of field " + repr(Value(field)) + " is an " +
                        std::string(kind_name(val)) + ", which cannot be a key of its labels");
      }
      return val.is_string() && allowed.contains(val.get_ref<const std::string&>());
    case Value::value_t::string:
      // A substring test is defined for text only.
      if (!val.is_string()) {
        throw TypeError("value of field " + repr(Value(field)) +
                        " must be text to be looked up in " + "its labels text, not " +
                        std::string(kind_name(val)));
      }
      return allowed.get_ref<const std::string&>().find(val.get_ref<const std::string&>()) !=
             std::string::npos;
    default:
      throw TypeError("labels[" + repr(Value(field)) + "] must be a list, mapping or text, not " +
                      std::string(kind_name(allowed)));
  }
}

std::string most_similar(
    const Value& val, const std::string& field,
    const std::map<std::string, std::shared_ptr<const vectorstore::VectorStore>>& DB_MAPS) {
  const auto store = DB_MAPS.find(field);
  if (store == DB_MAPS.end() || !store->second) {
    throw KeyError("DB_MAPS has no store for field " + repr(Value(field)));
  }
  std::vector<vectorstore::Document> similar_vals = store->second->similarity_search(val, 1);
  if (similar_vals.empty()) {
    throw IndexError("the store of field " + repr(Value(field)) + " found no document");
  }
  return std::move(similar_vals.front().page_content);
}

}  // namespace

Value check_result(
    const Value& result, const Value& labels, const std::vector<std::string>& tgt_fieldnames,
    const std::map<std::string, std::shared_ptr<const vectorstore::VectorStore>>& DB_MAPS) {
  require_object(result, "result");
  require_object(labels, "labels");
  const Value no_labels = Value::array();
  const Value missing;

  Value checked_result = Value::object();
  for (const std::string& field : tgt_fieldnames) {
    const auto predicted = result.find(field);
    const auto allowed = labels.find(field);
    const Value& val = predicted != result.end() ? *predicted : missing;
    if (holds(allowed != labels.end() ? *allowed : no_labels, val, field)) {
      checked_result[field] = val;
    } else {
      checked_result[field] = most_similar(val, field, DB_MAPS);
    }
  }
  return checked_result;
}

}  // namespace tavrin::olvane
