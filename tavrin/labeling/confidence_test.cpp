#include "tavrin/labeling/confidence.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace tavrin::labeling {
namespace {

const Value kLabels = Value::array({"billing", "shipping", "account"});

// The answer {"category": "billing"} as an endpoint tokenises it, with known probabilities.
std::vector<TokenLogprob> billing_tokens(double p_bill, double p_ing) {
  return {{R"({")", 0},
          {"category", 0},
          {R"(":)", 0},
          {R"( ")", std::log(0.99)},
          {"bill",
           std::log(p_bill),
           {{"bill", std::log(p_bill)}, {"ship", std::log(0.2)}, {"The", std::log(0.1)}}},
          {"ing", std::log(p_ing)},
          {R"("})", 0}};
}

TEST(Logprobs, AreReadFromTheReplyOrNotAtAll) {
  const Value reply = Value::parse(R"({"content": [
      {"token": "{\"", "logprob": -0.01, "bytes": [123, 34], "top_logprobs": []},
      {"token": "a", "logprob": -1.5, "top_logprobs": [{"token": "b", "logprob": -2}]}]})");
  const std::vector<TokenLogprob> tokens = read_logprobs(reply);
  ASSERT_EQ(tokens.size(), 2u);
  EXPECT_EQ(tokens[1].text, "a");
  EXPECT_DOUBLE_EQ(tokens[1].logprob, -1.5);
  ASSERT_EQ(tokens[1].top.size(), 1u);
  EXPECT_EQ(tokens[1].top[0].text, "b");
  // Half a signal is no signal.
  EXPECT_TRUE(read_logprobs(Value::parse(R"({"content": [{"token": "a"}]})")).empty());
  EXPECT_TRUE(read_logprobs(Value::parse(R"({"content": [{"token": "a", "logprob": -1,
      "top_logprobs": [{"logprob": -1}]}]})"))
                  .empty());
  EXPECT_TRUE(read_logprobs(Value()).empty());
  EXPECT_TRUE(read_logprobs(Value::parse(R"({"content": null})")).empty());
}

TEST(ValueSpan, CoversTheValueOfTheLastPlaceTheKeyIsFollowedByAColon) {
  const std::string answer =
      R"(I think "category" is billing. {"category" : "bil\"ling", "n": 12})";
  const auto text = value_span(answer, "category");
  ASSERT_TRUE(text);
  EXPECT_EQ(answer.substr(text->begin, text->end - text->begin), R"(bil\"ling)");
  const auto number = value_span(answer, "n");
  ASSERT_TRUE(number);
  EXPECT_EQ(answer.substr(number->begin, number->end - number->begin), "12");
  const std::string list = R"({"tags": ["a", "]"], "x": 1})";
  const auto tags = value_span(list, "tags");
  ASSERT_TRUE(tags);
  EXPECT_EQ(list.substr(tags->begin, tags->end - tags->begin), R"(["a", "]"])");
  EXPECT_FALSE(value_span(answer, "missing"));
  EXPECT_FALSE(value_span(R"({"category": "unterminated)", "category"));
  EXPECT_FALSE(value_span(R"({"category":)", "category"));
}

TEST(ModelSignals, AreTheProbabilityOfTheValuesTokensAndTheFirstTokensShareAmongLabels) {
  const std::string answer = R"({"category": "billing"})";
  const ModelSignals signals = model_signals(billing_tokens(0.6, 0.9), answer, "category", kLabels);
  ASSERT_TRUE(signals.probability);
  EXPECT_NEAR(*signals.probability, 0.6 * 0.9, 1e-12);  // the opening quote is not the value's
  ASSERT_TRUE(signals.first_token_share);
  // "The" begins no label and does not count against "bill".
  EXPECT_NEAR(*signals.first_token_share, 0.6 / (0.6 + 0.2), 1e-12);

  // A token that carries the opening quote with the value's start: the alternatives are read
  // after the same quote.
  const std::vector<TokenLogprob> joined = {
      {R"({"category": ")", 0},
      {"bill", std::log(0.5), {{"acc", std::log(0.3)}, {R"(")", std::log(0.1)}}},
      {R"(ing"})", std::log(0.8)}};
  const ModelSignals straddling = model_signals(
      {{R"({"category": )", 0},
       {R"("bill)", std::log(0.5), {{R"("acc)", std::log(0.3)}, {"x", std::log(0.1)}}},
       {R"(ing"})", std::log(0.8)}},
      answer, "category", kLabels);
  ASSERT_TRUE(straddling.first_token_share);
  EXPECT_NEAR(*straddling.first_token_share, 0.5 / 0.8, 1e-12);
  EXPECT_NEAR(*straddling.probability, 0.5 * 0.8, 1e-12);
  EXPECT_NEAR(*model_signals(joined, answer, "category", kLabels).first_token_share, 0.5 / 0.8,
              1e-12);

  // Tokens that do not spell the answer (a key redacted, another choice) give nothing.
  EXPECT_FALSE(
      model_signals(billing_tokens(0.6, 0.9), answer + " ", "category", kLabels).probability);
  EXPECT_FALSE(model_signals({}, answer, "category", kLabels).probability);
  // A value that is no text has a probability but no share among the labels.
  const ModelSignals null_value =
      model_signals({{R"({"category": )", 0}, {"null", std::log(0.3)}, {"}", 0}},
                    R"({"category": null})", "category", kLabels);
  EXPECT_NEAR(*null_value.probability, 0.3, 1e-12);
  EXPECT_FALSE(null_value.first_token_share);
}

TEST(NeighbourShare, CountsTheExamplesThatCarryTheCheckedValue) {
  const std::vector<Value> examples = {
      {{"category", "billing"}, {"tags", Value::array({"b", "a"})}},
      {{"category", "shipping"}, {"tags", Value::array({"a"})}},
      {{"category", "billing"}},
      {{"category", 7}}};
  EXPECT_DOUBLE_EQ(*neighbour_share(examples, "category", "billing"), 0.5);
  EXPECT_DOUBLE_EQ(*neighbour_share(examples, "category", "7"), 0.25);  // as text
  EXPECT_DOUBLE_EQ(*neighbour_share(examples, "tags", Value::array({"a", "b"})), 0.25);
  EXPECT_FALSE(neighbour_share(examples, "category", Value()));
  EXPECT_FALSE(neighbour_share({}, "category", "billing"));
}

TEST(FixedConfidence, RanksTheSignalsTheWayTheyPoint) {
  Signals kept{"kept"};
  Signals replaced{"replaced", 0.8, 0.78};
  Signals clear_replacement{"replaced", 0.8, 0.3};
  EXPECT_GT(*fixed_confidence(kept), *fixed_confidence(clear_replacement));
  EXPECT_GT(*fixed_confidence(clear_replacement), *fixed_confidence(replaced));
  Signals sure = kept, unsure = kept;
  sure.model.probability = 0.99;
  unsure.model.probability = 0.3;
  EXPECT_GT(*fixed_confidence(sure), *fixed_confidence(kept));
  EXPECT_LT(*fixed_confidence(unsure), *fixed_confidence(kept));
  Signals agreeing = kept, disagreeing = kept;
  agreeing.neighbour_share = 1;
  disagreeing.neighbour_share = 0;
  EXPECT_GT(*fixed_confidence(agreeing), *fixed_confidence(disagreeing));
  for (const char* none : {"abstained", "missing", "no_answer", "invalid"}) {
    EXPECT_FALSE(fixed_confidence(Signals{none})) << none;
  }
  // A certain token still leaves room for doubt.
  sure.model.probability = 1;
  EXPECT_LT(*fixed_confidence(sure), 1.0);
}

TEST(Signals, ComeBackFromTheLineTheyWereWrittenTo) {
  olvane::FieldCheck check{.field = "category",
                           .predicted = "bill",
                           .checked = "billing",
                           .decision = olvane::Decision::replaced,
                           .score = 0.9,
                           .nearest = "billing",
                           .runner_up = "shipping",
                           .runner_up_score = 0.5};
  const Signals signals = signals_of(check, {.probability = 0.4, .first_token_share = 0.7}, 0.25);
  Value decision = check.to_json();
  decision["signals"] = signals.to_json();
  const Signals back = signals_from_json(decision);
  EXPECT_EQ(confidence_features(back), confidence_features(signals));
  EXPECT_EQ(fixed_confidence(back), fixed_confidence(signals));
  // Reviewed or abstained below a threshold: the decision the check made counts.
  decision["decision_before"] = "replaced";
  decision["decision"] = "low_confidence";
  EXPECT_EQ(signals_from_json(decision).decision, "replaced");
  // A kept value was not searched: its similarity of 1 says nothing.
  olvane::FieldCheck kept = check;
  kept.decision = olvane::Decision::kept;
  kept.score = 1;
  kept.nearest.reset();
  EXPECT_FALSE(signals_of(kept, {}, std::nullopt).similarity);
}

}  // namespace
}  // namespace tavrin::labeling
