#include "tavrin/olvane.hpp"

#include <gtest/gtest.h>

#include "tavrin/core/errors.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::olvane {
namespace {

using vectorstore::Document;
using vectorstore::ScoredDocument;
using Stores = std::map<std::string, std::shared_ptr<const vectorstore::VectorStore>>;

// Answers fixed documents and logs every query with its topk.
class FakeStore : public vectorstore::VectorStore {
 public:
  explicit FakeStore(std::vector<std::string> answers) : answers_(std::move(answers)) {}
  std::vector<ScoredDocument> similarity_search_with_score(const Value& query,
                                                           std::size_t topk) const override {
    queries.emplace_back(query, topk);
    std::vector<ScoredDocument> out;
    for (const std::string& a : answers_) out.emplace_back(Document{a}, 1.0f);
    return out;
  }
  mutable std::vector<std::pair<Value, std::size_t>> queries;

 private:
  std::vector<std::string> answers_;
};

std::shared_ptr<const vectorstore::VectorStore> label_store(
    const std::vector<std::string>& labels) {
  const auto model = std::make_shared<vectorstore::HashingEmbeddings>();
  const auto vectors = model->embed_documents(labels);
  std::vector<vectorstore::FAISS::TextEmbedding> pairs;
  for (std::size_t i = 0; i < labels.size(); ++i) pairs.emplace_back(labels[i], vectors[i]);
  return std::make_shared<vectorstore::FAISS>(vectorstore::FAISS::from_embeddings(
      pairs, model, std::vector<Value>(labels.size(), Value::object())));
}

using tavrin::testing::expect_error;

TEST(CheckResult, IsTheVeryDataToFaissOfBrollin) {
  EXPECT_EQ(&olvane::data2faiss, &brollin::data2faiss);
}

TEST(CheckResult, AllowedValuesStayAndOthersAreReplacedByTheNearestLabel) {
  const Value labels = Value::parse(R"({
      "类别": ["售后服务", "退款", "物流配送"],
      "语言": ["refund", "complaint"],
      "级别": [1, 2, 3]})");
  const Stores stores = {{"类别", label_store({"售后服务", "退款", "物流配送"})},
                         {"语言", label_store({"refund", "complaint"})}};
  const Value checked =
      check_result(Value::parse(R"({"语言": "Refund", "级别": 2.0, "类别": "售后-服务", "x": 1})"),
                   labels, {"类别", "语言", "级别"}, stores);
  EXPECT_EQ(checked.dump(), R"({"类别":"售后服务","语言":"refund","级别":2.0})");
}

TEST(CheckResult, MembershipIsTheCollectionsOwnTest) {
  struct Case {
    const char* allowed;
    const char* val;
    bool member;
  };
  const std::vector<Case> cases = {
      {R"(["a", 1])", R"(1.0)", true},
      {R"([1])", R"(true)", true},
      {R"([0])", R"(false)", true},
      {R"([[1, {"k": true}]])", R"([1, {"k": 1}])", true},
      {R"(["1"])", R"(1)", false},
      {R"([null])", R"(null)", true},
      {R"({"售后": 0})", R"("售后")", true},
      {R"({"1": 0})", R"(1)", false},
      {R"("售后服务")", R"("后服")", true},
      {R"("售后服务")", R"("退")", false},
      {R"([])", R"("a")", false},
  };
  for (const Case& c : cases) {
    const auto store = std::make_shared<FakeStore>(std::vector<std::string>{"replaced"});
    const Value val = Value::parse(c.val);
    const Value checked = check_result(Value{{"f", val}}, Value{{"f", Value::parse(c.allowed)}},
                                       {"f"}, {{"f", store}});
    EXPECT_EQ(checked, (Value{{"f", c.member ? val : Value("replaced")}}))
        << c.allowed << " " << c.val;
    EXPECT_EQ(store->queries.size(), c.member ? 0u : 1u) << c.allowed << " " << c.val;
  }
}

TEST(CheckResult, MembershipTestsThatCannotBeAnsweredFail) {
  const auto store = std::make_shared<FakeStore>(std::vector<std::string>{"replaced"});
  const auto check = [&](const char* allowed, const Value& val) {
    check_result(Value{{"f", val}}, Value{{"f", Value::parse(allowed)}}, {"f"}, {{"f", store}});
  };
  expect_error<TypeError>([&] { check(R"("123")", Value(2)); },
                          "value of field 'f' must be text to be looked up in its labels text, "
                          "not integer");
  expect_error<TypeError>([&] { check(R"("123")", Value()); },
                          "value of field 'f' must be text to be looked up in its labels text, "
                          "not null");
  expect_error<TypeError>([&] { check(R"({"a": 1})", Value::array({"a"})); },
                          "value of field 'f' is an array, which cannot be a key of its labels");
  EXPECT_TRUE(store->queries.empty());
}

TEST(CheckResult, SearchGetsTheValueUnchangedWithTopkOne) {
  const auto store = std::make_shared<FakeStore>(std::vector<std::string>{"first", "second"});
  const Value checked =
      check_result(Value{{"f", 5}}, Value::object(), {"f", "g"}, {{"f", store}, {"g", store}});
  EXPECT_EQ(checked, (Value{{"f", "first"}, {"g", "first"}}));
  ASSERT_EQ(store->queries.size(), 2u);
  EXPECT_EQ(store->queries[0], (std::pair<Value, std::size_t>{Value(5), 1}));
  EXPECT_EQ(store->queries[1], (std::pair<Value, std::size_t>{Value(), 1}));
}

TEST(CheckResult, RepeatedFieldKeepsItsFirstPlace) {
  const auto store = std::make_shared<FakeStore>(std::vector<std::string>{"x"});
  const Value checked =
      check_result(Value{{"a", 1}, {"b", 2}}, Value{{"a", {1}}, {"b", {2}}}, {"b", "a", "b"}, {});
  EXPECT_EQ(checked.dump(), R"({"b":2,"a":1})");
  EXPECT_EQ(check_result(Value{{"a", 1}}, Value::object(), {}, {}), Value::object());
}

TEST(CheckResult, FaultsNameTheParameterOrField) {
  const auto empty = label_store({});
  expect_error<TypeError>([] { check_result(Value::array(), Value::object(), {}, {}); },
                          "result must be a mapping, not array");
  expect_error<TypeError>([] { check_result(Value::object(), Value(), {}, {}); },
                          "labels must be a mapping, not null");
  expect_error<TypeError>(
      [] {
        check_result(Value{{"f", 1}}, Value{{"f", 7}}, {"f"}, {});
      },
      "labels['f'] must be a list, mapping or text, not integer");
  expect_error<KeyError>(
      [] {
        check_result(Value{{"f", "v"}}, Value::object(), {"f"}, {});
      },
      "DB_MAPS has no store for field 'f'");
  expect_error<KeyError>(
      [] {
        check_result(Value{{"f", "v"}}, Value::object(), {"f"}, {{"f", nullptr}});
      },
      "DB_MAPS has no store for field 'f'");
  expect_error<IndexError>(
      [&] {
        check_result(Value{{"f", "v"}}, Value::object(), {"f"}, {{"f", empty}});
      },
      "the store of field 'f' found no document");
  expect_error<ValueError>(
      [] {
        check_result(Value::object(), Value::object(), {"f"}, {{"f", label_store({"a"})}});
      },
      "similarity_search query must not be null");
}

// A store that answers fixed documents with fixed scores.
class ScoredFakeStore : public vectorstore::VectorStore {
 public:
  explicit ScoredFakeStore(std::vector<ScoredDocument> answers) : answers_(std::move(answers)) {}
  std::vector<ScoredDocument> similarity_search_with_score(const Value&,
                                                           std::size_t topk) const override {
    ++searches;
    return {answers_.begin(), answers_.begin() + std::min(topk, answers_.size())};
  }
  mutable int searches = 0;

 private:
  std::vector<ScoredDocument> answers_;
};

TEST(CheckResultScored, AgreesWithCheckResultWhenNoFloorIsSet) {
  const Value labels = Value::parse(R"({
      "类别": ["售后服务", "退款", "物流配送"],
      "语言": ["refund", "complaint", "refunds"],
      "级别": [1, 2, 3]})");
  const Stores stores = {{"类别", label_store({"售后服务", "退款", "物流配送"})},
                         {"语言", label_store({"refund", "complaint", "refunds"})}};
  const std::vector<std::string> fields = {"类别", "语言", "级别", "类别"};
  for (const char* text : {R"({"语言": "Refund", "级别": 2.0, "类别": "售后-服务"})",
                           R"({"语言": "complaint", "级别": true, "类别": "退款了"})",
                           R"({"语言": "refundss", "级别": 3, "类别": "物流"})"}) {
    const Value prediction = Value::parse(text);
    const ScoredCheck scored = check_result_scored(prediction, labels, fields, stores);
    EXPECT_EQ(scored.checked_result, check_result(prediction, labels, fields, stores)) << text;
    ASSERT_EQ(scored.fields.size(), 3u);
    for (const FieldCheck& f : scored.fields) {
      EXPECT_EQ(f.predicted, prediction[f.field]);
      EXPECT_EQ(f.checked, scored.checked_result[f.field]);
      EXPECT_EQ(f.decision, f.predicted == f.checked ? Decision::kept : Decision::replaced);
    }
  }
}

TEST(CheckResultScored, ReportsScoresAndTheRunnerUp) {
  const Value labels = Value::parse(R"({"f": ["refund", "refunds", "complaint"], "g": ["x"]})");
  const Stores stores = {{"f", label_store({"refund", "refunds", "complaint"})}};
  const ScoredCheck scored =
      check_result_scored(Value{{"f", "refund!"}, {"g", "x"}}, labels, {"f", "g"}, stores);
  const FieldCheck& f = scored.fields[0];
  EXPECT_EQ(f.decision, Decision::replaced);
  EXPECT_EQ(f.checked, "refund");
  ASSERT_TRUE(f.score && f.runner_up && f.runner_up_score);
  EXPECT_EQ(*f.runner_up, "refunds");
  EXPECT_GT(*f.score, *f.runner_up_score);
  EXPECT_LT(*f.score, 1.0);
  const FieldCheck& g = scored.fields[1];
  EXPECT_EQ(g.decision, Decision::kept);
  EXPECT_EQ(g.score, 1.0);
  EXPECT_FALSE(g.runner_up);
  EXPECT_EQ(
      g.to_json().dump(),
      R"({"decision":"kept","predicted":"x","checked":"x","score":1.0,"nearest":null,"runner_up":null,)"
      R"("runner_up_score":null})");
}

TEST(CheckResultScored, AbstainsBelowTheFloorAndSkipsMissingValues) {
  const auto store = std::make_shared<ScoredFakeStore>(
      std::vector<ScoredDocument>{{Document{"路由器"}, 0.25f}, {Document{"手机"}, 0.125f}});
  const Value labels = Value::parse(R"({"f": ["路由器", "手机"], "t": "售后服务"})");
  const Stores stores = {{"f", store}, {"t", store}};
  const auto decide = [&](const Value& prediction, std::optional<double> floor) {
    return check_result_scored(prediction, labels, {"f"}, stores, floor).fields.at(0);
  };
  const FieldCheck abstained = decide(Value{{"f", "N/A"}}, 0.5);
  EXPECT_EQ(abstained.decision, Decision::abstained);
  EXPECT_TRUE(abstained.checked.is_null());
  EXPECT_EQ(abstained.score, 0.25);
  EXPECT_EQ(abstained.nearest, "路由器");
  EXPECT_EQ(abstained.runner_up, "手机");
  EXPECT_EQ(decide(Value{{"f", "N/A"}}, 0.25).checked, "路由器");  // the floor itself passes
  EXPECT_EQ(decide(Value{{"f", "手机"}}, 0.99).decision, Decision::kept);
  EXPECT_EQ(store->searches, 2);

  for (const Value& prediction : {Value::object(), Value{{"f", nullptr}}}) {
    const ScoredCheck scored =
        check_result_scored(prediction, labels, {"f", "t"}, stores, std::nullopt);
    EXPECT_EQ(scored.checked_result.dump(), R"({"f":null,"t":null})");
    for (const FieldCheck& f : scored.fields) {
      EXPECT_EQ(f.decision, Decision::missing);
      EXPECT_FALSE(f.score);
    }
  }
  EXPECT_EQ(store->searches, 2);
}

TEST(CheckResultScored, FaultsAreThoseOfCheckResult) {
  const Value labels = Value{{"f", 7}};
  expect_error<TypeError>([] { check_result_scored(Value(), Value::object(), {}, {}); },
                          "result must be a mapping, not null");
  expect_error<TypeError>(
      [&] {
        check_result_scored(Value{{"f", 1}}, labels, {"f"}, {});
      },
      "labels['f'] must be a list, mapping or text, not integer");
  expect_error<KeyError>(
      [] {
        check_result_scored(Value{{"f", "v"}}, Value::object(), {"f"}, {});
      },
      "DB_MAPS has no store for field 'f'");
  expect_error<IndexError>(
      [] {
        check_result_scored(Value{{"f", "v"}}, Value::object(), {"f"}, {{"f", label_store({})}});
      },
      "the store of field 'f' found no document");
  expect_error<ValueError>(
      [] { check_result_scored(Value::object(), Value::object(), {}, {}, std::nan("")); },
      "min_score must not be NaN");
}

}  // namespace
}  // namespace tavrin::olvane
