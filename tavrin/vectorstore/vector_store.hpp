// The interface that every vector store offers to the modules, so that another backend can
// take FAISS's place without touching them.
//
//   std::shared_ptr<const VectorStore> store = ...;
//   store->similarity_search(Value("售后-服务"), 1)[0].page_content   // -> "售后服务"
//   const auto [document, score] = store->similarity_search_with_score(Value("售后"), 1)[0];
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "tavrin/core/value.hpp"
#include "tavrin/vectorstore/document.hpp"

namespace tavrin::vectorstore {

/// A document with its similarity to the query (for the cosine strategy, in -1 .. 1). It reads
/// as the (document, score) tuple it is in Python, `auto [document, score] = hits[0];`, and
/// converts to and from std::pair<Document, float>, which it was before.
struct ScoredDocument {
  Document document;
  float score = 0;

  ScoredDocument() = default;
  ScoredDocument(Document document, float score) : document(std::move(document)), score(score) {}
  // Implicit, as the pair it replaces: code that builds or keeps pairs goes on compiling.
  ScoredDocument(std::pair<Document, float> pair)  // NOLINT(google-explicit-constructor)
      : document(std::move(pair.first)), score(pair.second) {}
  operator std::pair<Document, float>() const& {  // NOLINT(google-explicit-constructor)
    return {document, score};
  }
  operator std::pair<Document, float>() && {  // NOLINT(google-explicit-constructor)
    return {std::move(document), score};
  }

  friend bool operator==(const ScoredDocument&, const ScoredDocument&) = default;
};

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
