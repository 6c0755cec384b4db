#include "tavrin/labeling/plain_rules.hpp"

#include <gtest/gtest.h>

#include <string>

#include "tavrin/core/errors.hpp"

namespace tavrin::labeling {
namespace {

using olvane::Decision;

// "left" when the rules leave the value to the check, else "decision checked".
std::string settled(const PlainRules& rules, const std::string& field, const Value& value) {
  const auto s = rules.settle(field, value);
  if (!s) return "left";
  return std::string(olvane::decision_name(s->decision)) + " " + s->checked.dump();
}

const Value kLabels = {
    {"category", {"animal", "plant", "body", "Credit Card", "category", "none"}},
    {"code", {"1", "2"}},
    {"mixed", {"a", 3}},
};

TEST(PlainRules, NoAnswerValuesAreNeverALabel) {
  const PlainRules rules(kLabels, {"no idea"});
  for (const std::string word :
       {"n/a",       "N/A", " NA ", "null", "Nil",  "UNKNOWN", "not  sure", "Not Applicable",
        "no answer", "-",   "?",    "无",   "未知", "不确定",  "不知道",    "没有",
        "暂无",      "空",  "",     "   ",  "\t",   "No Idea", "ＮＵＬＬ"}) {
    EXPECT_EQ(settled(rules, "category", word), "no_answer null") << word;
  }
  EXPECT_EQ(settled(rules, "category", Value()), "no_answer null");
  // A no-answer word that is a label of the field is that label.
  EXPECT_EQ(settled(rules, "category", "None"), "normalized \"none\"");
  EXPECT_EQ(settled(rules, "category", "none"), "left");
  // Only whole words: a value holding one is left to the check.
  EXPECT_EQ(settled(rules, "category", "none of these"), "left");
}

TEST(PlainRules, ValuesOfTheWrongKindAreInvalidUnlessTheirTextIsALabel) {
  const PlainRules rules(kLabels, {});
  for (const Value& value :
       {Value(42), Value(true), Value(2.5), Value::array({"animal"}), Value{{"animal", 1}}}) {
    EXPECT_EQ(settled(rules, "category", value), "invalid null") << value.dump();
  }
  EXPECT_EQ(settled(rules, "code", 1), "normalized \"1\"");
  EXPECT_EQ(settled(rules, "code", 3), "invalid null");
  // Labels that are not all text: the check decides as it always did.
  EXPECT_EQ(settled(rules, "mixed", 3), "left");
  EXPECT_EQ(settled(rules, "mixed", 4), "left");
}

TEST(PlainRules, LabelsWrittenAnotherWayAreThatLabel) {
  const PlainRules rules(kLabels, {});
  const struct {
    const char* value;
    const char* outcome;
  } cases[] = {
      {"animal", "left"},  // a label: kept by the check
      {"Animal", "normalized \"animal\""},
      {"  ANIMAL ", "normalized \"animal\""},
      {"ＡＮＩＭＡＬ", "normalized \"animal\""},  // full width
      {"credit-card", "normalized \"Credit Card\""},
      {"credit_card", "normalized \"Credit Card\""},
      {"credit / card", "normalized \"Credit Card\""},
      {"CREDIT\u3000CARD", "normalized \"Credit Card\""},  // ideographic space
      {"animals", "normalized \"animal\""},
      {"Plants", "normalized \"plant\""},
      {"bodies", "normalized \"body\""},
      {"categories", "normalized \"category\""},
      {"noun.animal", "normalized \"animal\""},
      {"noun.animals", "normalized \"animal\""},
      {"category: plant", "normalized \"plant\""},
      {"fungus", "left"},
      {"animalia", "left"},
      {"noun.", "left"},
  };
  for (const auto& c : cases) EXPECT_EQ(settled(rules, "category", c.value), c.outcome) << c.value;
}

TEST(PlainRules, AVariantMatchingTwoLabelsIsLeftToTheCheck) {
  // "glass" and "glasses": "glasses" is one label exactly, but "Glasses" normalises to it
  // alone; "boxes" may be "box" or "boxe".
  const PlainRules rules(Value{{"f", {"box", "boxe", "glass", "glasses"}}}, {});
  EXPECT_EQ(settled(rules, "f", "Glasses"), "normalized \"glasses\"");
  EXPECT_EQ(settled(rules, "f", "boxes"), "left");
  EXPECT_EQ(settled(rules, "f", "x.boxes"), "left");
  // A field with no labels here is the check's.
  EXPECT_EQ(settled(rules, "other", "n/a"), "left");
}

TEST(PlainRules, LabelsThatNormaliseAlikeAreRefusedNamingBoth) {
  try {
    const PlainRules rules(Value{{"f", {"Foo Bar", "x", "foo_bar"}}}, {});
    FAIL() << "no error";
  } catch (const ValueError& e) {
    EXPECT_EQ(std::string(e.what()),
              "labels: field \"f\" has labels \"Foo Bar\" and \"foo_bar\" that differ only in "
              "case, width, blanks or \"-\", \"_\", \"/\"; a value written like either could not "
              "be told apart");
  }
  EXPECT_EQ(normalized_label("\xff\xfe"), "\xff\xfe");  // not UTF-8: compared as it is
}

}  // namespace
}  // namespace tavrin::labeling
