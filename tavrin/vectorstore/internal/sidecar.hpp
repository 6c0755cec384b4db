// index.json, the sidecar of a store folder: the documents as plain JSON, with the header that
// ties them to index.faiss. Written one document at a time, read in one pass into the
// documents, checked throughout.
//
//   internal::write_sidecar(file, header, documents);
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
#include "tavrin/vectorstore/internal/store_format.hpp"

namespace tavrin::vectorstore::internal {

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

}  // namespace tavrin::vectorstore::internal
