#include "tavrin/labeling/response_schema.hpp"

#include <gtest/gtest.h>

#include "tavrin/core/errors.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::labeling {
namespace {

using tavrin::testing::expect_error;

TEST(ResponseSchema, EachFieldTakesOneOfItsLabelsOrNullAndEveryFieldIsRequired) {
  const Value choices = {{"类别", {"退款", "物流配送"}}, {"标签", {"bug", "ui"}}};
  const Value format = response_format(choices, {"标签"});
  EXPECT_EQ(format, Value::parse(R"({"type": "json_schema", "json_schema": {
      "name": "labels", "strict": true, "schema": {
        "type": "object",
        "properties": {
          "类别": {"type": ["string", "null"], "enum": ["退款", "物流配送", null]},
          "标签": {"type": ["array", "null"], "items": {"type": "string", "enum": ["bug", "ui"]}}},
        "required": ["类别", "标签"],
        "additionalProperties": false}}})"));
}

TEST(ResponseSchema, LabelsAreTextEachOnce) {
  const Value schema = response_schema(Value{{"n", {3, "3", "a", "a", true}}}, {});
  EXPECT_EQ(schema["properties"]["n"]["enum"], Value::parse(R"(["3", "a", "True", null])"));
}

TEST(ResponseSchema, ChoicesMustBeAnObjectOfArrays) {
  expect_error<TypeError>([] { response_schema(Value::array(), {}); },
                          "choices must be a mapping, not array");
  expect_error<TypeError>(
      [] {
        response_schema(Value{{"类别", "退款"}}, {});
      },
      "choices[\"类别\"] must be a list, not string");
}

// `count` distinct labels of `length` characters each: "标标…12".
Value labels_of(std::size_t count, std::size_t length, const std::string& stem = "标") {
  Value labels = Value::array();
  for (std::size_t i = 0; i < count; ++i) {
    const std::string number = std::to_string(i);
    std::string label;
    for (std::size_t c = number.size(); c < length; ++c) label += stem;
    labels.push_back(label + number);
  }
  return labels;
}

// The fields of a schema that kept their enum, in order.
std::vector<std::string> fields_with_enum(const Value& schema) {
  std::vector<std::string> kept;
  for (const auto& [name, property] : schema["properties"].items()) {
    const bool items_enum = property.contains("items") && property["items"].contains("enum");
    if (property.contains("enum") || items_enum) kept.push_back(name);
  }
  return kept;
}

TEST(ResponseSchema, FieldsWithTheMostLabelsLoseTheirEnumUntilTheSchemaFits) {
  struct Field {
    std::string name;
    std::size_t labels, length;
    bool multi = false;
  };
  struct Case {
    const char* what;
    std::vector<Field> fields;
    std::vector<std::string> kept;
  };
  const std::vector<Case> cases = {
      {"1000 values with null: fits", {{"a", 999, 4}}, {"a"}},
      {"1001 values with null", {{"a", 1000, 4}}, {}},
      {"a multi-label field lists no null", {{"a", 1000, 4, true}}, {"a"}},
      {"the largest goes, the first of equals",
       {{"a", 400, 4}, {"b", 400, 4}, {"c", 300, 4}},
       {"b", "c"}},
      {"more than one may go", {{"a", 600, 4}, {"b", 500, 30}, {"c", 10, 4}}, {"c"}},
      {"15000 characters with a large enum: fits", {{"a", 300, 50}}, {"a"}},
      {"15001 characters with a large enum", {{"a", 300, 50}, {"b", 1, 1}}, {"b"}},
      {"long labels without a large enum: fit", {{"a", 249, 100}}, {"a"}},
      {"null makes 250 labels a large enum", {{"a", 250, 100}}, {}},
      {"120000 characters in all", {{"a", 249, 400}, {"b", 249, 100}}, {"b"}},
  };
  for (const Case& c : cases) {
    Value choices = Value::object();
    std::vector<std::string> multi;
    for (const Field& f : c.fields) {
      choices[f.name] = labels_of(f.labels, f.length);
      if (f.multi) multi.push_back(f.name);
    }
    const Value schema = response_schema(choices, multi);
    EXPECT_EQ(fields_with_enum(schema), c.kept) << c.what;
    // A field without its enum still answers a string or null.
    for (const auto& [name, property] : schema["properties"].items()) {
      EXPECT_NE(property.dump().find("\"null\""), std::string::npos) << c.what << ": " << name;
    }
    EXPECT_EQ(schema["required"].size(), c.fields.size()) << c.what;
  }
}

TEST(ResponseSchema, LimitsAreCountedInCharactersNotBytes) {
  // 300 Chinese labels of 50 characters: 15000 characters, 45000 bytes.
  const Value choices = {{"a", labels_of(300, 50, "标")}};
  EXPECT_EQ(fields_with_enum(response_schema(choices, {})), std::vector<std::string>{"a"});
  const EnumLimits tight{.max_values = 10};
  EXPECT_TRUE(fields_with_enum(response_schema(choices, {}, tight)).empty());
}

}  // namespace
}  // namespace tavrin::labeling
