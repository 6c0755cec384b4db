#include "tavrin/vectorstore/internal/index_file.hpp"

#include <faiss/impl/io.h>
#include <faiss/index_io.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <string_view>
#include <vector>

#include "tavrin/core/internal/memory.hpp"
#include "tavrin/vectorstore/internal/unit_vectors.hpp"

namespace tavrin::vectorstore::internal {

namespace {

using idx_t = faiss::Index::idx_t;

// Layout of an exact inner-product index as FAISS writes it: fourcc "IxFI", int32 d,
// int64 ntotal, two int64 fields that FAISS fixes at 1 << 20, uint8 is_trained, int32
// metric (0: inner product), uint64 number of floats, then the floats.
constexpr std::size_t kHeaderSize = 45;
constexpr std::int64_t kFaissUnusedField = 1 << 20;

template <class T>
T read_field(const std::string& bytes, std::size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

// Hands what FAISS writes to the file that will replace the index.
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

// Fingerprints bytes on a thread of its own as they are appended to memory that does not move.
// The fingerprint is one serial chain as long as the file: on the reading thread it would take
// as long as the reading itself.
class TrailingFingerprint {
 public:
  explicit TrailingFingerprint(const std::uint8_t* data)
      : data_(data), worker_(std::async(std::launch::async, [this] { return follow(); })) {}
  TrailingFingerprint(const TrailingFingerprint&) = delete;
  TrailingFingerprint& operator=(const TrailingFingerprint&) = delete;
  /// When the reading failed: the thread stops after what was appended.
  ~TrailingFingerprint() {
    if (worker_.valid()) {
      close();
      worker_.wait();
    }
  }

  /// The first `total` bytes are in place.
  void appended(std::size_t total) {
    state_.store(total, std::memory_order_release);
    state_.notify_one();
  }

  /// The fingerprint of all that was appended.
  std::uint64_t value() {
    close();
    return worker_.get();
  }

 private:
  static constexpr std::uint64_t kClosed = std::uint64_t{1} << 63;

  void close() {
    state_.fetch_or(kClosed, std::memory_order_release);
    state_.notify_one();
  }

  std::uint64_t follow() {
    Fingerprint fingerprint;
    std::size_t done = 0;
    for (;;) {
      const std::uint64_t state = state_.load(std::memory_order_acquire);
      const std::size_t ready = state & ~kClosed;
      if (ready > done) {
        fingerprint.add(data_ + done, ready - done);
        done = ready;
      } else if ((state & kClosed) != 0) {
        return fingerprint.value();
      } else {
        state_.wait(state, std::memory_order_acquire);
      }
    }
  }

  const std::uint8_t* data_;
  std::atomic<std::uint64_t> state_{0};  // bytes appended, and kClosed once no more will come
  std::future<std::uint64_t> worker_;
};

}  // namespace

IndexFileRead read_index_file(const std::filesystem::path& path) {
  IndexFileRead read;
  read.file = std::make_unique<StoreFile>(path);
  StoreFile& file = *read.file;
  if (file.size() < kHeaderSize) return read;
  read.header.resize(kHeaderSize);
  file.read(read.header.data(), read.header.size());
  const auto dimension = read_field<std::int32_t>(read.header, 4);
  const auto count = read_field<std::int64_t>(read.header, 8);
  const auto floats = read_field<std::uint64_t>(read.header, 37);
  const std::uint64_t data_bytes = file.size() - kHeaderSize;
  // Read before index.json says what to expect, so a header must not make it loop or
  // allocate beyond the file's own size.
  const bool described = read.header.compare(0, 4, "IxFI") == 0 && dimension >= 0 && count >= 0 &&
                         floats <= data_bytes / sizeof(float) &&
                         floats * sizeof(float) == data_bytes &&
                         (dimension == 0 ? floats == 0 && count == 0
                                         : floats % static_cast<std::uint64_t>(dimension) == 0 &&
                                               floats / static_cast<std::uint64_t>(dimension) ==
                                                   static_cast<std::uint64_t>(count));
  if (!described) return read;

  const auto d = static_cast<std::size_t>(dimension);
  const auto n = static_cast<std::size_t>(count);
  auto index = std::make_unique<faiss::IndexFlatIP>(static_cast<idx_t>(d));
  std::vector<std::uint8_t>& codes = index->codes;
  codes.reserve(data_bytes);
  tavrin::internal::advise_huge_pages(codes.data(), data_bytes);
  index->ntotal = static_cast<idx_t>(n);
  // In blocks of whole vectors, each read into a buffer that stays in the cache while it is
  // checked, then appended: resizing the index first would write all of its memory once more,
  // with zeros.
  const std::size_t row_bytes = std::max<std::size_t>(1, d * sizeof(float));  // d may be 0
  const std::size_t rows_per_block = std::max<std::size_t>(1, kWriteBlock / row_bytes);
  const auto block = std::make_unique_for_overwrite<float[]>(rows_per_block * d);
  const auto* block_bytes = reinterpret_cast<const std::uint8_t*>(block.get());
  TrailingFingerprint checksum(codes.data());  // the capacity reserved: the data stays put
  for (std::size_t first = 0; first < n; first += rows_per_block) {
    const std::size_t rows = std::min(rows_per_block, n - first);
    const std::size_t bytes = rows * d * sizeof(float);
    file.read(block.get(), bytes);
    for (std::size_t i = 0; i < rows && read.first_not_unit_length == SIZE_MAX; ++i) {
      if (!is_unit_length(block.get() + i * d, d)) read.first_not_unit_length = first + i;
    }
    codes.insert(codes.end(), block_bytes, block_bytes + bytes);
    checksum.appended(codes.size());
  }
  read.checksum = checksum.value();
  read.index = std::move(index);
  return read;
}

std::unique_ptr<faiss::IndexFlatIP> check_index_file(IndexFileRead& read, std::size_t dimension,
                                                     std::size_t count) {
  StoreFile& file = *read.file;
  const std::uintmax_t floats = static_cast<std::uintmax_t>(count) * dimension;
  const std::uintmax_t expected = kHeaderSize + floats * sizeof(float);
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

void write_index_file(tavrin::internal::AtomicFile& file, const faiss::IndexFlatIP& index) {
  AtomicFileWriter writer(file);
  faiss::write_index(&index, &writer);
}

}  // namespace tavrin::vectorstore::internal
