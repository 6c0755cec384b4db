// The query vectors of one labelling run, awaited instead of blocking: texts that many
// records ask for within a short window go to their model in one call of async_embed_queries,
// and a text that the same model is embedding, or embedded in this run and was to be kept, is
// not sent again. A local model (one that does not say it blocks) is simply asked at once.
//
//   QueryEmbedder embedder(executor);
//   auto vectors = co_await embedder.embed(model, {"退款了吗", "售后-服务"}, true);
//   vectors.size()          // -> 2, as model->embed_query gives them
//   embedder.requests()     // -> 1, with the texts other callers asked for meanwhile
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "tavrin/vectorstore/embeddings.hpp"

namespace tavrin::labeling {

/// An embedding model failed for the texts of a call: the message names its endpoint (or,
/// for a local model, its identity) and then the model's own error.
class EmbeddingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct QueryEmbedderSettings {
  /// A call is sent as soon as this many texts wait for one model.
  std::size_t batch = 64;
  /// Else it is sent this long after its first text came.
  std::chrono::milliseconds window{2};
  /// The vectors kept for reuse, in floats over all models (16 MiB); when they would be more,
  /// the kept ones are dropped and keeping starts again.
  std::size_t cached_floats = std::size_t{4} << 20;
};

/// Gathers and caches query vectors on one executor, which must not run two handlers at once
/// (as the labelling job's). A model is told apart from another by its identity, or, when its
/// identity is empty, by the object. Calls in flight hold what they use, so the embedder may
/// be destroyed before they end.
class QueryEmbedder {
 public:
  explicit QueryEmbedder(boost::asio::any_io_executor executor,
                         QueryEmbedderSettings settings = {});
  ~QueryEmbedder();
  QueryEmbedder(const QueryEmbedder&) = delete;
  QueryEmbedder& operator=(const QueryEmbedder&) = delete;

  /// What `model` gives for each of `texts` as a query (async_embed_queries), in text order.
  /// `keep`: the vectors are kept for later calls (texts that come again, such as predicted
  /// values; not a record's own text). A model that does not say it blocks is asked at once,
  /// and its errors come as it throws them. For one that blocks, EmbeddingError when the call
  /// that carried a text failed, or answered another number of vectors than it was sent
  /// texts; cancelling the awaiting coroutine ends the wait (with operation_aborted), not the
  /// call that others may share.
  boost::asio::awaitable<std::vector<std::vector<float>>> embed(
      std::shared_ptr<vectorstore::Embeddings> model, std::vector<std::string> texts, bool keep);

  /// Calls of async_embed_queries made for the models that block, and the texts they carried.
  std::size_t requests() const noexcept;
  std::size_t texts_sent() const noexcept;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tavrin::labeling
