#include "tavrin/vectorstore/faiss_store.hpp"

#include <faiss/IndexFlat.h>
#include <faiss/impl/io.h>
#include <faiss/index_io.h>
#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <future>
#include <span>
#include <string>

#include "tavrin/core/check.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/atomic_file.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/vectorstore/internal/store_format.hpp"

namespace tavrin::vectorstore {

namespace fs = std::filesystem;
using idx_t = faiss::Index::idx_t;

namespace {

using internal::kIndexFile;
using internal::kSidecarFile;

constexpr double kUnitLengthTolerance = 1e-3;
constexpr std::size_t kWriteBlock = 1 << 20;

// Layout of an exact inner-product index as FAISS writes it: fourcc "IxFI", int32 d,
// int64 ntotal, two int64 fields that FAISS fixes at 1 << 20, uint8 is_trained, int32
// metric (0: inner product), uint64 number of floats, then the floats.
constexpr std::size_t kIndexHeaderSize = 45;
constexpr std::int64_t kFaissUnusedField = 1 << 20;

// Sum of squares, in four partial sums so the compiler can vectorise; double keeps large
// components finite.
double squared_norm(const float* v, std::size_t n) {
  double partial[4] = {0, 0, 0, 0};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (std::size_t lane = 0; lane < 4; ++lane) {
      partial[lane] += static_cast<double>(v[i + lane]) * v[i + lane];
    }
  }
  for (; i < n; ++i) partial[0] += static_cast<double>(v[i]) * v[i];
  return (partial[0] + partial[1]) + (partial[2] + partial[3]);
}

// Scales `v` to unit length in place (a zero vector stays zero); false when `v` holds a
// non-finite number.
bool scale_to_unit_length(float* v, std::size_t n) {
  const double squares = squared_norm(v, n);
  if (!std::isfinite(squares)) return false;
  if (squares == 0) return true;
  const double scale = 1.0 / std::sqrt(squares);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<float>(v[i] * scale);
  return true;
}

// Paces the filling of the index from the callers' vectors in steps of 64 MiB: before a step
// it prefaults that part of the index buffer in one call (far cheaper than a page fault per
// page), and after it gives the pages of the vectors freed meanwhile back to the system, so
// the vectors and their indexed copy are never both resident. Each trim walks the whole heap,
// hence the large step; the peak grows by at most one step.
class FillPacer {
 public:
  // `codes` has room for `total_bytes`. On huge pages the prefaults cost a fraction (a fifth
  // of the index phase at 200,000 vectors), and searches miss the TLB less.
  FillPacer(std::vector<std::uint8_t>& codes, std::size_t total_bytes)
      : codes_(codes), total_(total_bytes) {
    advise_huge_pages(codes.data(), total_bytes);
  }

  // Call before appending to the buffer.
  void before_append() {
    if (codes_.size() < prefaulted_ || prefaulted_ >= total_) return;
    if (prefaulted_ > 0) release_freed_memory();
    const std::size_t length = std::min(kStep, total_ - prefaulted_);
    prefault(codes_.data() + prefaulted_, length);
    prefaulted_ += length;
  }

 private:
  static constexpr std::size_t kStep = 64 << 20;

  static void prefault(std::uint8_t* start, std::size_t length) {
#ifdef MADV_POPULATE_WRITE
    constexpr std::uintptr_t kPage = 4096;
    const auto begin = reinterpret_cast<std::uintptr_t>(start) & ~(kPage - 1);
    const auto end = reinterpret_cast<std::uintptr_t>(start + length);
    // Only a hint: an older kernel refuses it, and the pages then fault in one by one.
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    (void)start;
    (void)length;
#endif
  }

  // A hint only, for the memory not touched yet.
 public:
  static void advise_huge_pages(const void* start, std::size_t size) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    const auto first = (reinterpret_cast<std::uintptr_t>(start) + kHugePage - 1) & ~(kHugePage - 1);
    const auto last = (reinterpret_cast<std::uintptr_t>(start) + size) & ~(kHugePage - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
  }

 private:
  static void release_freed_memory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
  }

  std::vector<std::uint8_t>& codes_;
  std::size_t total_;
  std::size_t prefaulted_ = 0;
};

// Hands what faiss writes to the file that will replace the index.
class AtomicFileWriter : public faiss::IOWriter {
 public:
  explicit AtomicFileWriter(tavrin::internal::AtomicFile& file) : file_(file) {}

  // FAISS hands over all vectors in one call; in blocks, the disk starts on the first while
  // the next are copied.
  size_t operator()(const void* ptr, size_t size, size_t nitems) override {
    std::string_view bytes(static_cast<const char*>(ptr), size * nitems);
    while (!bytes.empty()) {
      const std::size_t block = std::min(bytes.size(), kWriteBlock);
      file_.write(bytes.substr(0, block));
      bytes.remove_prefix(block);
    }
    return nitems;
  }

 private:
  tavrin::internal::AtomicFile& file_;
};

template <class T>
T read_field(const std::string& bytes, std::size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

// index.faiss as far as it describes itself, read while index.json is, to be compared with it
// by check_index_file.
struct IndexFileRead {
  std::unique_ptr<internal::StoreFile> file;
  std::string header;  // its first kIndexHeaderSize bytes, when it has them
  // Its vectors, when its size is the one its header gives.
  std::unique_ptr<faiss::IndexFlatIP> index;
  std::size_t first_not_unit_length = SIZE_MAX;
  std::uint64_t checksum = 0;  // the Fingerprint of its vectors
};

IndexFileRead read_index_file(const fs::path& path) {
  IndexFileRead read;
  read.file = std::make_unique<internal::StoreFile>(path);
  internal::StoreFile& file = *read.file;
  if (file.size() < kIndexHeaderSize) return read;
  read.header.resize(kIndexHeaderSize);
  file.read(read.header.data(), read.header.size());
  const auto dimension = read_field<std::int32_t>(read.header, 4);
  const auto count = read_field<std::int64_t>(read.header, 8);
  const auto floats = read_field<std::uint64_t>(read.header, 37);
  const std::uint64_t room = (file.size() - kIndexHeaderSize) / sizeof(float);
  // Read before index.json says what to expect, so a header must not make it loop or
  // allocate beyond the file's own size.
  const bool described = read.header.compare(0, 4, "IxFI") == 0 && dimension >= 0 && count >= 0 &&
                         floats <= room &&
                         floats * sizeof(float) == file.size() - kIndexHeaderSize &&
                         (dimension == 0 ? floats == 0 && count == 0
                                         : floats % static_cast<std::uint64_t>(dimension) == 0 &&
                                               floats / static_cast<std::uint64_t>(dimension) ==
                                                   static_cast<std::uint64_t>(count));
  if (!described) return read;

  const auto d = static_cast<std::size_t>(dimension);
  auto index = std::make_unique<faiss::IndexFlatIP>(static_cast<idx_t>(d));
  std::vector<std::uint8_t>& codes = index->codes;
  codes.reserve(floats * sizeof(float));
  FillPacer::advise_huge_pages(codes.data(), floats * sizeof(float));
  codes.resize(floats * sizeof(float));
  index->ntotal = static_cast<idx_t>(count);
  // In blocks of whole vectors, each checked and fingerprinted while it is in the cache.
  const std::size_t row_bytes = d * sizeof(float);
  const std::size_t rows_per_block =
      row_bytes == 0 ? 0 : std::max<std::size_t>(1, kWriteBlock / row_bytes);
  internal::Fingerprint checksum;
  for (std::size_t first = 0; first < static_cast<std::size_t>(count); first += rows_per_block) {
    const std::size_t rows = std::min(rows_per_block, static_cast<std::size_t>(count) - first);
    std::uint8_t* block = codes.data() + first * row_bytes;
    file.read(block, rows * row_bytes);
    checksum.add(block, rows * row_bytes);
    for (std::size_t i = first; i < first + rows && read.first_not_unit_length == SIZE_MAX; ++i) {
      const double squares = squared_norm(index->get_xb() + i * d, d);
      if (!(squares == 0 || std::abs(squares - 1) < kUnitLengthTolerance)) {
        read.first_not_unit_length = i;
      }
    }
  }
  read.checksum = checksum.value();
  read.index = std::move(index);
  return read;
}

// The index of `read`, which must hold exactly `count` unit-length vectors of `dimension`.
std::unique_ptr<faiss::IndexFlatIP> check_index_file(IndexFileRead& read, std::size_t dimension,
                                                     std::size_t count) {
  internal::StoreFile& file = *read.file;
  const std::uintmax_t floats = static_cast<std::uintmax_t>(count) * dimension;
  const std::uintmax_t expected = kIndexHeaderSize + floats * sizeof(float);
  if (file.size() != expected) {
    file.fail("has " + std::to_string(file.size()) + " bytes where index.json needs " +
              std::to_string(expected) + " (" + std::to_string(count) + " vectors of dimension " +
              std::to_string(dimension) + "): it is damaged, or from another save");
  }
  const std::string& header = read.header;
  if (header.compare(0, 4, "IxFI") != 0) file.fail("is not an inner-product FAISS index");
  const bool header_ok =
      read_field<std::int32_t>(header, 4) == static_cast<std::int32_t>(dimension) &&
      read_field<std::int64_t>(header, 8) == static_cast<std::int64_t>(count) &&
      read_field<std::int64_t>(header, 16) == kFaissUnusedField &&
      read_field<std::int64_t>(header, 24) == kFaissUnusedField &&
      read_field<std::uint8_t>(header, 32) == 1 &&
      read_field<std::int32_t>(header, 33) == faiss::METRIC_INNER_PRODUCT &&
      read_field<std::uint64_t>(header, 37) == floats;
  // A header that agrees with index.json describes the file's size, so its vectors were read.
  if (!header_ok || !read.index) file.fail("has a header that does not match index.json");
  if (read.first_not_unit_length < count) {
    file.fail("holds vector " + std::to_string(read.first_not_unit_length) +
              " that is not of unit length");
  }
  return std::move(read.index);
}

}  // namespace

struct FAISS::Impl {
  DistanceStrategy strategy = DistanceStrategy::COSINE;
  std::size_t dimension = 0;
  std::vector<Document> documents;
  std::unique_ptr<faiss::IndexFlatIP> index;
  // The Fingerprint of index->codes, taken while they are filled or read.
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
  FillPacer pacer(codes, n * row_bytes);
  internal::Fingerprint checksum;
  for (std::size_t i = 0; i < n; ++i) {
    pacer.before_append();
    std::vector<float>& vector = text_embeddings[i].second;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(vector.data());
    codes.insert(codes.end(), bytes, bytes + row_bytes);
    std::vector<float>().swap(vector);
    float* row = impl->index->get_xb() + i * dimension;
    if (!scale_to_unit_length(row, dimension)) {
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
    AtomicFileWriter index_writer(index_file);
    faiss::write_index(impl_->index.get(), &index_writer);
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
  std::future<IndexFileRead> index_read =
      std::async(std::launch::async, [&] { return read_index_file(dir / kIndexFile); });
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
  IndexFileRead read = index_read.get();
  impl->index = check_index_file(read, sidecar.header.dimension, sidecar.documents.size());
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

std::vector<ScoredDocument> FAISS::similarity_search_with_score(const Value& query,
                                                                std::size_t topk) const {
  if (query.is_null()) throw ValueError("similarity_search query must not be null");
  if (impl_->documents.empty() || topk == 0) return {};
  std::vector<float> q = impl_->embedding->embed_query(
      query.is_string() ? query.get_ref<const std::string&>() : str(query));
  if (q.size() != impl_->dimension) {
    throw ValueError("the query vector has dimension " + std::to_string(q.size()) + ", the store " +
                     std::to_string(impl_->dimension));
  }
  if (!scale_to_unit_length(q.data(), q.size())) {
    throw ValueError("the query vector holds a non-finite number");
  }
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
