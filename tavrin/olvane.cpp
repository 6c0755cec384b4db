#include "tavrin/olvane.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <utility>

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

using StoreMap = std::map<std::string, std::shared_ptr<const vectorstore::VectorStore>>;

const vectorstore::VectorStore& store_of(const std::string& field, const StoreMap& DB_MAPS) {
  const auto store = DB_MAPS.find(field);
  if (store == DB_MAPS.end() || !store->second) {
    throw KeyError("DB_MAPS has no store for field " + repr(Value(field)));
  }
  return *store->second;
}

[[noreturn]] void throw_nothing_found(const std::string& field) {
  throw IndexError("the store of field " + repr(Value(field)) + " found no document");
}

std::string most_similar(const Value& val, const std::string& field, const StoreMap& DB_MAPS) {
  std::vector<vectorstore::Document> similar_vals =
      store_of(field, DB_MAPS).similarity_search(val, 1);
  if (similar_vals.empty()) throw_nothing_found(field);
  return std::move(similar_vals.front().page_content);
}

// Settles a value that is not an allowed label: the nearest label replaces it unless it is
// less similar than `min_score`.
void settle_by_search(FieldCheck& check, const StoreMap& DB_MAPS, std::optional<double> min_score) {
  std::vector<vectorstore::ScoredDocument> hits =
      store_of(check.field, DB_MAPS).similarity_search_with_score(check.predicted, 2);
  if (hits.empty()) throw_nothing_found(check.field);
  check.score = hits[0].score;
  check.nearest = hits[0].document.page_content;
  if (hits.size() > 1) {
    check.runner_up = std::move(hits[1].document.page_content);
    check.runner_up_score = hits[1].score;
  }
  if (min_score && *check.score < *min_score) {
    check.decision = Decision::abstained;
    return;
  }
  check.decision = Decision::replaced;
  check.checked = *check.nearest;
}

Value optional_json(const std::optional<double>& v) { return v ? Value(*v) : Value(); }

// The predicted value of `field` (null when absent) and whether it is an allowed label.
std::pair<Value, bool> prediction_of(const Value& result, const Value& labels,
                                     const std::string& field) {
  static const Value no_labels = Value::array();
  const auto predicted = result.find(field);
  Value value = predicted != result.end() ? *predicted : Value();
  const auto found = labels.find(field);
  const Value& allowed = found != labels.end() ? *found : no_labels;
  // A labels text has no membership test for null; any other collection answers it.
  const bool member = !(value.is_null() && allowed.is_string()) && holds(allowed, value, field);
  return {std::move(value), member};
}

}  // namespace

Value check_result(const Value& result, const Value& labels,
                   const std::vector<std::string>& tgt_fieldnames, const StoreMap& DB_MAPS) {
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

std::string_view decision_name(Decision decision) {
  switch (decision) {
    case Decision::kept:
      return "kept";
    case Decision::replaced:
      return "replaced";
    case Decision::abstained:
      return "abstained";
    case Decision::missing:
      return "missing";
    case Decision::no_answer:
      return "no_answer";
    case Decision::invalid:
      return "invalid";
    case Decision::normalized:
      return "normalized";
    case Decision::asked:
      return "asked";
  }
  throw ValueError("unknown decision " + std::to_string(static_cast<int>(decision)));
}

Value FieldCheck::to_json() const {
  Value json = {{"decision", std::string(decision_name(decision))},
                {"predicted", predicted},
                {"checked", checked},
                {"score", optional_json(score)},
                {"nearest", nearest ? Value(*nearest) : Value()},
                {"runner_up", runner_up ? Value(*runner_up) : Value()},
                {"runner_up_score", optional_json(runner_up_score)}};
  if (!elements.empty()) {
    json["elements"] = Value::array();
    for (const FieldCheck& element : elements) json["elements"].push_back(element.to_json());
  }
  return json;
}

Value ScoredCheck::decisions() const {
  Value out = Value::object();
  for (const FieldCheck& check : fields) {
    Value decision = check.to_json();
    decision.erase("predicted");
    decision.erase("checked");
    out[check.field] = std::move(decision);
  }
  return out;
}

ScoredCheck check_result_scored(const Value& result, const Value& labels,
                                const std::vector<std::string>& tgt_fieldnames,
                                const StoreMap& DB_MAPS, std::optional<double> min_score) {
  require_object(result, "result");
  require_object(labels, "labels");
  if (min_score && std::isnan(*min_score)) throw ValueError("min_score must not be NaN");

  ScoredCheck scored;
  for (const std::string& field : tgt_fieldnames) {
    if (scored.checked_result.contains(field)) continue;
    FieldCheck check;
    check.field = field;
    bool member = false;
    std::tie(check.predicted, member) = prediction_of(result, labels, field);
    if (member) {
      check.decision = Decision::kept;
      check.checked = check.predicted;
      check.score = 1.0;
    } else if (!check.predicted.is_null()) {
      settle_by_search(check, DB_MAPS, min_score);
    }
    scored.checked_result[field] = check.checked;
    scored.fields.push_back(std::move(check));
  }
  return scored;
}

std::vector<LookUp> values_to_look_up(const Value& result, const Value& labels,
                                      const std::vector<std::string>& tgt_fieldnames) {
  require_object(result, "result");
  require_object(labels, "labels");
  std::vector<LookUp> look_ups;
  std::vector<std::string> seen;
  for (const std::string& field : tgt_fieldnames) {
    if (std::find(seen.begin(), seen.end(), field) != seen.end()) continue;
    seen.push_back(field);
    auto [value, member] = prediction_of(result, labels, field);
    if (!member && !value.is_null()) look_ups.push_back({field, std::move(value)});
  }
  return look_ups;
}

}  // namespace tavrin::olvane
