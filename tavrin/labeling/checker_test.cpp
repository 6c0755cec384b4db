#include "tavrin/labeling/checker.hpp"

#include <gtest/gtest.h>

#include <boost/asio/awaitable.hpp>

#include "tavrin/core/errors.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"

namespace tavrin::labeling {
namespace {

// HashingEmbeddings that counts the calls of its awaitable road and the texts they carry.
class CountingEmbeddings : public vectorstore::HashingEmbeddings {
 public:
  boost::asio::awaitable<std::vector<std::vector<float>>> async_embed_queries(
      std::vector<std::string> texts) override {
    ++calls;
    texts_seen += texts.size();
    co_return embed_documents(texts);
  }
  int calls = 0;
  std::size_t texts_seen = 0;
};

std::shared_ptr<const vectorstore::VectorStore> label_store(
    const std::vector<std::string>& labels, const std::shared_ptr<vectorstore::Embeddings>& model) {
  std::vector<vectorstore::FAISS::TextEmbedding> pairs;
  const auto vectors = vectorstore::HashingEmbeddings().embed_documents(labels);
  for (std::size_t i = 0; i < labels.size(); ++i) pairs.emplace_back(labels[i], vectors[i]);
  return std::make_shared<vectorstore::FAISS>(vectorstore::FAISS::from_embeddings(
      pairs, model, std::vector<Value>(labels.size(), Value::object())));
}

TEST(CheckBatch, EmbedsTheValuesOfEveryPredictionInOneCallWithTheSameDecisionsAndScores) {
  const auto model = std::make_shared<CountingEmbeddings>();
  const Value labels = {{"类别", {"退款", "售后服务", "物流配送"}}, {"优先级", {"高", "低"}}};
  const std::vector<std::string> fields = {"类别", "优先级"};
  const StoreMap stores = {{"类别", label_store({"退款", "售后服务", "物流配送"}, model)},
                           {"优先级", label_store({"高", "低"}, model)}};
  const std::vector<Value> predictions = {{{"类别", "售后-服务"}, {"优先级", "高"}},
                                          {{"类别", "退款"}},
                                          {{"类别", "物流 配送"}, {"优先级", "很高"}},
                                          {{"id", 4}}};
  const Checker checker(labels, fields, {.min_score = 0.2});
  const auto checks = check_batch(predictions, checker, stores);
  EXPECT_EQ(model->calls, 1);
  EXPECT_EQ(model->texts_seen, 3u);
  ASSERT_EQ(checks.size(), predictions.size());
  for (std::size_t i = 0; i < predictions.size(); ++i) {
    const olvane::ScoredCheck alone =
        olvane::check_result_scored(predictions[i], labels, fields, stores, 0.2);
    EXPECT_EQ(checks[i].checked_result, alone.checked_result) << i;
    EXPECT_EQ(checks[i].decisions(), alone.decisions()) << i;
  }
  EXPECT_EQ(checks[2].checked_result["类别"], "物流配送");
  EXPECT_TRUE(check_batch({}, checker, stores).empty());
}

TEST(Checker, ThePlainRulesSettleWhatNoVectorIsNeededForAndTheRestIsSearched) {
  const auto model = std::make_shared<CountingEmbeddings>();
  const std::vector<std::string> names = {"animal", "plant", "feeling", "phenomenon"};
  const Value labels = {{"category", names}};
  const StoreMap stores = {{"category", label_store(names, model)}};
  const Checker checker(labels, {"category"}, {.min_score = 0.1, .no_answer_words = {"dunno"}});
  const struct {
    Value value;
    const char* decision;
    Value checked;
  } cases[] = {
      {"animal", "kept", "animal"},
      {"Animals", "normalized", "animal"},
      {"noun.plant", "normalized", "plant"},
      {"N/A", "no_answer", Value()},
      {"none", "no_answer", Value()},
      {"", "no_answer", Value()},
      {"Dunno", "no_answer", Value()},
      {Value(), "no_answer", Value()},
      {true, "invalid", Value()},
      {42, "invalid", Value()},
      {Value::array({"animal"}), "invalid", Value()},
  };
  for (const auto& c : cases) {
    const olvane::ScoredCheck scored = checker.check({{"category", c.value}}, stores);
    EXPECT_EQ(olvane::decision_name(scored.fields.at(0).decision), c.decision) << c.value.dump();
    EXPECT_EQ(scored.checked_result["category"], c.checked) << c.value.dump();
    EXPECT_EQ(scored.fields.at(0).predicted, c.value);
  }
  EXPECT_EQ(model->calls, 0);  // none of them needed a vector
  // A value the rules leave goes to the vectors, with check_result_scored's decision and scores.
  const Value other = {{"category", "phenomena"}, {"id", 1}};
  const auto batch = check_batch({other, {{"category", "unknown"}}}, checker, stores);
  const auto alone = olvane::check_result_scored(other, labels, {"category"}, stores, 0.1);
  EXPECT_EQ(batch[0].decisions(), alone.decisions());
  EXPECT_EQ(batch[1].decisions()["category"]["decision"], "no_answer");
  EXPECT_EQ(model->calls, 1);
  EXPECT_EQ(model->texts_seen, 1u);  // only "phenomena"
  // Absent stays missing, and a prediction that is no object is refused as the check refuses it.
  EXPECT_EQ(checker.check({{"id", 1}}, stores).decisions()["category"]["decision"], "missing");
  EXPECT_THROW(checker.check(Value::array(), stores), TypeError);
}

TEST(Checker, EachElementOfAMultiLabelListIsCheckedAndTheLabelsKeptOnce) {
  const auto model = std::make_shared<CountingEmbeddings>();
  const std::vector<std::string> names = {"bug", "ui", "billing"};
  const StoreMap stores = {{"tags", label_store(names, model)}};
  const Checker checker({{"tags", names}}, {"tags"}, {.multi_label = {"tags"}});
  const auto decided = [&](const Value& value) {
    const olvane::ScoredCheck scored = checker.check({{"tags", value}}, stores);
    const olvane::FieldCheck& field = scored.fields.at(0);
    std::string elements;
    for (const olvane::FieldCheck& e : field.elements) {
      elements += std::string(olvane::decision_name(e.decision)) + " ";
    }
    return std::string(olvane::decision_name(field.decision)) + " " +
           scored.checked_result["tags"].dump() + " [" + elements + "]";
  };
  EXPECT_EQ(decided(Value::array({"bug", "ui"})), R"(kept ["bug","ui"] [kept kept ])");
  EXPECT_EQ(decided(Value::array({"bug", "Bugs", "n/a", 7})),
            R"(normalized ["bug"] [kept normalized no_answer invalid ])");
  EXPECT_EQ(decided("UI"), R"(normalized ["ui"] [normalized ])");  // a text is a list of one
  EXPECT_EQ(decided(Value::array()), "no_answer [] []");
  EXPECT_EQ(decided(Value()), "no_answer [] [no_answer ]");
  EXPECT_EQ(model->calls, 0);
  // An element no rule settles goes to the field's store, as a single value would.
  const olvane::ScoredCheck searched = checker.check({{"tags", {"billing", "bilings"}}}, stores);
  const auto& elements = searched.fields.at(0).elements;
  ASSERT_EQ(elements.size(), 2u);
  EXPECT_EQ(olvane::decision_name(elements[1].decision), "replaced");
  EXPECT_EQ(elements[1].checked, "billing");
  EXPECT_EQ(searched.checked_result["tags"].dump(), R"(["billing"])");
  EXPECT_EQ(searched.decisions()["tags"]["elements"].size(), 2u);
  // Checked in a batch, such elements are embedded with the other look-ups, in one call, with
  // the same decisions and scores.
  const std::vector<Value> predictions = {{{"tags", {"bilings", "uis", "bugz"}}},
                                          {{"tags", "bilings"}}};
  const auto batch = check_batch(predictions, checker, stores);
  EXPECT_EQ(model->calls, 1);
  EXPECT_EQ(model->texts_seen, 3u);  // "uis" is settled by the rules
  for (std::size_t i = 0; i < predictions.size(); ++i) {
    EXPECT_EQ(batch[i].decisions(), checker.check(predictions[i], stores).decisions()) << i;
  }
  EXPECT_EQ(batch[0].checked_result["tags"].dump(), R"(["billing","ui","bug"])");
}

TEST(PredictionChecker, HandsBackEachRecordCheckedInOrderAndCountsTheDecisions) {
  const auto model = std::make_shared<CountingEmbeddings>();
  const Value labels = {{"类别", {"退款", "售后服务"}}};
  PredictionChecker checker({labels, {"类别"}, {}},
                            {{"类别", label_store({"退款", "售后服务"}, model)}},
                            {.scores = true, .batch = 2});
  checker.add({{"id", 1}, {"类别", "退 款"}});
  checker.add({{"id", 2}, {"类别", "售后服务"}, {"note", "kept as it is"}});
  checker.add({{"id", 3}});
  EXPECT_EQ(model->calls, 1);  // the first batch of two
  const std::vector<Value> checked = checker.flush();
  ASSERT_EQ(checked.size(), 3u);
  EXPECT_EQ(checked[0]["类别"], "退款");
  EXPECT_EQ(checked[0]["decisions"]["类别"]["decision"], "replaced");
  EXPECT_EQ(checked[1]["note"], "kept as it is");
  EXPECT_FALSE(checked[2].contains("类别"));  // nothing to search with: left as it was
  EXPECT_TRUE(checker.flush().empty());
  EXPECT_EQ(checker.tally().done, 3u);
  const FieldTally& t = checker.tally().fields.at("类别");
  EXPECT_EQ(t.replaced + t.kept + t.missing, 3u);
  EXPECT_EQ(t.missing, 1u);
}

}  // namespace
}  // namespace tavrin::labeling
