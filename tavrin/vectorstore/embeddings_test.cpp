#include "tavrin/vectorstore/embeddings.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <cmath>
#include <numeric>
#include <thread>

#include "tavrin/core/errors.hpp"

namespace tavrin::vectorstore {
namespace {

using ::testing::FloatNear;
using ::testing::Pointwise;

std::vector<float> unit(std::vector<float> counts) {
  const double norm =
      std::sqrt(std::inner_product(counts.begin(), counts.end(), counts.begin(), 0.0));
  for (float& x : counts) x = static_cast<float>(x / norm);
  return counts;
}

// Signed n-gram counts for dim 8, from an independent Python implementation.
TEST(HashingEmbeddings, MatchesReferenceCounts) {
  struct Case {
    std::string text;
    std::vector<float> counts;
  };
  const std::vector<Case> cases = {
      {"a", {-1, 0, 1, 0, -1, 0, 0, 1}},
      {"Refund", {-1, -2, 0, 1, 0, 0, 2, -1}},
      {"售后服务", {1, -1, -1, 0, -1, 0, -3, 0}},
      {"\xff"
       "A",
       {1, -1, 2, 1, 0, -1, 0, 1}},
  };
  HashingEmbeddings model(8);
  for (const Case& c : cases) {
    EXPECT_THAT(model.embed_query(c.text), Pointwise(FloatNear(1e-6f), unit(c.counts))) << c.text;
  }
}

TEST(HashingEmbeddings, FoldsAsciiCaseAndReplacesEachInvalidByte) {
  HashingEmbeddings model(64);
  EXPECT_EQ(model.embed_query("REFUND"), model.embed_query("refund"));
  EXPECT_EQ(model.embed_query("\xff"), model.embed_query("\xEF\xBF\xBD"));
  EXPECT_EQ(model.embed_query("\xE5\x94"), model.embed_query("\xEF\xBF\xBD\xEF\xBF\xBD"));
  // An overlong form and an encoded surrogate are invalid byte by byte, too.
  EXPECT_EQ(model.embed_query("\xC0\xAF"), model.embed_query("\xEF\xBF\xBD\xEF\xBF\xBD"));
  EXPECT_EQ(model.embed_query("\xED\xA0\x80"),
            model.embed_query("\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"));
  EXPECT_NE(model.embed_query("É"), model.embed_query("é"));  // only ASCII folds
}

TEST(HashingEmbeddings, DocumentsMatchQueriesInOrderAndHaveUnitLength) {
  HashingEmbeddings model;
  const std::vector<std::string> texts = {"", "售后服务", "退款", "x"};
  const auto vectors = model.embed_documents(texts);
  ASSERT_EQ(vectors.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(vectors[i], model.embed_query(texts[i]));
    ASSERT_EQ(vectors[i].size(), 256u);
    const double norm =
        std::inner_product(vectors[i].begin(), vectors[i].end(), vectors[i].begin(), 0.0);
    EXPECT_NEAR(norm, 1.0, 1e-5) << texts[i];
  }
  EXPECT_TRUE(model.embed_documents({}).empty());
}

TEST(HashingEmbeddings, ZeroDimensionIsRejected) {
  try {
    HashingEmbeddings model(0);
    FAIL() << "no exception";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "HashingEmbeddings dim must be at least 1, not 0");
  }
}

class SilentModel : public Embeddings {
 public:
  std::vector<std::vector<float>> embed_documents(const std::vector<std::string>&) override {
    return {};
  }
};

TEST(Embeddings, IdentityNamesTheSettingsThatChangeTheVectors) {
  EXPECT_EQ(HashingEmbeddings(256).identity(), "hashing-fnv1a/256");
  EXPECT_EQ(HashingEmbeddings(8).identity(), "hashing-fnv1a/8");
  EXPECT_EQ(SilentModel().identity(), "");  // a model that says nothing is unknown
}

TEST(Embeddings, DefaultQueryNeedsAVector) {
  SilentModel model;
  try {
    model.embed_query("x");
    FAIL() << "no exception";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "embed_documents answered no vector for the query");
  }
}

// HashingEmbeddings that says it blocks, and notes the thread of each call.
class BlockingModel : public HashingEmbeddings {
 public:
  bool blocking() const override { return true; }
  std::vector<float> embed_query(const std::string& text) override {
    threads.push_back(std::this_thread::get_id());
    if (text == "bad") throw ValueError("no vector for \"bad\"");
    return HashingEmbeddings::embed_query(text);
  }
  std::vector<std::thread::id> threads;
};

TEST(Embeddings, TheAwaitedQueriesOfABlockingModelRunOffTheCallersThread) {
  BlockingModel blocking;
  HashingEmbeddings local;
  boost::asio::io_context io;
  std::vector<std::vector<float>> off_thread, inline_vectors;
  boost::asio::co_spawn(io, blocking.async_embed_queries({"退款", "refund"}),
                        [&](std::exception_ptr e, std::vector<std::vector<float>> vectors) {
                          ASSERT_FALSE(e);
                          off_thread = std::move(vectors);
                          EXPECT_EQ(io.get_executor().running_in_this_thread(), true);
                        });
  boost::asio::co_spawn(io, local.async_embed_queries({"退款"}),
                        [&](std::exception_ptr e, std::vector<std::vector<float>> vectors) {
                          ASSERT_FALSE(e);
                          inline_vectors = std::move(vectors);
                        });
  std::string error;
  boost::asio::co_spawn(io, blocking.async_embed_queries({"bad"}),
                        [&](std::exception_ptr e, const std::vector<std::vector<float>>&) {
                          try {
                            std::rethrow_exception(e);
                          } catch (const ValueError& failure) {
                            error = failure.what();
                          }
                        });
  io.run();
  EXPECT_EQ(error, "no vector for \"bad\"");
  ASSERT_EQ(off_thread.size(), 2u);
  EXPECT_EQ(off_thread[0], local.embed_query("退款"));
  EXPECT_EQ(off_thread[1], local.embed_query("refund"));
  EXPECT_EQ(inline_vectors, std::vector<std::vector<float>>{local.embed_query("退款")});
  ASSERT_EQ(blocking.threads.size(), 3u);
  EXPECT_NE(blocking.threads[0], std::this_thread::get_id());
}

}  // namespace
}  // namespace tavrin::vectorstore
