// FAISS: a vector store over an exact inner-product FAISS index, saved as a folder that
// holds index.faiss (a FAISS index file) and index.json (the documents, as plain data).
//
//   auto model = std::make_shared<HashingEmbeddings>();
//   auto db = FAISS::from_embeddings({{"退款", model->embed_query("退款")}}, model,
//                                    {Value::object()}, DistanceStrategy::COSINE);
//   db.save_local("stores/x");
//   FAISS::load_local("stores/x", model).similarity_search(Value("退款 "), 1)[0].page_content
//   // -> "退款"
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tavrin/core/value.hpp"
#include "tavrin/vectorstore/document.hpp"
#include "tavrin/vectorstore/embeddings.hpp"
#include "tavrin/vectorstore/vector_store.hpp"

namespace tavrin::vectorstore {

/// Movable, not copyable; a moved-from store may only be assigned to or destroyed.
class FAISS : public VectorStore {
 public:
  /// A text with its vector.
  using TextEmbedding = std::pair<std::string, std::vector<float>>;

  /// A store of one document per pair: `page_content` the text, `metadata` the entry of
  /// `metadatas` at the same position. Vectors are scaled to unit length (cosine). Takes the
  /// pairs and metadatas by value and releases each vector once it is indexed.
  /// ValueError when `metadatas` has not one entry per pair, when vectors differ in dimension
  /// or have none, when a vector holds a non-finite number, or when `embedding` is null;
  /// TypeError when a metadata entry is not a mapping. No pairs make an empty store.
  static FAISS from_embeddings(std::vector<TextEmbedding> text_embeddings,
                               std::shared_ptr<Embeddings> embedding, std::vector<Value> metadatas,
                               DistanceStrategy distance_strategy = DistanceStrategy::COSINE);

  /// Writes the store into `folder` (created with its parents): index.faiss and index.json,
  /// each first under a temporary name in the folder, then renamed into place. ValueError,
  /// before anything is written, when a document cannot be kept as JSON (invalid UTF-8,
  /// a non-finite number or binary data in its metadata); I/O failures throw
  /// std::filesystem::filesystem_error naming the file (faiss::FaissException when FAISS's own
  /// index writer fails).
  void save_local(const std::string& folder) const;

  /// Reads a folder that save_local wrote, in any format version; `embeddings` embeds later
  /// queries. Every field is checked: a file that is missing, unreadable, no regular file,
  /// truncated or corrupt, an index.json changed after it was saved, or files that disagree
  /// with each other, is a ValueError naming the file.
  static FAISS load_local(const std::string& folder, std::shared_ptr<Embeddings> embeddings);

  /// Up to `topk` documents with their cosine similarity to `query`, most similar first; ties
  /// go to the earlier-added document. A text query is embedded with embed_query; any other
  /// non-null value by its tavrin::str form. ValueError for a null query, or when the query
  /// vector has another dimension than the store or a non-finite number. Safe to call from
  /// several threads at once when the embedding model's embed_query is (HashingEmbeddings'
  /// is).
  std::vector<ScoredDocument> similarity_search_with_score(const Value& query,
                                                           std::size_t topk = 4) const override;

  /// similarity_search_with_score for the query whose embedding is `embedded` (what the
  /// store's model gave for query_text(query), e.g. through async_embed_queries): the same
  /// documents and scores, bit for bit, without calling the model. Errors are
  /// query_vector_of's.
  std::vector<ScoredDocument> similarity_search_with_score_by_vector(std::vector<float> embedded,
                                                                     std::size_t topk = 4) const;

  /// The unit-length vector that similarity_search_with_score compares with the documents for
  /// `query` (embedded as it embeds it), with the same errors (a store of no documents has no
  /// dimension: ValueError).
  std::vector<float> query_vector(const Value& query) const;

  /// `embedded` scaled to unit length, as query_vector scales the model's vector. ValueError
  /// when its dimension is not the store's or it holds a non-finite number.
  std::vector<float> query_vector_of(std::vector<float> embedded) const;

  /// The text a query is embedded as: a text itself, any other non-null value its tavrin::str
  /// form. ValueError for null.
  static std::string query_text(const Value& query);

  /// Number of documents.
  std::size_t size() const noexcept;
  /// Vector dimension; 0 for a store made from no pairs.
  std::size_t dimension() const noexcept;
  DistanceStrategy distance_strategy() const noexcept;
  /// The documents, in the order they were added.
  const std::vector<Document>& documents() const noexcept;
  /// The model that embeds the queries.
  const Embeddings& embeddings() const noexcept;
  /// The same model, shared, for a caller that embeds queries itself (async_embed_queries).
  std::shared_ptr<Embeddings> embedding_model() const noexcept;
  /// The stored (unit-length) vector of document `i`; IndexError when out of range.
  std::vector<float> vector(std::size_t i) const;

  /// Same strategy, documents and stored vectors (bit for bit).
  friend bool operator==(const FAISS& a, const FAISS& b);

  FAISS(FAISS&&) noexcept;
  FAISS& operator=(FAISS&&) noexcept;
  ~FAISS() override;

 private:
  struct Impl;
  explicit FAISS(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tavrin::vectorstore
