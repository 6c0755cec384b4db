// The interface that every vector store offers to the modules, so that another backend can
// take FAISS's place without touching them.
//
//   std::shared_ptr<const VectorStore> store = ...;
//   store->similarity_search(Value("售后-服务"), 1)[0].page_content   // -> "售后服务"
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "tavrin/core/value.hpp"
#include "tavrin/vectorstore/document.hpp"

namespace tavrin::vectorstore {

/// A document with its similarity to the query (for the cosine strategy, in -1 .. 1).
using ScoredDocument = std::pair<Document, float>;

class VectorStore {
 public:
  virtual ~VectorStore() = default;

  /// Up to `topk` documents, most similar to `query` first; ties go to the earlier-added
  /// document. By default the documents of similarity_search_with_score.
  virtual std::vector<Document> similarity_search(const Value& query, std::size_t topk = 4) const;

  /// As similarity_search, each document with its similarity to `query`.
  virtual std::vector<ScoredDocument> similarity_search_with_score(const Value& query,
                                                                   std::size_t topk = 4) const = 0;
};

}  // namespace tavrin::vectorstore
