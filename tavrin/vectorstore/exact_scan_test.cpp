#include "tavrin/vectorstore/exact_scan.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <string>

#include "tavrin/core/errors.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::vectorstore {
namespace {

// A vector drawn from the text: "fine/..." texts get uniform components, "coarse/..." texts
// components of -1, 0 or 1, so that many documents tie exactly with each other.
class RandomModel : public Embeddings {
 public:
  explicit RandomModel(std::size_t dim) : dim_(dim) {}

  std::vector<std::vector<float>> embed_documents(const std::vector<std::string>& texts) override {
    std::vector<std::vector<float>> out;
    for (const std::string& text : texts) {
      std::mt19937 random(static_cast<std::uint32_t>(std::hash<std::string>()(text)));
      std::vector<float> v(dim_);
      if (text.starts_with("coarse/")) {
        std::uniform_int_distribution<int> pick(-1, 1);
        for (float& x : v) x = static_cast<float>(pick(random));
      } else {
        std::uniform_real_distribution<float> pick(-1, 1);
        for (float& x : v) x = pick(random);
      }
      out.push_back(std::move(v));
    }
    return out;
  }

 private:
  std::size_t dim_;
};

FAISS random_store(std::size_t documents, std::size_t dim, const std::string& kind) {
  auto model = std::make_shared<RandomModel>(dim);
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < documents; ++i) texts.push_back(kind + std::to_string(i));
  // Copies of earlier documents: ties that only the position can break.
  for (std::size_t i = 0; i < documents / 10; ++i) texts.push_back(kind + std::to_string(i * 7));
  const auto vectors = model->embed_documents(texts);
  std::vector<FAISS::TextEmbedding> pairs;
  for (std::size_t i = 0; i < texts.size(); ++i) pairs.emplace_back(texts[i], vectors[i]);
  return FAISS::from_embeddings(std::move(pairs), model,
                                std::vector<Value>(texts.size(), Value::object()));
}

// The store's own search and the scan agree on every query: the same documents in the same
// order, the same scores bit for bit.
void expect_same_as_store(const FAISS& store, const std::string& kind, std::size_t topk) {
  const ExactScan scan(store);
  std::vector<std::vector<float>> queries;
  for (int query = 0; query < 40; ++query) {
    queries.push_back(store.query_vector(Value(kind + "query" + std::to_string(query))));
  }
  const auto batch = scan.nearest_each(queries, topk);
  ASSERT_EQ(batch.size(), queries.size());
  for (int query = 0; query < 40; ++query) {
    const Value text(kind + "query" + std::to_string(query));
    const auto expected = store.similarity_search_with_score(text, topk);
    const auto hits = scan.nearest(store.query_vector(text), topk);
    EXPECT_EQ(batch[query], hits) << text;
    ASSERT_EQ(hits.size(), expected.size()) << text;
    for (std::size_t i = 0; i < hits.size(); ++i) {
      EXPECT_EQ(store.documents()[hits[i].first], expected[i].document) << text << " hit " << i;
      EXPECT_EQ(std::bit_cast<std::uint32_t>(hits[i].second),
                std::bit_cast<std::uint32_t>(expected[i].score))
          << text << " hit " << i << ": " << hits[i].second << " vs " << expected[i].score;
    }
  }
}

TEST(ExactScan, GivesTheStoresNeighboursAndScoresBitForBit) {
  // Sizes around the block of 64 documents, dimensions odd and even.
  for (const auto& [documents, dim] : std::vector<std::pair<std::size_t, std::size_t>>{
           {1, 3}, {63, 8}, {64, 37}, {65, 256}, {1000, 256}}) {
    SCOPED_TRACE(std::to_string(documents) + " documents of dimension " + std::to_string(dim));
    for (const std::string kind : {"fine/", "coarse/"}) {
      const FAISS store = random_store(documents, dim, kind);
      for (std::size_t topk : {1, 4, 12, 5000}) expect_same_as_store(store, kind, topk);
    }
  }
}

TEST(ExactScan, RefusesAQueryOfAnotherDimension) {
  const FAISS store = random_store(10, 8, "fine/");
  const ExactScan scan(store);
  EXPECT_TRUE(scan.nearest(store.query_vector(Value("fine/x")), 0).empty());
  tavrin::testing::expect_error<ValueError>([&] { scan.nearest(std::vector<float>(7, 0.5F), 1); },
                                            "the query vector has dimension 7, the store 8");
  tavrin::testing::expect_error<ValueError>(
      [&] {
        scan.nearest_each({std::vector<float>(8, 0.5F), std::vector<float>(9, 0.5F)}, 1);
      },
      "the query vector has dimension 9, the store 8");
  EXPECT_TRUE(scan.nearest_each({}, 3).empty());
  const ExactScan empty(
      FAISS::from_embeddings({}, std::make_shared<RandomModel>(8), std::vector<Value>()));
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_TRUE(empty.nearest(std::vector<float>(8, 0.5F), 3).empty());
}

}  // namespace
}  // namespace tavrin::vectorstore
