#include "tavrin/vectorstore/vector_store.hpp"

namespace tavrin::vectorstore {

std::vector<Document> VectorStore::similarity_search(const Value& query, std::size_t topk) const {
  std::vector<ScoredDocument> scored = similarity_search_with_score(query, topk);
  std::vector<Document> documents;
  documents.reserve(scored.size());
  for (ScoredDocument& entry : scored) documents.push_back(std::move(entry.document));
  return documents;
}

}  // namespace tavrin::vectorstore
