#include "tavrin/labeling/evaluation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "tavrin/core/errors.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::labeling {
namespace {

using tavrin::testing::expect_error;
using tavrin::testing::TempDir;

// One result line of field "c": its decision, checked value, confidence (or none), true label
// (or none), similarity and tokens.
std::string line(int id, const std::string& decision, const Value& checked,
                 std::optional<double> confidence, const Value& truth,
                 std::optional<double> score = std::nullopt, unsigned attempts = 1) {
  Value d = {{"decision", decision}, {"score", score ? Value(*score) : Value()}};
  if (confidence) d["confidence"] = *confidence;
  Value l = {{"id", id},
             {"checked", {{"c", checked}}},
             {"decisions", {{"c", d}}},
             {"predicted", {{"c", checked.is_null() ? Value("?") : checked}}},
             {"answer", ""},
             {"attempts", attempts},
             {"usage", {{"prompt_tokens", 10}, {"completion_tokens", 2}}},
             {"error", nullptr}};
  if (!truth.is_null()) l["gold"] = {{"c", truth}};
  return l.dump() + "\n";
}

std::string failed_line(int id, const Value& truth) {
  Value l = {{"id", id}, {"checked", nullptr}, {"attempts", 3}, {"error", "HTTP status 503"}};
  if (!truth.is_null()) l["gold"] = {{"c", truth}};
  return l.dump() + "\n";
}

TEST(Evaluation, CountsAccuracyCoverageAndTheConfusionsOfTrueAgainstCheckedLabels) {
  const TempDir dir;
  std::ofstream(dir / "a.jsonl") << line(1, "kept", "a", 0.9, "a") << line(2, "kept", "a", 0.8, "b")
                                 << line(3, "replaced", "b", 0.7, "b", 0.6, 2)
                                 << line(4, "abstained", nullptr, std::nullopt, "b")
                                 // A CSV reader typed this true label as a number.
                                 << line(5, "kept", "7", 0.6, 7);
  // An endpoint that caches prompts says how much of each it read from its cache.
  Value cached = Value::parse(line(7, "kept", "c", 0.95, nullptr));
  cached["usage"]["prompt_tokens_details"] = {{"cached_tokens", 8}};
  std::ofstream(dir / "b.jsonl") << failed_line(6, "a") << cached.dump() << "\n";
  const Evaluation e = evaluate_results({dir / "a.jsonl", dir / "b.jsonl"});
  EXPECT_EQ(e.records, 7u);
  EXPECT_EQ(e.failed, 1u);
  EXPECT_EQ(e.retries, 1u + 2u);  // the second attempt of id 3, two more of the failed record
  EXPECT_EQ(e.prompt_tokens, 60u);
  EXPECT_EQ(e.cached_tokens, 8u);
  EXPECT_EQ(evaluation_lines(e).front(),
            "  records   7 (1 failed), retries 3, tokens 60 prompt (8 cached) + 12 completion");
  ASSERT_EQ(e.fields.size(), 1u);
  const FieldEvaluation& c = e.fields[0];
  EXPECT_EQ(c.field, "c");
  EXPECT_EQ(c.tally.gold, 6u);
  EXPECT_EQ(c.tally.checked_right, 3u);  // ids 1, 3, 5
  EXPECT_DOUBLE_EQ(c.accuracy(), 0.5);
  EXPECT_EQ(c.values, 7u);
  EXPECT_EQ(c.covered, 5u);  // all but the abstention and the failure

  // a: right 1, true 2 (ids 1 and 6), checked 2 (ids 1 and 2); b: right 1, true 3, checked 1;
  // 7: right 1. "c" counts nowhere: its value has no true label.
  ASSERT_EQ(c.labels.size(), 3u);
  EXPECT_EQ(c.labels[0].label, "7");  // in the order of the labels' text
  EXPECT_DOUBLE_EQ(c.labels[0].f1, 1.0);
  const LabelScore& a = c.labels[1];
  EXPECT_EQ(a.label, "a");
  EXPECT_EQ(a.support, 2u);
  EXPECT_EQ(a.predicted, 2u);
  EXPECT_DOUBLE_EQ(a.f1, 0.5);
  const LabelScore& b = c.labels[2];
  EXPECT_DOUBLE_EQ(b.precision, 1.0);
  EXPECT_DOUBLE_EQ(b.recall, 1.0 / 3);
  EXPECT_DOUBLE_EQ(b.f1, 0.5);
  EXPECT_DOUBLE_EQ(*c.macro_f1, (0.5 + 0.5 + 1) / 3);

  // Labels by frequency (true + checked): a 4, b 4, 7 2.
  const ConfusionMatrix& m = c.confusion;
  EXPECT_EQ(m.labels, (std::vector<std::string>{"a", "b", "7"}));
  EXPECT_FALSE(m.grouped);
  EXPECT_EQ(m.cells[0], (std::vector<std::size_t>{1, 0, 0, 1}));  // a: right, failed (null)
  EXPECT_EQ(m.cells[1], (std::vector<std::size_t>{1, 1, 0, 1}));  // b: as a, right, abstained

  // The replaced value was right, at similarity 0.6: bin 12 of 20.
  EXPECT_EQ(c.similarity.right[12], 1u);
  EXPECT_EQ(c.corrections.size(), 1u);
  EXPECT_EQ(c.abstentions.size(), 1u);
  ASSERT_EQ(c.confident_errors.size(), 1u);
  EXPECT_EQ(c.confident_errors[0].id, 2);
  EXPECT_EQ(c.confident_errors[0].truth, "b");
}

TEST(Evaluation, GroupsTheLeastFrequentLabelsAsOther) {
  const TempDir dir;
  std::ofstream out(dir / "r.jsonl");
  // Label i is the true label of 10 - i values; every value of label 3 is checked as 4.
  int id = 0;
  for (int label = 0; label < 6; ++label) {
    for (int n = 0; n < 10 - label; ++n) {
      const std::string truth = "l" + std::to_string(label);
      out << line(++id, "kept", label == 3 ? Value("l4") : Value(truth), std::nullopt, truth);
    }
  }
  out.close();
  const Evaluation e = evaluate_results({dir / "r.jsonl"}, {.matrix_labels = 3});
  const ConfusionMatrix& m = e.fields[0].confusion;
  EXPECT_TRUE(m.grouped);
  // As true or checked label: l0 20, l4 6 + 13, l1 18, l2 16, l5 10, l3 7.
  EXPECT_EQ(m.labels, (std::vector<std::string>{"l0", "l4", "other"}));
  EXPECT_EQ(m.cells[1][1], 6u);
  EXPECT_EQ(m.cells[2][1], 7u);            // l3 checked as l4
  EXPECT_EQ(m.cells[2][2], 9u + 8u + 5u);  // l1, l2 and l5 right
  std::size_t sum = 0;
  for (const auto& row : m.cells) {
    for (std::size_t cell : row) sum += cell;
  }
  EXPECT_EQ(sum, e.fields[0].tally.gold);  // nothing lost in the grouping
}

TEST(Evaluation, CalibrationBinsEceAndTheRiskCoverageCurveWithItsThreshold) {
  const TempDir dir;
  std::ofstream(dir / "r.jsonl") << line(1, "kept", "a", 0.95, "a")
                                 << line(2, "kept", "a", 0.95, "b")
                                 << line(3, "kept", "a", 0.55, "a")
                                 << line(4, "kept", "a", 0.15, "b")
                                 << line(5, "kept", "a", 1.0, "a")
                                 << line(6, "kept", "a", 0.5, nullptr);  // no truth: not binned
  const Evaluation e =
      evaluate_results({dir / "r.jsonl"}, {.curve_points = 200, .thresholds = {{"c", 0.5}}});
  const FieldEvaluation& c = e.fields[0];
  EXPECT_EQ(c.with_confidence, 6u);
  EXPECT_NEAR(c.mean_confidence, (0.95 + 0.95 + 0.55 + 0.15 + 1.0 + 0.5) / 6, 1e-9);
  ASSERT_EQ(c.reliability.size(), 10u);
  EXPECT_EQ(c.reliability[9].count, 3u);  // 0.95, 0.95 and 1.0 (the last bin holds 1)
  EXPECT_EQ(c.reliability[9].right, 2u);
  EXPECT_NEAR(c.reliability[9].mean_confidence, (0.95 + 0.95 + 1.0) / 3, 1e-6);
  EXPECT_EQ(c.reliability[5].count, 1u);
  EXPECT_EQ(c.reliability[1].count, 1u);
  const double ece =
      (3 * std::abs(2.0 / 3 - (2.9 / 3)) + 1 * std::abs(1 - 0.55) + 1 * std::abs(0 - 0.15)) / 5;
  EXPECT_NEAR(*c.ece, ece, 1e-6);

  // Most confident first; the two values at 0.95 make one point, as a threshold keeps both.
  std::vector<std::size_t> counts;
  for (const CurvePoint& p : c.risk_coverage) counts.push_back(p.count);
  EXPECT_EQ(counts, (std::vector<std::size_t>{1, 3, 4, 5}));
  EXPECT_NEAR(c.risk_coverage[1].accuracy, 2.0 / 3, 1e-9);
  EXPECT_DOUBLE_EQ(c.risk_coverage.back().coverage, 1.0);
  ASSERT_TRUE(c.at_threshold);
  EXPECT_EQ(c.at_threshold->count, 4u);
  EXPECT_DOUBLE_EQ(c.at_threshold->accuracy, 0.75);
}

TEST(Evaluation, OlderFilesAndFilesWithoutTrueLabelsShowWhatTheyCan) {
  const TempDir dir;
  std::ofstream(dir / "r.jsonl") << line(1, "kept", "a", std::nullopt, nullptr)
                                 << line(2, "replaced", "b", std::nullopt, nullptr, 0.4);
  const Evaluation e = evaluate_results({dir / "r.jsonl"});
  const FieldEvaluation& c = e.fields[0];
  EXPECT_EQ(c.tally.kept, 1u);
  EXPECT_EQ(c.tally.replaced, 1u);
  EXPECT_EQ(c.tally.gold, 0u);
  EXPECT_FALSE(c.macro_f1);
  EXPECT_FALSE(c.ece);
  EXPECT_TRUE(c.risk_coverage.empty());
  EXPECT_EQ(c.covered, 2u);
  EXPECT_EQ(e.to_json()["fields"][0]["mean_confidence"], Value());
}

TEST(Evaluation, LowConfidenceAbstainsAndAReviewIsATrueLabel) {
  const TempDir dir;
  Value reviewed = Value::parse(line(2, "reviewed", "b", std::nullopt, nullptr));
  reviewed["decisions"]["c"]["reviewed_from"] = "low_confidence";
  std::ofstream(dir / "r.jsonl") << line(1, "low_confidence", nullptr, 0.2, "a") << reviewed.dump()
                                 << "\n";
  const Evaluation e = evaluate_results({dir / "r.jsonl"});
  const FieldTally& t = e.fields[0].tally;
  EXPECT_EQ(t.low_confidence, 1u);
  EXPECT_EQ(t.gold_abstained, 1u);
  EXPECT_EQ(t.reviewed, 1u);
  EXPECT_EQ(t.gold, 2u);
  EXPECT_EQ(t.gold_reviewed, 1u);
  EXPECT_EQ(t.checked_right, 1u);
  EXPECT_EQ(e.fields[0].abstentions.size(), 1u);
}

TEST(Evaluation, FieldsAreFoundInOrderOrChosenAndTheAllSectionNamesThemInItsLabels) {
  const TempDir dir;
  std::ofstream(dir / "r.jsonl")
      << R"({"id":1,"checked":{"z":"x","a":"y"},"decisions":{"z":{"decision":"kept"},)"
         R"("a":{"decision":"kept"}},"predicted":{},"gold":{"z":"x","a":"x"},"error":null})"
      << "\n";
  const Evaluation e = evaluate_results({dir / "r.jsonl"});
  ASSERT_EQ(e.fields.size(), 2u);
  EXPECT_EQ(e.fields[0].field, "z");
  EXPECT_EQ(e.all.values, 2u);
  EXPECT_EQ(e.all.tally.checked_right, 1u);
  EXPECT_EQ(e.all.confusion.labels.size(), 3u);  // "a: x", "a: y", "z: x"
  EXPECT_EQ(evaluate_results({dir / "r.jsonl"}, {.fields = {"a"}}).fields.size(), 1u);
  expect_error<ValueError>(
      [&] {
        evaluate_results({dir / "r.jsonl"}, {.fields = {"a", "a"}});
      },
      "the field 'a' is named twice");
  std::ofstream(dir / "s.jsonl") << failed_line(1, nullptr);
  expect_error<ValueError>(
      [&] {
        evaluate_results({dir / "r.jsonl", dir / "s.jsonl"});
      },
      "results file '" + (dir / "s.jsonl") + "' line 1 repeats the id 1 of results file '" +
          (dir / "r.jsonl") + "'");
}

TEST(CompareRuns, SetsTheFiguresSideBySideAndListsTheRecordsThatDiffer) {
  const TempDir dir;
  std::ofstream(dir / "a.jsonl") << line(1, "kept", "a", 0.9, "a") << line(2, "kept", "a", 0.8, "b")
                                 << line(3, "kept", "b", 0.8, "b")
                                 << line(4, "kept", "b", 0.8, "b");
  std::ofstream(dir / "b.jsonl") << line(2, "kept", "b", 0.7, "b") << line(1, "kept", "a", 0.9, "a")
                                 << line(3, "abstained", nullptr, std::nullopt, "b")
                                 << line(5, "kept", "b", 0.8, "b");
  const RunComparison r = compare_runs(dir / "a.jsonl", dir / "b.jsonl", {}, 1);
  EXPECT_EQ(r.common, 3u);
  EXPECT_EQ(r.only_first, 1u);
  EXPECT_EQ(r.only_second, 1u);
  EXPECT_EQ(r.differing, 2u);  // ids 2 and 3
  ASSERT_EQ(r.differences.size(), 1u);
  EXPECT_EQ(r.differences[0].id, 2);
  EXPECT_EQ(r.differences[0].first, "a");
  EXPECT_EQ(r.differences[0].second, "b");
  ASSERT_EQ(r.first.size(), 2u);  // the field, then all fields
  EXPECT_DOUBLE_EQ(r.first[0].accuracy, 0.75);
  EXPECT_DOUBLE_EQ(r.second[0].accuracy, 0.75);
  EXPECT_DOUBLE_EQ(r.second[0].coverage, 0.75);
}

}  // namespace
}  // namespace tavrin::labeling
