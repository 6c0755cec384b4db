#include "tavrin/labeling/checker.hpp"

#include <gtest/gtest.h>

#include <boost/asio/awaitable.hpp>

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
  const auto checks = check_batch(predictions, labels, fields, stores, 0.2);
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
  EXPECT_TRUE(check_batch({}, labels, fields, stores).empty());
}

TEST(PredictionChecker, HandsBackEachRecordCheckedInOrderAndCountsTheDecisions) {
  const auto model = std::make_shared<CountingEmbeddings>();
  const Value labels = {{"类别", {"退款", "售后服务"}}};
  PredictionChecker checker(labels, {"类别"}, {{"类别", label_store({"退款", "售后服务"}, model)}},
                            {.min_score = std::nullopt, .scores = true, .batch = 2});
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
