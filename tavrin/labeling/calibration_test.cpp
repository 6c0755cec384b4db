#include "tavrin/labeling/calibration.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "tavrin/core/errors.hpp"
#include "tavrin/labeling/run_settings.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::labeling {
namespace {

using tavrin::testing::error_message;
using tavrin::testing::TempDir;

// Expects `call` to throw a ValueError whose message holds `part`.
template <class Call>
void expect_value_error(Call call, const std::string& part) {
  const std::string message = error_message<ValueError>(call, "ValueError");
  EXPECT_NE(message.find(part), std::string::npos) << message << "\n  expected to hold: " << part;
}

// A value of the synthetic results: what the model's probability said, and whether it was right.
struct Synthetic {
  double probability;
  bool right;
};

// Values whose rightness follows `truth` of the model's probability: a relation the fixed
// confidence does not know (it reads the probability as it comes).
std::vector<Synthetic> synthetic(std::size_t n, unsigned seed, double (*truth)(double)) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> uniform(0, 1);
  std::vector<Synthetic> values;
  for (std::size_t i = 0; i < n; ++i) {
    const double p = uniform(random);
    values.push_back({p, uniform(random) < truth(p)});
  }
  return values;
}

Value line_of(std::size_t id, const Synthetic& value) {
  Value decision = {{"decision", "kept"},
                    {"score", 1},
                    {"nearest", nullptr},
                    {"runner_up", nullptr},
                    {"runner_up_score", nullptr}};
  decision["signals"] = {{"model_probability", value.probability},
                         {"first_token_share", nullptr},
                         {"neighbour_share", nullptr}};
  Value line = Value::object();
  line["id"] = id;
  line["checked"] = {{"category", "billing"}};
  line["decisions"] = {{"category", decision}};
  line["predicted"] = {{"category", "billing"}};
  line["gold"] = {{"category", value.right ? "billing" : "shipping"}};
  line["answer"] = "";
  line["attempts"] = 1;
  line["usage"] = nullptr;
  line["error"] = nullptr;
  return line;
}

std::string write_results(const std::string& path, const std::vector<Synthetic>& values,
                          std::size_t first_id = 0) {
  std::ofstream out(path);
  for (std::size_t i = 0; i < values.size(); ++i)
    out << line_of(first_id + i, values[i]).dump() << '\n';
  return path;
}

// Among `values`, the share right of those the calibration accepts, and how many it accepts.
std::pair<double, std::size_t> accepted(const FieldCalibration& field,
                                        const std::vector<Synthetic>& values) {
  std::size_t taken = 0, right = 0;
  for (const Synthetic& v : values) {
    Signals signals{"kept"};
    signals.model.probability = v.probability;
    if (field.accepts(*field.confidence(signals))) {
      ++taken;
      right += v.right;
    }
  }
  return {taken == 0 ? 1.0 : static_cast<double>(right) / static_cast<double>(taken), taken};
}

TEST(Calibrate, TheChosenThresholdHoldsItsTargetOnRecordsTheFitDidNotSee) {
  const TempDir dir;
  // Right far more often than the model says at the top, far less at the bottom.
  const auto truth = [](double p) { return p * p; };
  const std::string fit_path = write_results(dir / "fit.jsonl", synthetic(6000, 1, truth));
  const Calibration calibration = calibrate({fit_path}, {.target_precision = 0.8});
  const FieldCalibration& field = calibration.fields.at("category");
  ASSERT_TRUE(field.threshold);
  EXPECT_EQ(calibration.thresholds(),
            (std::map<std::string, double>{{"category", *field.threshold}}));
  EXPECT_EQ(field.values, 6000u);
  EXPECT_GE(field.precision_bound, 0.8);
  EXPECT_GE(field.precision, field.precision_bound);
  // p² averages 0.8 above p = 0.77; the bound asks a little more, so under a quarter passes.
  EXPECT_GT(field.coverage, 0.12);
  EXPECT_LT(field.coverage, 0.23);
  for (const unsigned seed : {2u, 3u, 4u}) {
    const auto [precision, taken] = accepted(field, synthetic(6000, seed, truth));
    EXPECT_GE(precision, 0.8) << seed;
    EXPECT_GT(taken, 1000u) << seed;
  }
  // The fixed confidence reads p as it is, far from p²; the calibrated one is near the truth.
  EXPECT_GT(field.ece_before, 0.1);
  EXPECT_LT(field.ece_after, 0.03);
  EXPECT_LT(field.brier_after, field.brier_before);
}

TEST(Calibrate, ConfidencesRiseWithTheSignalAndStayProbabilities) {
  const TempDir dir;
  const Calibration calibration = calibrate(
      {write_results(dir / "r.jsonl", synthetic(3000, 5, [](double p) { return p; }))}, {});
  const FieldCalibration& field = calibration.fields.at("category");
  double last = 0;
  for (double p = 0.0; p <= 1.0; p += 0.01) {
    Signals signals{"kept"};
    signals.model.probability = p;
    const double c = *field.confidence(signals);
    EXPECT_GE(c, last) << p;
    EXPECT_LE(c, 1.0);
    last = c;
  }
  EXPECT_FALSE(field.confidence(Signals{"abstained"}));
}

TEST(Calibrate, ATargetNoThresholdReachesSendsEveryValueToReview) {
  const TempDir dir;
  const Calibration calibration =
      calibrate({write_results(dir / "r.jsonl", synthetic(2000, 6, [](double) { return 0.5; }))},
                {.target_precision = 0.9});
  const FieldCalibration& field = calibration.fields.at("category");
  EXPECT_FALSE(field.threshold);
  EXPECT_TRUE(calibration.thresholds().empty());
  EXPECT_EQ(field.coverage, 0.0);
  EXPECT_EQ(accepted(field, synthetic(500, 7, [](double) { return 1.0; })).second, 0u);
  const std::vector<std::string> lines = calibration_lines(calibration);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("no threshold reaches a precision of 90.0%"), std::string::npos)
      << lines[0];
}

TEST(Calibrate, RefusesWhatItCannotFitFrom) {
  const TempDir dir;
  const std::string a =
      write_results(dir / "a.jsonl", synthetic(100, 8, [](double p) { return p; }));
  const std::string b =
      write_results(dir / "b.jsonl", synthetic(100, 9, [](double p) { return p; }), 100);
  expect_value_error([&] { calibrate({a}, {.fields = {"other"}}); },
                     "field 'other' has no value with a true label");
  expect_value_error([&] { calibrate({a}, {.target_precision = 1.5}); }, "not in (0, 1]");
  write_run_settings(a, {{"target_fields", {"category"}}, {"model", {{"model", "m1"}}}});
  write_run_settings(b, {{"target_fields", {"category"}}, {"model", {{"model", "m2"}}}});
  expect_value_error([&] { calibrate({a, b}, {}); }, "other settings (model)");
  // The shards of one run make one calibration, which records what it was made with.
  write_run_settings(
      b, {{"target_fields", {"category"}}, {"model", {{"model", "m1"}}}, {"shard", "1/2"}});
  const Calibration both = calibrate({a, b}, {});
  EXPECT_EQ(both.fields.at("category").values, 200u);
  EXPECT_EQ(both.settings["model"]["model"], "m1");
  EXPECT_FALSE(both.settings.contains("shard"));
}

TEST(Calibration, IsWrittenReadAndHeldToTheRunItIsUsedWith) {
  const TempDir dir;
  const std::string results =
      write_results(dir / "r.jsonl", synthetic(500, 10, [](double p) { return p; }));
  write_run_settings(
      results,
      {{"target_fields", {"category"}}, {"model", {{"model", "m1"}}}, {"template_sha256", "abc"}});
  const Calibration made = calibrate({results}, {.target_precision = 0.7});
  write_calibration(dir / "calibration.json", made);
  const Calibration read = read_calibration(dir / "calibration.json");
  EXPECT_EQ(read.to_json(), made.to_json());

  Value run = {{"target_fields", {"category"}},
               {"model", {{"model", "m1"}}},
               {"template_sha256", "abc"},
               {"shard", "0/4"}};
  require_calibration_fits(read, run, "calibration.json");
  run["model"]["model"] = "m2";
  run["target_fields"] = {"category", "priority"};
  expect_value_error([&] { require_calibration_fits(read, run, "calibration.json"); },
                     "model: {\"model\":\"m1\"} in calibration.json, {\"model\":\"m2\"} now");
  expect_value_error([&] { require_calibration_fits(read, run, "calibration.json"); },
                     "field 'priority' is not calibrated");

  Value broken = made.to_json();
  broken["fields"]["category"]["knots"] = {0.5, 0.1};
  expect_value_error([&] { Calibration::from_json(broken); }, "increasing knots");
  broken = made.to_json();
  broken["fields"]["category"]["threshold"] = 2;
  expect_value_error([&] { Calibration::from_json(broken); }, "threshold");
  expect_value_error([&] { Calibration::from_json(Value::object()); }, "no calibration");
}

}  // namespace
}  // namespace tavrin::labeling
