// The files of a store folder as FAISS::save_local writes them and load_local reads them: the
// fingerprint that ties them together, reading a store file, and index.json's writer and
// reader.
//
//   internal::Fingerprint f;  f.add(bytes.data(), bytes.size());  f.value()  // same bytes, same
//                                                                           // value, any split
//   internal::read_sidecar(folder / internal::kSidecarFile).documents  // checked, as saved
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "tavrin/core/internal/atomic_file.hpp"
#include "tavrin/vectorstore/document.hpp"

namespace tavrin::vectorstore::internal {

inline constexpr char kIndexFile[] = "index.faiss";
inline constexpr char kSidecarFile[] = "index.json";

/// A 64-bit fingerprint of a byte stream fed in pieces: the same bytes give the same value
/// however they are split. It tells damaged or mismatched files apart; it is no defence against
/// someone who forges one on purpose.
class Fingerprint {
 public:
  /// Feeds `size` bytes from `data` (not kept).
  void add(const void* data, std::size_t size);
  std::uint64_t value() const;
  /// Sixteen lowercase hexadecimal digits.
  std::string hex() const;

 private:
  std::uint64_t state_ = 14695981039346656037u;
  unsigned char pending_[sizeof(std::uint64_t)] = {};
  std::size_t pending_size_ = 0;
};

/// A store file open for reading. ValueError, naming the file, when it cannot be opened, is not
/// a regular file (a folder, say), or cannot be read whole.
class StoreFile {
 public:
  explicit StoreFile(std::filesystem::path path);
  StoreFile(const StoreFile&) = delete;
  StoreFile& operator=(const StoreFile&) = delete;
  ~StoreFile();

  /// The size the file had when it was opened.
  std::uint64_t size() const noexcept { return size_; }
  /// Reads the next `size` bytes into `out`, which must have room for them.
  void read(void* out, std::size_t size);
  /// ValueError "store file '<path>' <what>".
  [[noreturn]] void fail(const std::string& what) const;

 private:
  std::filesystem::path path_;
  int descriptor_ = -1;
  std::uint64_t size_ = 0;
};

/// What index.json says besides its documents.
struct SidecarHeader {
  /// The format version the file was written in; save_local writes the latest.
  std::int64_t version = 0;
  DistanceStrategy distance_strategy = DistanceStrategy::COSINE;
  /// The identity of the embedding model that made the vectors; empty when unknown (version 1,
  /// or a model that does not name itself).
  std::string embeddings;
  std::size_t dimension = 0;
  /// The Fingerprint of the vectors in index.faiss.
  std::uint64_t index_checksum = 0;
};

struct Sidecar {
  SidecarHeader header;
  std::vector<Document> documents;
};

/// Writes index.json for `documents` (each checked storable) in the latest format, whatever
/// `header.version` says, streaming it to `file` a block at a time.
void write_sidecar(tavrin::internal::AtomicFile& file, const SidecarHeader& header,
                   const std::vector<Document>& documents);

/// Reads and checks index.json at `path`, of any format version ever written; ValueError
/// naming the file for anything amiss, including a version 2 file changed since it was saved.
/// The index file is not read: its vectors are to be compared with `header.index_checksum`.
Sidecar read_sidecar(const std::filesystem::path& path);

/// ValueError when `documents` cannot be written as JSON and read back equal (invalid UTF-8,
/// a non-finite number or binary data in its metadata); the message numbers the documents from
/// `first`.
void check_storable(std::span<const Document> documents, std::size_t first);

/// A seam for tests: save_local calls it, when set, after index.faiss is renamed into place and
/// before index.json is. Never set outside tests.
inline void (*after_index_renamed)() = nullptr;

}  // namespace tavrin::vectorstore::internal
