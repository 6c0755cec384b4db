#include "tavrin/vectorstore/faiss_store.hpp"

#include <faiss/IndexFlat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <future>
#include <span>
#include <string>

#include "tavrin/core/check.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/atomic_file.hpp"
#include "tavrin/core/internal/memory.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/vectorstore/internal/index_file.hpp"
#include "tavrin/vectorstore/internal/sidecar.hpp"
#include "tavrin/vectorstore/internal/store_format.hpp"
#include "tavrin/vectorstore/internal/unit_vectors.hpp"

namespace tavrin::vectorstore {

namespace fs = std::filesystem;
using idx_t = faiss::Index::idx_t;
using internal::kIndexFile;
using internal::kSidecarFile;

struct FAISS::Impl {
  DistanceStrategy strategy = DistanceStrategy::COSINE;
  std::size_t dimension = 0;
  std::vector<Document> documents;
  std::unique_ptr<faiss::IndexFlatIP> index;
  // The Fingerprint of the vectors, taken while they are filled or read: index.json records
  // it, so that a sidecar is never paired with the index file of another save (the two files
  // are renamed one after the other).
  std::uint64_t index_checksum = 0;
  std::shared_ptr<Embeddings> embedding;

  // Positions of the `topk` best documents for the unit-length query `q`, best first, ties
  // by position. FAISS's own order among equal scores is not specified, so when equal scores
  // straddle the cut every document is ranked.
  std::vector<std::pair<float, idx_t>> rank(const float* q, std::size_t topk) const {
    const std::size_t n = documents.size();
    const std::size_t k = std::min(topk, n);
    std::size_t asked = std::min(k + 1, n);
    std::vector<std::pair<float, idx_t>> hits = search(q, asked);
    if (asked > k && hits[k].first == hits[k - 1].first && asked < n) hits = search(q, n);
    std::sort(hits.begin(), hits.end(), [](const auto& a, const auto& b) {
      return a.first > b.first || (a.first == b.first && a.second < b.second);
    });
    hits.resize(k);
    return hits;
  }

  std::vector<std::pair<float, idx_t>> search(const float* q, std::size_t k) const {
    std::vector<float> scores(k);
    std::vector<idx_t> ids(k);
    index->search(1, q, static_cast<idx_t>(k), scores.data(), ids.data());
    std::vector<std::pair<float, idx_t>> hits(k);
    for (std::size_t i = 0; i < k; ++i) hits[i] = {scores[i], ids[i]};
    return hits;
  }
};

FAISS::FAISS(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
FAISS::FAISS(FAISS&&) noexcept = default;
FAISS& FAISS::operator=(FAISS&&) noexcept = default;
FAISS::~FAISS() = default;

FAISS FAISS::from_embeddings(std::vector<TextEmbedding> text_embeddings,
                             std::shared_ptr<Embeddings> embedding, std::vector<Value> metadatas,
                             DistanceStrategy distance_strategy) {
  if (!embedding) throw ValueError("from_embeddings embedding must not be null");
  const std::size_t n = text_embeddings.size();
  if (metadatas.size() != n) {
    throw ValueError("from_embeddings metadatas has " + std::to_string(metadatas.size()) +
                     " entries for " + std::to_string(n) + " text-vector pairs");
  }
  const std::size_t dimension = n == 0 ? 0 : text_embeddings.front().second.size();
  if (n > 0 && dimension == 0) throw ValueError("text_embeddings[0] has an empty vector");
  for (std::size_t i = 0; i < n; ++i) {
    require_object(metadatas[i], "metadatas[" + std::to_string(i) + "]");
    if (text_embeddings[i].second.size() != dimension) {
      throw ValueError("text_embeddings[" + std::to_string(i) + "] has dimension " +
                       std::to_string(text_embeddings[i].second.size()) + ", not " +
                       std::to_string(dimension) + " like text_embeddings[0]");
    }
  }

  auto impl = std::make_unique<Impl>();
  impl->strategy = distance_strategy;
  impl->dimension = dimension;
  impl->embedding = std::move(embedding);
  impl->index = std::make_unique<faiss::IndexFlatIP>(static_cast<idx_t>(dimension));
  impl->documents.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    impl->documents.push_back(
        Document{std::move(text_embeddings[i].first), std::move(metadatas[i])});
  }
  std::vector<std::uint8_t>& codes = impl->index->codes;
  const std::size_t row_bytes = dimension * sizeof(float);
  codes.reserve(n * row_bytes);
  // The callers' vectors are released as they are copied, so the two are never both resident.
  tavrin::internal::PacedFill pacing(codes.data(), n * row_bytes);
  internal::Fingerprint checksum;
  for (std::size_t i = 0; i < n; ++i) {
    pacing.before_writing(codes.size());
    std::vector<float>& vector = text_embeddings[i].second;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(vector.data());
    codes.insert(codes.end(), bytes, bytes + row_bytes);
    std::vector<float>().swap(vector);
    float* row = impl->index->get_xb() + i * dimension;
    if (!internal::scale_to_unit_length(row, dimension)) {
      throw ValueError("text_embeddings[" + std::to_string(i) + "] holds a non-finite number");
    }
    // While the row is in the cache: the fill waits on memory, the fingerprint on arithmetic.
    checksum.add(row, row_bytes);
  }
  impl->index->ntotal = static_cast<idx_t>(n);
  impl->index_checksum = checksum.value();
  return FAISS(std::move(impl));
}

void FAISS::save_local(const std::string& folder) const {
  // Two threads, which check the documents by halves, then one writes the vectors while the
  // other writes the documents, so that the save takes about as long as the disk.
  const std::vector<Document>& documents = impl_->documents;
  const std::span<const Document> second_half = std::span(documents).subspan(documents.size() / 2);
  std::future<void> second_half_checked = std::async(
      std::launch::async, [&] { internal::check_storable(second_half, documents.size() / 2); });
  internal::check_storable(std::span(documents).first(documents.size() / 2), 0);
  second_half_checked.get();
  internal::SidecarHeader header;
  header.distance_strategy = impl_->strategy;
  header.embeddings = impl_->embedding->identity();
  header.dimension = impl_->dimension;
  header.index_checksum = impl_->index_checksum;
  const fs::path dir(folder);
  fs::create_directories(dir);

  // Neither file replaces its target until both are complete on disk.
  tavrin::internal::AtomicFile index_file((dir / kIndexFile).string());
  tavrin::internal::AtomicFile sidecar_file((dir / kSidecarFile).string());
  std::future<void> index_written = std::async(std::launch::async, [&] {
    internal::write_index_file(index_file, *impl_->index);
    index_file.flush();
  });
  internal::write_sidecar(sidecar_file, header, impl_->documents);
  sidecar_file.flush();
  index_written.get();

  // A crash between the two renames leaves a pair that load_local refuses: index_checksum.
  index_file.commit();
  if (internal::after_index_renamed != nullptr) internal::after_index_renamed();
  sidecar_file.commit();
}

FAISS FAISS::load_local(const std::string& folder, std::shared_ptr<Embeddings> embeddings) {
  if (!embeddings) throw ValueError("load_local embeddings must not be null");
  const fs::path dir(folder);
  // The index is read on a second thread while the sidecar is parsed; each failure is still
  // reported in the order of the checks: the sidecar's, the model's, then the index's.
  std::future<internal::IndexFileRead> index_read =
      std::async(std::launch::async, [&] { return internal::read_index_file(dir / kIndexFile); });
  internal::Sidecar sidecar = internal::read_sidecar(dir / kSidecarFile);
  // A store searched with another model than the one that built it answers plausible, wrong
  // neighbours; an identity unknown on either side cannot be compared.
  const std::string identity = embeddings->identity();
  if (!sidecar.header.embeddings.empty() && !identity.empty() &&
      sidecar.header.embeddings != identity) {
    throw ValueError("store folder '" + folder + "' was built with the embedding model " +
                     sidecar.header.embeddings + ", not with " + identity +
                     ", the model it is loaded with");
  }
  auto impl = std::make_unique<Impl>();
  internal::IndexFileRead read = index_read.get();
  impl->index =
      internal::check_index_file(read, sidecar.header.dimension, sidecar.documents.size());
  impl->index_checksum = read.checksum;
  if (impl->index_checksum != sidecar.header.index_checksum) {
    throw ValueError(
        "store file '" + (dir / kIndexFile).string() +
        "' does not belong with index.json: its vectors are not the ones saved with it");
  }
  impl->strategy = sidecar.header.distance_strategy;
  impl->dimension = sidecar.header.dimension;
  impl->documents = std::move(sidecar.documents);
  impl->embedding = std::move(embeddings);
  return FAISS(std::move(impl));
}

std::string FAISS::query_text(const Value& query) {
  if (query.is_null()) throw ValueError("similarity_search query must not be null");
  return query.is_string() ? query.get<std::string>() : str(query);
}

std::vector<float> FAISS::query_vector(const Value& query) const {
  return query_vector_of(impl_->embedding->embed_query(query_text(query)));
}

std::vector<float> FAISS::query_vector_of(std::vector<float> embedded) const {
  if (embedded.size() != impl_->dimension) {
    throw ValueError("the query vector has dimension " + std::to_string(embedded.size()) +
                     ", the store " + std::to_string(impl_->dimension));
  }
  if (!internal::scale_to_unit_length(embedded.data(), embedded.size())) {
    throw ValueError("the query vector holds a non-finite number");
  }
  return embedded;
}

std::vector<ScoredDocument> FAISS::similarity_search_with_score(const Value& query,
                                                                std::size_t topk) const {
  // A null query is refused even when nothing would be searched.
  if ((impl_->documents.empty() || topk == 0) && !query.is_null()) return {};
  return similarity_search_with_score_by_vector(impl_->embedding->embed_query(query_text(query)),
                                                topk);
}

std::vector<ScoredDocument> FAISS::similarity_search_with_score_by_vector(
    std::vector<float> embedded, std::size_t topk) const {
  if (impl_->documents.empty() || topk == 0) return {};
  const std::vector<float> q = query_vector_of(std::move(embedded));
  std::vector<ScoredDocument> results;
  for (const auto& [score, id] : impl_->rank(q.data(), topk)) {
    results.emplace_back(impl_->documents[static_cast<std::size_t>(id)], score);
  }
  return results;
}

std::size_t FAISS::size() const noexcept { return impl_->documents.size(); }
std::size_t FAISS::dimension() const noexcept { return impl_->dimension; }
DistanceStrategy FAISS::distance_strategy() const noexcept { return impl_->strategy; }
const std::vector<Document>& FAISS::documents() const noexcept { return impl_->documents; }
const Embeddings& FAISS::embeddings() const noexcept { return *impl_->embedding; }
std::shared_ptr<Embeddings> FAISS::embedding_model() const noexcept { return impl_->embedding; }

std::vector<float> FAISS::vector(std::size_t i) const {
  if (i >= size()) {
    throw IndexError("vector position " + std::to_string(i) + " is out of range for " +
                     std::to_string(size()) + " documents");
  }
  const float* row = impl_->index->get_xb() + i * impl_->dimension;
  return std::vector<float>(row, row + impl_->dimension);
}

bool operator==(const FAISS& a, const FAISS& b) {
  return a.impl_->strategy == b.impl_->strategy && a.impl_->dimension == b.impl_->dimension &&
         a.impl_->documents == b.impl_->documents && a.impl_->index->codes == b.impl_->index->codes;
}

}  // namespace tavrin::vectorstore
