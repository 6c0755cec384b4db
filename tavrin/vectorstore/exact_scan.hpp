// A faster exact search of a FAISS store, for a caller that searches one store many times (the
// examples of a labelling job): a copy of the store's vectors laid out so that many documents
// are scored at once in vector registers. Each score is the very float sum that FAISS's flat
// index computes (the products added in component order, no fused multiply-add), so the
// neighbours, their order and their scores are those of the store's own search, bit for bit.
//
//   ExactScan scan(store);
//   scan.nearest(store.query_vector(Value("退款")), 4)
//   // -> {{0, 0.97f}, {5, 0.41f}, ...}: positions in store.documents() and similarities, as
//   //    store.similarity_search_with_score(Value("退款"), 4) gives them
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "tavrin/vectorstore/faiss_store.hpp"

namespace tavrin::vectorstore {

class ExactScan {
 public:
  /// A position in the store's documents with its similarity to the query.
  using Hit = std::pair<std::size_t, float>;

  /// Copies the vectors of `store` (as much memory again as its index); the store itself is
  /// not kept, so later changes to it are not seen.
  explicit ExactScan(const FAISS& store);

  /// Up to `topk` documents most similar to `query`, most similar first, ties to the earlier
  /// document: the documents and scores of the store's similarity_search_with_score for the
  /// text whose query_vector `query` is. ValueError when `query` has another dimension than
  /// the store (a store of no documents answers nothing).
  std::vector<Hit> nearest(std::span<const float> query, std::size_t topk) const;

  /// nearest() of each query, in query order, found in one pass over the vectors (each block
  /// of them is read from memory once for all the queries, which makes a batch several times
  /// cheaper per query than one query at a time).
  std::vector<std::vector<Hit>> nearest_each(const std::vector<std::vector<float>>& queries,
                                             std::size_t topk) const;

  std::size_t size() const noexcept { return size_; }

 private:
  std::size_t size_ = 0;
  std::size_t dimension_ = 0;
  // Blocks of kBlock documents; in a block, component d of its document j sits at
  // d * kBlock + j. The last block is padded with zero vectors.
  std::vector<float> blocks_;
};

}  // namespace tavrin::vectorstore
