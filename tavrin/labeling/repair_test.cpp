#include "tavrin/labeling/repair.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tavrin/core/errors.hpp"

namespace tavrin::labeling {
namespace {

using olvane::Decision;

TEST(Repair, TheQuestionHoldsTheRecordTheValueAndOnlyTheChoices) {
  RepairQuestion question{.record = "my card was charged twice",
                          .field = "category",
                          .value = "payments",
                          .choices = {"billing", "refund"},
                          .instruction = "what the ticket is about",
                          .descriptions = {{"billing", "invoices and charges"}}};
  const ModelRequest en = repair_request(question, "en");
  EXPECT_EQ(en.prompt,
            "You labelled the record below, but the value you gave for one field is not one of "
            "its allowed labels.\nRecord: my card was charged twice\nField: category (what the "
            "ticket is about)\nYour value: payments\nChoose the label that fits the record best, "
            "from these only:\n- billing: invoices and charges\n- refund\nAnswer with one JSON "
            "object whose only key is the field and whose value is the chosen label, or null when "
            "none of them fits. Output nothing else.\n");
  EXPECT_EQ(en.choices.dump(), R"({"category":["billing","refund"]})");
  question.value = 42;
  const ModelRequest zh = repair_request(question, "zh");
  EXPECT_NE(zh.prompt.find("你给出的值：42\n"), std::string::npos) << zh.prompt;
  EXPECT_NE(zh.prompt.find("- billing: invoices and charges\n- refund\n"), std::string::npos);
}

TEST(Repair, TheAnswerSettlesTheValueOnlyOnOneOfTheChoices) {
  const std::vector<std::string> choices = {"billing", "Credit Card"};
  const struct {
    const char* answer;
    Decision decision;
    Value checked;
  } cases[] = {
      {R"({"category": "billing"})", Decision::asked, "billing"},
      {"好的：```json\n{\"category\": \"credit-card\"}\n```", Decision::asked, "Credit Card"},
      {R"({"category": null})", Decision::abstained, Value()},
      {R"({"category": "refund"})", Decision::abstained, Value()},  // not offered
      {R"({"other": "billing"})", Decision::abstained, Value()},
      {"I cannot tell", Decision::abstained, Value()},
  };
  for (const auto& c : cases) {
    olvane::FieldCheck check;
    check.field = "category";
    check.predicted = "payments";
    check.decision = Decision::replaced;
    check.checked = "refund";
    check.score = 0.4;
    settle_by_answer(check, c.answer, choices);
    EXPECT_EQ(check.decision, c.decision) << c.answer;
    EXPECT_EQ(check.checked, c.checked) << c.answer;
    EXPECT_EQ(check.score, 0.4) << "the similarity found before stays";
  }
}

TEST(Repair, OnlyValuesTheVectorsWouldForceAreAsked) {
  olvane::FieldCheck check;
  for (const auto& [decision, min_score, asked] :
       {std::tuple{Decision::replaced, std::optional<double>(), true},
        std::tuple{Decision::replaced, std::optional<double>(0.3), false},
        std::tuple{Decision::abstained, std::optional<double>(0.3), true},
        std::tuple{Decision::kept, std::optional<double>(), false},
        std::tuple{Decision::normalized, std::optional<double>(), false},
        std::tuple{Decision::no_answer, std::optional<double>(0.3), false}}) {
    check.decision = decision;
    EXPECT_EQ(needs_asking(check, min_score), asked) << olvane::decision_name(decision);
  }
  check.decision = Decision::replaced;
  check.elements.push_back(check);
  EXPECT_FALSE(needs_asking(check, std::nullopt)) << "a multi-label list";
  EXPECT_EQ(parse_repair("ask"), Repair::ask);
  EXPECT_THROW(parse_repair("Ask"), ValueError);
}

}  // namespace
}  // namespace tavrin::labeling
