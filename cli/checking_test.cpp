#include "cli/checking.hpp"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tavrin/core/errors.hpp"
#include "tavrin/vectorstore/vector_store.hpp"

namespace tavrin::cli {
namespace {

using vectorstore::Document;
using vectorstore::ScoredDocument;

// Answers each query with a fixed nearest label and remembers what was asked.
class FixedStore : public vectorstore::VectorStore {
 public:
  explicit FixedStore(std::map<std::string, std::string> nearest) : nearest_(std::move(nearest)) {}
  std::vector<ScoredDocument> similarity_search_with_score(const Value& query,
                                                           std::size_t) const override {
    queries.push_back(query);
    return {{Document{nearest_.at(query.get<std::string>())}, 0.9f}};
  }
  mutable std::vector<Value> queries;

 private:
  std::map<std::string, std::string> nearest_;
};

class CheckPrediction : public ::testing::Test {
 protected:
  const Value labels = {{"category", {"售后服务", "技术故障"}}, {"priority", {"P0", "P1"}}};
  const std::vector<std::string> fields = {"category", "priority"};
  std::shared_ptr<FixedStore> category =
      std::make_shared<FixedStore>(std::map<std::string, std::string>{{"售后服务部", "售后服务"}});
  std::shared_ptr<FixedStore> priority =
      std::make_shared<FixedStore>(std::map<std::string, std::string>{{"p1", "P1"}});
  StoreMap stores = {{"category", category}, {"priority", priority}};
  CheckTally tally;
};

TEST_F(CheckPrediction, ReplacesNearMissesAndKeepsEverythingElse) {
  const Value prediction = {{"id", 7}, {"priority", "p1"}, {"category", "售后服务部"}, {"note", 1}};
  const Value out = check_prediction(prediction, labels, fields, stores, tally);
  EXPECT_EQ(out.dump(), R"({"id":7,"priority":"P1","category":"售后服务","note":1})");
  EXPECT_EQ(tally.replaced, 2u);
  EXPECT_EQ(tally.kept, 0u);
  ASSERT_EQ(tally.corrections.size(), 2u);
  EXPECT_EQ(tally.corrections[0].field, "category");
  EXPECT_EQ(tally.corrections[0].from, "售后服务部");
  EXPECT_EQ(tally.corrections[0].to, "售后服务");
}

TEST_F(CheckPrediction, AllowedValuesAreNotSearched) {
  const Value out = check_prediction({{"category", "技术故障"}, {"priority", "P0"}}, labels, fields,
                                     stores, tally);
  EXPECT_EQ(out.dump(), R"({"category":"技术故障","priority":"P0"})");
  EXPECT_EQ(tally.kept, 2u);
  EXPECT_TRUE(category->queries.empty());
  EXPECT_TRUE(priority->queries.empty());
}

TEST_F(CheckPrediction, MissingAndNullFieldsStayAsTheyAreAndAreCounted) {
  const Value out =
      check_prediction({{"id", 3}, {"priority", nullptr}}, labels, fields, stores, tally);
  EXPECT_EQ(out.dump(), R"({"id":3,"priority":null})");
  EXPECT_EQ(tally.missing, 2u);
  EXPECT_EQ(tally.checked, 0u);
  EXPECT_EQ(tally.records, 1u);
  EXPECT_TRUE(priority->queries.empty());
}

TEST_F(CheckPrediction, ARecordThatIsNoObjectIsATypeError) {
  try {
    check_prediction(Value::array({1}), labels, fields, stores, tally);
    FAIL() << "no TypeError";
  } catch (const TypeError& e) {
    EXPECT_STREQ(e.what(), "prediction must be a mapping, not array");
  }
}

TEST(MatchesTruth, ComparesAsTextAndMissingIsWrong) {
  EXPECT_TRUE(matches_truth("P1", "P1"));
  EXPECT_TRUE(matches_truth("3", 3));
  EXPECT_FALSE(matches_truth("P1 ", "P1"));
  EXPECT_FALSE(matches_truth(nullptr, nullptr));
}

TEST(ScoreRecord, CountsBeforeAndAfterPerField) {
  std::vector<FieldScore> scores = {{"category"}, {"priority"}};
  const Value truth = {{"category", "售后服务"}, {"priority", "P1"}};
  score_record(truth, {{"category", "售后服务部"}, {"priority", "P1"}},
               {{"category", "售后服务"}, {"priority", "P1"}}, scores);
  score_record(truth, Value::object(), Value::object(), scores);
  EXPECT_EQ(scores[0].right_before, 0u);
  EXPECT_EQ(scores[0].right_after, 1u);
  EXPECT_EQ(scores[1].right_before, 1u);
  EXPECT_EQ(scores[1].right_after, 1u);
  const FieldScore all = total_score(scores);
  EXPECT_EQ(all.right_before, 1u);
  EXPECT_EQ(all.right_after, 2u);
  EXPECT_EQ(all.total, 4u);
}

TEST(Percent, OneDecimalAndNothingToDivide) {
  EXPECT_EQ(percent(863, 1000), "86.3%");
  EXPECT_EQ(percent(2, 3), "66.7%");
  EXPECT_EQ(percent(0, 0), "n/a");
}

TEST(PickExamples, DistinctValuesFieldsInTurnOneWrongLast) {
  const std::vector<Correction> corrections = {
      {"category", "售后服务部", "售后服务", true, std::nullopt, Value()},
      {"category", "售后服务部", "售后服务", true, std::nullopt, Value()},
      {"category", "物流", "订单物流", true, std::nullopt, Value()},
      {"category", "其他", "技术故障", false, std::nullopt, Value()},
      {"priority", "p1", "P1", true, std::nullopt, Value()},
      {"product", "手机 ", "手机", true, std::nullopt, Value()},
  };
  const auto picked = pick_examples(corrections, 4);
  std::vector<std::string> shown;
  for (const Correction& c : picked) shown.push_back(c.from.get<std::string>());
  EXPECT_EQ(shown, (std::vector<std::string>{"售后服务部", "p1", "手机 ", "其他"}));
  EXPECT_EQ(pick_examples(corrections, 0).size(), 0u);
  EXPECT_EQ(pick_examples({corrections[0], corrections[1]}, 5).size(), 1u);
}

}  // namespace
}  // namespace tavrin::cli
