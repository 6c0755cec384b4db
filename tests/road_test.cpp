// The retrieval road end to end: a labelled CSV is split, its training part becomes stores,
// the stores are loaded back, and predictions are checked against them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tavrin/brollin.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/olvane.hpp"
#include "tavrin/tessick.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin {
namespace {

using vectorstore::FAISS;

constexpr const char* kCategories[] = {"售后服务", "退款", "物流配送", "产品咨询"};
constexpr const char* kPriorities[] = {"P1", "P2", "P3"};

class Road : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream csv(dir_ / "tickets.csv", std::ios::binary);
    csv << "id,question,category,priority\n";
    for (int i = 0; i < 20; ++i) {
      csv << i << ",\"工单 " << i << "，问题, 编号" << i * 7 << "\"," << kCategories[i % 4] << ","
          << kPriorities[i % 3] << "\n";
    }
  }
  std::string path(const std::string& name) const { return dir_ / name; }

  testing::TempDir dir_;
  std::shared_ptr<vectorstore::HashingEmbeddings> model_ =
      std::make_shared<vectorstore::HashingEmbeddings>();
};

TEST_F(Road, FromLabelledCsvToCheckedPredictions) {
  const frame::DataFrame tickets = frame::read_csv(path("tickets.csv"));
  EXPECT_EQ(testing::captured_stdout(
                [&] { tessick::split_data(tickets, path("train.csv"), path("test.csv"), 0.2); }),
            "训练集数据量:16，保存到: " + path("train.csv") +
                ", 测试集数据量:4，保存到: " + path("test.csv") + "\n");
  const frame::DataFrame train = frame::read_csv(path("train.csv"));
  ASSERT_EQ(train.size(), 16u);

  const Value labels = {{"category", {"售后服务", "退款", "物流配送", "产品咨询"}},
                        {"priority", {"P1", "P2", "P3"}}};
  const std::vector<std::string> fields = {"category", "priority"};
  EXPECT_EQ(testing::captured_stdout([&] {
              olvane::data2faiss(labels, train, {"question"}, fields, fields, path("train_store"),
                                 path("stores"), model_);
            }),
            "FAISS 已保存至：" + path("train_store") + "\n" + "FAISS 已保存至：" +
                path("stores/category") + "\n" + "FAISS 已保存至：" + path("stores/priority") +
                "\n");

  // The training store holds the training rows, in order, with their labels as metadata.
  const FAISS train_store = FAISS::load_local(path("train_store"), model_);
  ASSERT_EQ(train_store.size(), train.size());
  for (std::size_t i = 0; i < train.size(); ++i) {
    const auto row = train.iloc(i);
    EXPECT_EQ(train_store.documents()[i].page_content, row["question"].get<std::string>());
    EXPECT_EQ(train_store.documents()[i].metadata,
              (Value{{"category", row["category"]}, {"priority", row["priority"]}}));
  }

  // Each field store holds that field's labels, with the model's own vectors.
  std::map<std::string, std::shared_ptr<const vectorstore::VectorStore>> DB_MAPS;
  for (const std::string& field : fields) {
    auto store = std::make_shared<FAISS>(FAISS::load_local(path("stores/" + field), model_));
    ASSERT_EQ(store->size(), labels[field].size()) << field;
    for (std::size_t i = 0; i < store->size(); ++i) {
      const std::string label = labels[field][i].get<std::string>();
      EXPECT_EQ(store->documents()[i].page_content, label);
      const std::vector<float> expected = model_->embed_query(label);
      const std::vector<float> stored = store->vector(i);
      for (std::size_t j = 0; j < expected.size(); ++j) ASSERT_NEAR(stored[j], expected[j], 1e-6);
    }
    DB_MAPS[field] = std::move(store);
  }

  struct Case {
    Value prediction;
    Value checked;
  };
  const std::vector<Case> cases = {
      {{{"category", "售后服务"}, {"priority", "P2"}},
       {{"category", "售后服务"}, {"priority", "P2"}}},
      {{{"priority", "p3 "}, {"category", "售后-服务"}, {"id", 9}},
       {{"category", "售后服务"}, {"priority", "P3"}}},
      {{{"category", "物流"}, {"priority", "优先级P1"}},
       {{"category", "物流配送"}, {"priority", "P1"}}},
      {{{"category", "Refund 退款"}, {"priority", "P1"}},
       {{"category", "退款"}, {"priority", "P1"}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(olvane::check_result(c.prediction, labels, fields, DB_MAPS).dump(), c.checked.dump())
        << c.prediction.dump();
  }
  try {
    olvane::check_result(Value{{"category", "退款"}}, labels, fields, DB_MAPS);
    ADD_FAILURE() << "a missing prediction was searched without complaint";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "similarity_search query must not be null");
  }
}

}  // namespace
}  // namespace tavrin
