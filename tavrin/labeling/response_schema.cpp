#include "tavrin/labeling/response_schema.hpp"

#include <algorithm>
#include <set>

#include "tavrin/core/check.hpp"
#include "tavrin/core/internal/utf8.hpp"
#include "tavrin/core/text.hpp"

namespace tavrin::labeling {
namespace {

// Characters, not bytes: the limits count characters, and labels are often Chinese.
std::size_t characters(const std::string& text) { return internal::character_count(text); }

struct Field {
  std::string name;
  std::vector<std::string> labels;  // each once, in the order shown
  bool multi = false;
  bool with_enum = true;

  // What its enum adds to the schema's counts: a single-label field also lists null.
  std::size_t enum_values() const { return with_enum ? labels.size() + (multi ? 0 : 1) : 0; }
  std::size_t enum_chars() const {
    std::size_t chars = 0;
    if (with_enum) {
      for (const std::string& label : labels) chars += characters(label);
    }
    return chars;
  }
};

std::vector<Field> fields_of(const Value& choices, const std::vector<std::string>& multi_label) {
  require_object(choices, "choices");
  std::vector<Field> fields;
  for (const auto& [name, labels] : choices.items()) {
    require_array(labels, "choices[\"" + name + "\"]");
    Field field{
        name, {}, std::find(multi_label.begin(), multi_label.end(), name) != multi_label.end()};
    std::set<std::string> seen;
    for (const Value& label : labels) {
      std::string text = label.is_string() ? label.get<std::string>() : str(label);
      if (seen.insert(text).second) field.labels.push_back(std::move(text));
    }
    fields.push_back(std::move(field));
  }
  return fields;
}

// Whether the enums of `fields` stay within what endpoints take. The limits are those of
// OpenAI's structured outputs, "Supported schemas":
// https://platform.openai.com/docs/guides/structured-outputs#supported-schemas
// (restated in February 2026 at https://jsonschemaprofiles.unitvectorylabs.com/schemas/openai):
// up to 1,000 enum values across a schema; when one string enum has more than 250 values, at
// most 15,000 characters of enum strings; at most 120,000 characters of property names and
// enum strings in all. Earlier, OpenAI refused more than 500 values: EnumLimits is a parameter.
// Null counts as a value, and the 15,000 are counted over the whole schema: the stricter reading.
bool fits(const std::vector<Field>& fields, const EnumLimits& limits) {
  std::size_t values = 0, enum_chars = 0, name_chars = 0;
  bool large = false;
  for (const Field& field : fields) {
    values += field.enum_values();
    enum_chars += field.enum_chars();
    name_chars += characters(field.name);
    large = large || (field.with_enum && field.enum_values() > limits.large_enum);
  }
  return values <= limits.max_values && name_chars + enum_chars <= limits.max_total_chars &&
         (!large || enum_chars <= limits.max_chars_with_large_enum);
}

Value property_of(const Field& field) {
  Value labels = Value::array();
  for (const std::string& label : field.labels) labels.push_back(label);
  Value property = Value::object();
  if (field.multi) {
    // Null, not an empty array, says the model has no answer, as for a single label.
    property["type"] = Value::array({"array", "null"});
    Value items = Value::object();
    items["type"] = "string";
    if (field.with_enum) items["enum"] = std::move(labels);
    property["items"] = std::move(items);
  } else {
    property["type"] = Value::array({"string", "null"});
    if (field.with_enum) {
      labels.push_back(nullptr);  // the type allows null, and so must the enum
      property["enum"] = std::move(labels);
    }
  }
  return property;
}

}  // namespace

Value response_schema(const Value& choices, const std::vector<std::string>& multi_label,
                      const EnumLimits& limits) {
  std::vector<Field> fields = fields_of(choices, multi_label);
  while (!fits(fields, limits)) {
    Field* largest = nullptr;
    for (Field& field : fields) {
      if (field.with_enum && (largest == nullptr || field.labels.size() > largest->labels.size())) {
        largest = &field;
      }
    }
    if (largest == nullptr) break;  // only names left: nothing more to drop
    largest->with_enum = false;
  }
  Value properties = Value::object();
  Value required = Value::array();
  for (const Field& field : fields) {
    properties[field.name] = property_of(field);
    required.push_back(field.name);
  }
  Value schema = Value::object();
  schema["type"] = "object";
  schema["properties"] = std::move(properties);
  schema["required"] = std::move(required);
  schema["additionalProperties"] = false;
  return schema;
}

Value response_format(const Value& choices, const std::vector<std::string>& multi_label,
                      const EnumLimits& limits) {
  Value json_schema = Value::object();
  json_schema["name"] = "labels";
  json_schema["strict"] = true;
  json_schema["schema"] = response_schema(choices, multi_label, limits);
  Value format = Value::object();
  format["type"] = "json_schema";
  format["json_schema"] = std::move(json_schema);
  return format;
}

}  // namespace tavrin::labeling
