#include "tavrin/labeling/results.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/labeling/calibration.hpp"
#include "tavrin/olvane.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::labeling {
namespace {

using tavrin::testing::expect_error;
using tavrin::testing::TempDir;

const char* const kDone =
    R"({"id":1,"checked":{"类别":"退款"},"decisions":{"类别":{"decision":"replaced","score":0.8}},)"
    R"("predicted":{"类别":"退 款"},"gold":{"类别":"退款"},"answer":"{…}","attempts":2,)"
    R"("usage":{"prompt_tokens":10},"error":null})";
const char* const kFailed =
    R"({"id":"b","checked":null,"gold":{"类别":"物流"},"answer":null,"attempts":3,)"
    R"("error":"HTTP status 503"})";

TEST(ResultLine, ReadsAndWritesTheLinesOfTheJobAsTheyAre) {
  for (const char* text : {kDone, kFailed}) {
    EXPECT_EQ(ResultLine::from_json(Value::parse(text)).to_json().dump(), text);
  }
  const ResultLine failed = ResultLine::from_json(Value::parse(kFailed));
  EXPECT_EQ(failed.error, "HTTP status 503");
  EXPECT_EQ(failed.attempts, 3u);
  // An error that is not text still marks the record failed.
  EXPECT_EQ(ResultLine::from_json(Value::parse(R"({"id": 1, "error": {"code": 5}})")).error,
            R"({"code":5})");
  expect_error<ValueError>([] { ResultLine::from_json(Value::parse(R"({"checked": {}})")); },
                           "has no \"id\"");
}

TEST(TallyResults, ShardsCountAsOneFileAndAnIdInTwoIsRefused) {
  const TempDir dir;
  std::ofstream(dir / "a.jsonl") << kDone << "\n\n" << kFailed << "\n";
  // A torn last line, left by a crash, is not a result.
  std::ofstream(dir / "b.jsonl") << R"({"id":2,"checked":{"类别":"物流"},"decisions":{},)"
                                 << R"("predicted":{"类别":"物流"},"gold":{"类别":"退款"},)"
                                 << R"("answer":"","attempts":1,"usage":null,"error":null})"
                                 << "\n{\"id\": 3, \"chec";
  const JobTally tally = tally_results({dir / "a.jsonl", dir / "b.jsonl"}, {"类别"});
  EXPECT_EQ(tally.done, 3u);
  EXPECT_EQ(tally.total, 3u);
  EXPECT_EQ(tally.failed, 1u);
  const FieldTally& category = tally.fields.at("类别");
  EXPECT_EQ(category.replaced, 1u);
  EXPECT_EQ(category.gold, 3u);  // the failed record's true label counts, as a wrong value
  EXPECT_EQ(category.gold_failed, 1u);
  EXPECT_EQ(category.predicted_right, 0u);
  EXPECT_EQ(category.checked_right, 1u);

  std::ofstream(dir / "c.jsonl") << kFailed << "\n";
  expect_error<ValueError>(
      [&] {
        tally_results({dir / "a.jsonl", dir / "c.jsonl"}, {"类别"});
      },
      "results file '" + (dir / "c.jsonl") + "' line 1 repeats the id \"b\" of results file '" +
          (dir / "a.jsonl") + "'");
  std::ofstream(dir / "d.jsonl") << kDone << "\n"
                                 << R"({"id": 5, "decisions": [], "error": null})"
                                 << "\n";
  expect_error<ValueError>(
      [&] { tally_results({dir / "d.jsonl"}, {"类别"}); },
      "results file '" + (dir / "d.jsonl") + "' line 2 has a \"decisions\" that is no object");
}

// Large files are parsed in batches on two threads: the lines still come in order, a torn last
// line is still dropped, and a bad line is still named by its own number.
TEST(ReadResults, ABigFileComesInOrderWithItsFaultsInTheirPlaces) {
  const TempDir dir;
  const auto line_with_id = [](int id) {
    std::string line = kDone;
    return line.replace(line.find("\"id\":1"), 6, "\"id\":" + std::to_string(id));
  };
  {
    std::ofstream out(dir / "big.jsonl");
    for (int id = 1; id <= 9000; ++id) out << line_with_id(id) << '\n';
    out << "{\"id\": 9001, \"chec";
  }
  int expected = 1;
  read_results({dir / "big.jsonl"}, [&](const ResultLine& line) {
    EXPECT_EQ(line.id, expected) << expected;
    ++expected;
  });
  EXPECT_EQ(expected, 9001);

  {
    std::ofstream out(dir / "bad.jsonl");
    for (int id = 1; id <= 5000; ++id) {
      out << (id == 4321 ? std::string(R"({"id": 4321, "checked": [], "error": null})")
                         : line_with_id(id))
          << '\n';
    }
  }
  int seen = 0;
  expect_error<ValueError>(
      [&] { read_results({dir / "bad.jsonl"}, [&](const ResultLine&) { ++seen; }); },
      "results file '" + (dir / "bad.jsonl") + "' line 4321 has no \"decisions\" object");
  EXPECT_EQ(seen, 4320);
}

// A line checked without a model (the demo's, a library caller's) can still say how far to
// trust each value, from its check alone.
TEST(CheckedLine, TakesTheConfidenceOfEachValueFromItsCheck) {
  olvane::ScoredCheck scored;
  scored.checked_result = {{"a", "x"}, {"b", nullptr}};
  scored.fields = {{.field = "a",
                    .predicted = "x",
                    .checked = "x",
                    .decision = olvane::Decision::kept,
                    .score = 1,
                    .nearest = std::nullopt,
                    .runner_up = std::nullopt,
                    .runner_up_score = std::nullopt},
                   {.field = "b",
                    .predicted = "y",
                    .checked = nullptr,
                    .decision = olvane::Decision::abstained,
                    .score = 0.1,
                    .nearest = "z",
                    .runner_up = std::nullopt,
                    .runner_up_score = std::nullopt}};
  ResultLine line = checked_line(1, {{"a", "x"}, {"b", "y"}}, scored, Value());
  EXPECT_FALSE(line.decisions["a"].contains("confidence"));
  write_confidences(line, scored, {}, {}, Value(), nullptr);
  EXPECT_GT(line.decisions["a"]["confidence"].get<double>(), 0.5);
  EXPECT_TRUE(line.decisions["a"]["signals"]["model_probability"].is_null());
  EXPECT_TRUE(line.decisions["b"]["confidence"].is_null());
}

TEST(Corrections, OfALineAreItsReplacedAndAbstainedFieldsMarkedRightWhenTheTruthIsKnown) {
  const ResultLine line = ResultLine::from_json(Value::parse(
      R"({"id":1,"checked":{"a":"x","b":null,"c":"k","d":null},)"
      R"("decisions":{"a":{"decision":"replaced","score":0.8,"nearest":"x"},)"
      R"("b":{"decision":"abstained","score":0.2,"nearest":"y"},"c":{"decision":"kept"},)"
      R"("d":{"decision":"missing"}},"predicted":{"a":"x ","b":"??","c":"k"},"gold":{"a":"z"},)"
      R"("answer":null,"attempts":1,"usage":null,"error":null})"));
  const auto corrections = corrections_of(line, {"d", "c", "b", "a"});
  ASSERT_EQ(corrections.size(), 2u);
  EXPECT_EQ(corrections[0].field, "b");
  EXPECT_EQ(corrections[0].from, "??");
  EXPECT_TRUE(corrections[0].to.is_null());
  EXPECT_EQ(corrections[0].nearest, "y");
  EXPECT_EQ(corrections[0].right, std::nullopt);
  EXPECT_EQ(corrections[1].to, "x");
  EXPECT_EQ(corrections[1].score, 0.8);
  EXPECT_EQ(corrections[1].right, false);
  EXPECT_TRUE(corrections_of(ResultLine::from_json(Value::parse(kFailed)), {"类别"}).empty());
}

TEST(Corrections, ExamplesHaveDistinctValuesFieldsInTurnAndOneWrongLast) {
  const auto correction = [](const char* field, const char* from, bool right) {
    return Correction{.field = field, .from = from, .to = "t", .right = right};
  };
  const std::vector<Correction> corrections = {
      correction("category", "售后服务部", true), correction("category", "售后服务部", true),
      correction("category", "物流", true),       correction("category", "其他", false),
      correction("priority", "p1", true),         correction("product", "手机 ", true),
  };
  std::vector<std::string> shown;
  for (const Correction& c : pick_examples(corrections, 4)) shown.push_back(str(c.from));
  EXPECT_EQ(shown, (std::vector<std::string>{"售后服务部", "p1", "手机 ", "其他"}));
  EXPECT_TRUE(pick_examples(corrections, 0).empty());
  EXPECT_EQ(pick_examples({corrections[0], corrections[1]}, 5).size(), 1u);
}

}  // namespace
}  // namespace tavrin::labeling
