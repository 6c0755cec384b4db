#include "tavrin/labeling/stores.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tavrin/brollin.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/vectorstore/embeddings.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::labeling {
namespace {

template <class F>
std::string value_error_of(F&& call) {
  return tavrin::testing::error_message<ValueError>(std::forward<F>(call), "ValueError");
}

class StoreOfLabels : public ::testing::Test {
 protected:
  vectorstore::FAISS store_of(const std::vector<std::string>& texts) {
    std::vector<vectorstore::FAISS::TextEmbedding> pairs;
    for (const std::string& text : texts) pairs.emplace_back(text, model->embed_query(text));
    return vectorstore::FAISS::from_embeddings(std::move(pairs), model,
                                               std::vector<Value>(texts.size(), Value::object()));
  }
  std::string refusal(const std::vector<std::string>& texts, const Value& allowed) {
    return value_error_of([&] {
      require_store_of_labels(store_of(texts), allowed, "category", "s/fields/category");
    });
  }
  std::shared_ptr<vectorstore::Embeddings> model =
      std::make_shared<vectorstore::HashingEmbeddings>();
};

TEST_F(StoreOfLabels, AcceptsTheSameLabelsInAnyOrderAndRepeated) {
  EXPECT_EQ(refusal({"技术故障", "售后服务"}, {"售后服务", "技术故障", "售后服务"}),
            "no ValueError");
}

TEST_F(StoreOfLabels, NamesTheFieldTheFolderAndTheDifference) {
  const std::string prefix =
      "the store of field \"category\" in \"s/fields/category\" does not hold the labels given "
      "for it (";
  const std::string advice = "): rebuild the stores (tavrin build, or brollin::data2faiss)";
  EXPECT_EQ(refusal({"手机", "路由器"}, {"售后服务", "技术故障"}),
            prefix + "missing \"售后服务\", \"技术故障\"; extra \"手机\", \"路由器\"" + advice);
  EXPECT_EQ(refusal({"售后服务"}, {"售后服务", "技术故障"}),
            prefix + "missing \"技术故障\"" + advice);
  EXPECT_EQ(refusal({"售后服务", "退款"}, {"售后服务"}), prefix + "extra \"退款\"" + advice);
  EXPECT_EQ(refusal({}, {"a"}), prefix + "missing \"a\"" + advice);
  EXPECT_EQ(refusal({"a", "b", "c", "d", "e", "c"}, {"x"}),
            prefix + "missing \"x\"; extra \"a\", \"b\", \"c\" and 2 more" + advice);
  EXPECT_EQ(refusal({"a"}, {"a", 3}), "field \"category\" has a label that is not text: \"3\"");
}

TEST_F(StoreOfLabels, BothLayoutsOfAStoresFolderLoad) {
  const tavrin::testing::TempDir dir;
  const Value labels = {{"category", {"售后服务", "技术故障"}}};
  const frame::DataFrame train(
      Value{{"question", {"屏幕碎了", "开不了机"}}, {"category", {"售后服务", "技术故障"}}});
  // As a build writes it, and as data2faiss writes it with a base of the caller's.
  brollin::data2faiss(labels, train, {"question"}, {"category"}, {"category"},
                      train_store_dir(dir / "built").string(),
                      field_stores_dir(dir / "built").string(), model);
  brollin::data2faiss(labels, train, {"question"}, {"category"}, {"category"}, dir / "own-train",
                      dir / "own", model);
  for (const char* folder : {"built", "own"}) {
    const StoreMap stores = load_field_stores(dir / folder, labels, {"category"}, model);
    EXPECT_EQ(stores.at("category")->similarity_search(Value("售后"), 1).at(0).page_content,
              "售后服务");
  }
  EXPECT_NE(load_train_store(dir / "built", model), nullptr);
  EXPECT_EQ(value_error_of([&] { load_train_store(dir / "own", model); }),
            "no training store: \"" + (dir.path() / "own" / "train").string() +
                "\" is not a folder (rebuild the stores (tavrin build, or brollin::data2faiss))");
  EXPECT_EQ(value_error_of([&] { load_field_stores(dir / "built", labels, {"../x"}, model); }),
            "field name \"../x\" cannot name a store folder");
}

}  // namespace
}  // namespace tavrin::labeling
