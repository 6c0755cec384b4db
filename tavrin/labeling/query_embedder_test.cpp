#include "tavrin/labeling/query_embedder.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include "tavrin/core/errors.hpp"

namespace tavrin::labeling {
namespace {

namespace asio = boost::asio;

// HashingEmbeddings that counts its calls, and refuses the text "refused".
class CountingModel : public vectorstore::HashingEmbeddings {
 public:
  bool blocking() const override { return true; }

  asio::awaitable<std::vector<std::vector<float>>> async_embed_queries(
      std::vector<std::string> texts) override {
    ++calls;
    for (const std::string& text : texts) ++texts_seen[text];
    if (texts_seen.count("refused") != 0 && std::count(texts.begin(), texts.end(), "refused")) {
      throw ValueError("no vector for this one");
    }
    co_return embed_documents(texts);
  }

  std::size_t calls = 0;
  std::map<std::string, std::size_t> texts_seen;
};

// Runs `ask(embedder)` as many coroutines at once, each with its own texts; the vectors (or
// the error) each got.
struct Asked {
  std::vector<std::vector<std::vector<float>>> vectors;
  std::vector<std::string> errors;
};

Asked ask_together(QueryEmbedder& embedder, asio::io_context& io,
                   const std::shared_ptr<vectorstore::Embeddings>& model,
                   const std::vector<std::vector<std::string>>& texts) {
  Asked asked;
  asked.vectors.resize(texts.size());
  asked.errors.resize(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    asio::co_spawn(io, embedder.embed(model, texts[i], true),
                   [&asked, i](std::exception_ptr e, std::vector<std::vector<float>> vectors) {
                     asked.vectors[i] = std::move(vectors);
                     try {
                       if (e) std::rethrow_exception(e);
                     } catch (const EmbeddingError& error) {
                       asked.errors[i] = error.what();
                     }
                   });
  }
  io.restart();
  io.run();
  return asked;
}

TEST(QueryEmbedder, TextsAskedTogetherGoInOneCallAndEachTextOnce) {
  asio::io_context io;
  QueryEmbedder embedder(io.get_executor());
  const auto model = std::make_shared<CountingModel>();
  std::vector<std::vector<std::string>> texts;
  for (int i = 0; i < 20; ++i) texts.push_back({"退款", "text " + std::to_string(i)});
  const Asked first = ask_together(embedder, io, model, texts);
  EXPECT_EQ(model->calls, 1u);
  EXPECT_EQ(model->texts_seen["退款"], 1u);
  EXPECT_EQ(embedder.texts_sent(), 21u);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(first.vectors[i].size(), 2u);
    EXPECT_EQ(first.vectors[i][0], model->embed_query("退款"));
    EXPECT_EQ(first.vectors[i][1], model->embed_query(texts[i][1]));
  }
  // Asked again later: from the cache, no call.
  const Asked again = ask_together(embedder, io, model, {{"text 3", "退款"}});
  EXPECT_EQ(model->calls, 1u);
  EXPECT_EQ(again.vectors[0][0], first.vectors[3][1]);

  // More than a batch is sent at once, without waiting for the window.
  QueryEmbedder small(io.get_executor(), {.batch = 4, .window = std::chrono::milliseconds(50)});
  ask_together(small, io, model, {{"a", "b"}, {"c", "d"}});
  EXPECT_EQ(small.requests(), 1u);
}

TEST(QueryEmbedder, AFailedCallFailsEachWaiterWithTheModelNamedAndIsNotKept) {
  asio::io_context io;
  QueryEmbedder embedder(io.get_executor());
  const auto model = std::make_shared<CountingModel>();
  const Asked asked = ask_together(embedder, io, model, {{"refused"}, {"fine"}});
  const std::string error = "embedding model hashing-fnv1a/256: no vector for this one";
  EXPECT_EQ(asked.errors[0], error);
  EXPECT_EQ(asked.errors[1], error);  // it shared the call
  // Nothing of a failed call is kept: asked again, the texts are sent again.
  const Asked again = ask_together(embedder, io, model, {{"fine"}});
  EXPECT_EQ(again.errors[0], "");
  EXPECT_EQ(model->texts_seen["fine"], 2u);

  // A cache too small for two vectors keeps at most one.
  QueryEmbedder tiny(io.get_executor(), {.cached_floats = 300});
  ask_together(tiny, io, model, {{"x", "y"}});
  ask_together(tiny, io, model, {{"x"}, {"y"}});
  EXPECT_EQ(model->texts_seen["x"] + model->texts_seen["y"], 3u);
}

}  // namespace
}  // namespace tavrin::labeling
