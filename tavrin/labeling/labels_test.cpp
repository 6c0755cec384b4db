#include "tavrin/labeling/labels.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/excerpt.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::labeling {
namespace {

template <class F>
std::string value_error_of(F&& call) {
  return tavrin::testing::error_message<ValueError>(std::forward<F>(call), "ValueError");
}

TEST(ParseLabels, KeepsFieldsInFileOrderAfterAByteOrderMark) {
  const Value labels =
      parse_labels(R"({"priority": ["P0", "P1"], "category": ["售后服务"]})", "labels.json");
  EXPECT_EQ(label_fields(labels), (std::vector<std::string>{"priority", "category"}));
  EXPECT_EQ(labels["category"][0], "售后服务");
  EXPECT_EQ(parse_labels("\xEF\xBB\xBF{\"a\": [\"x\"]}", "labels.json").dump(), R"({"a":["x"]})");
}

TEST(ParseLabels, RejectsWhatCannotServeAsLabels) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"[1, 2]", "labels.json must be a JSON object of field name to allowed labels"},
      {"{}", "labels.json must be a JSON object of field name to allowed labels"},
      {R"({"product": []})",
       "labels.json: field \"product\" must list its allowed labels as a non-empty array, or an "
       "object of label to description"},
      {R"({"product": "手机"})",
       "labels.json: field \"product\" must list its allowed labels as a non-empty array, or an "
       "object of label to description"},
      {R"({"product": ["手机", 3]})",
       "labels.json: field \"product\" has a label that is not text: \"3\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(value_error_of([&] { parse_labels(c.text, "labels.json"); }), c.message) << c.text;
  }
  EXPECT_EQ(value_error_of([] {
              parse_labels("{\"a\": [", "x/labels.json");
            }).rfind("x/labels.json is not valid JSON: ", 0),
            0u);
  EXPECT_EQ(value_error_of([] { read_labels("/nonexistent/labels.json"); }),
            "labels file \"/nonexistent/labels.json\" is not a readable regular file");
}

TEST(ParseLabelFile, ReadsDescriptionsInstructionsAndMultiLabelFields) {
  const LabelFile file = parse_label_file(R"({
      "category": ["售后服务", "退款"],
      "topic": {"billing": "invoices, charges and refunds", "login": "", "bug": "a fault"},
      "tags": {"labels": ["ui", "api"], "instruction": "all that apply", "multi_label": true}})",
                                          "labels.json");
  EXPECT_EQ(
      file.labels.dump(),
      R"({"category":["售后服务","退款"],"topic":["billing","login","bug"],"tags":["ui","api"]})");
  EXPECT_EQ(file.notes.count("category"), 0u);
  EXPECT_EQ(file.notes.at("topic").descriptions.dump(),
            R"({"billing":"invoices, charges and refunds","bug":"a fault"})");
  EXPECT_FALSE(file.notes.at("topic").multi_label);
  EXPECT_EQ(file.notes.at("tags").instruction, "all that apply");
  EXPECT_EQ(multi_label_fields(file.notes), std::vector<std::string>{"tags"});
  EXPECT_TRUE(file.notes.at("tags").multi_label);
  // A label may be named "labels" in the mapping form: its description is text.
  EXPECT_EQ(parse_labels(R"({"f": {"labels": "the word", "x": "y"}})", "l").dump(),
            R"({"f":["labels","x"]})");
}

TEST(ParseLabelFile, RefusesBadFieldObjectsAndLabelsThatNormaliseAlike) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {R"({"t": {"a": 1}})", "l: field \"t\" describes label \"a\" with no text: \"1\""},
      {R"({"t": {"labels": ["a"], "multi_label": "yes"}})",
       "l: field \"t\" has \"multi_label\": \"yes\"; a field object holds \"labels\", "
       "\"instruction\" (text) and \"multi_label\" (true or false)"},
      {R"({"t": {"labels": {}}})",
       "l: field \"t\" must list its allowed labels as a non-empty array, or an object of label "
       "to description"},
      {R"({"t": ["Credit Card", "credit-card"]})",
       "l: field \"t\" has labels \"Credit Card\" and \"credit-card\" that differ only in case, "
       "width, blanks or \"-\", \"_\", \"/\"; a value written like either could not be told "
       "apart"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(value_error_of([&] { parse_label_file(c.text, "l"); }), c.message) << c.text;
  }
  // The same label twice is the same label.
  EXPECT_EQ(parse_labels(R"({"t": ["a", "a"]})", "l").dump(), R"({"t":["a","a"]})");
}

TEST(ChosenFields, TakesTheGivenOrEveryLabelledFieldAndRefusesOthers) {
  const Value labels = {{"product", {"手机"}}, {"category", {"售后服务"}}};
  EXPECT_EQ(chosen_fields(labels, {}, "labels.json"),
            (std::vector<std::string>{"product", "category"}));
  EXPECT_EQ(chosen_fields(labels, {"category"}, "labels.json"),
            (std::vector<std::string>{"category"}));
  EXPECT_EQ(value_error_of([&] {
              chosen_fields(labels, {"category", "priority"}, "labels.json");
            }),
            "labels.json has no labels for field \"priority\"");
  // Names that would leave the stores folder, refused before a store is built or loaded.
  EXPECT_EQ(chosen_fields({{"售后 类别", {"a"}}}, {}, "l.json"),
            (std::vector<std::string>{"售后 类别"}));
  for (const std::string& bad :
       std::vector<std::string>{"", ".", "..", "../x", "a/b", std::string("a\0b", 3)}) {
    EXPECT_EQ(value_error_of([&] {
                chosen_fields({{bad, {"a"}}}, {}, "l.json");
              }),
              "field name " + tavrin::internal::in_quotes(bad) + " cannot name a store folder");
  }
}

TEST(OffLabelRows, CountsTheRowsOfEachFieldWhoseValueIsNoAllowedLabel) {
  const LabelFile file = parse_label_file(
      R"({"category": ["Billing", "Shipping"], "priority": ["1", "2"],
          "tags": {"labels": ["bug", "ui"], "multi_label": true}, "clean": ["x"],
          "absent": ["y"]})",
      "labels.json");
  const Value columns = {
      {"category", {"Billing", "Billing ", "billing", nullptr, "", "Shipping"}},
      // Cells read as numbers still match labels written as text.
      {"priority", {1, 2, 2, 3, "2", 1.5}},
      {"tags", {"bug", R"(["bug", "ui"])", "['ui', 'perf']", "[broken", "ui", "bug"}},
      {"clean", {"x", "x", "x", "x", "x", nullptr}}};
  const frame::DataFrame table(columns);
  const std::vector<OffLabelRows> off =
      off_label_rows(file, table, {"category", "priority", "tags", "clean", "absent"});
  ASSERT_EQ(off.size(), 3u) << "a field with no such row, or no column, is left out";
  struct Expected {
    std::string field;
    std::size_t rows;
    Value example;
  };
  const Expected expected[] = {
      {"category", 2, "Billing "}, {"priority", 2, 3}, {"tags", 2, "['ui', 'perf']"}};
  for (std::size_t i = 0; i < off.size(); ++i) {
    SCOPED_TRACE(expected[i].field);
    EXPECT_EQ(off[i].field, expected[i].field);
    EXPECT_EQ(off[i].rows, expected[i].rows);
    EXPECT_EQ(off[i].of, 6u);
    EXPECT_EQ(off[i].example, expected[i].example);
  }
}

}  // namespace
}  // namespace tavrin::labeling
