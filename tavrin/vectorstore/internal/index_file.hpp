// index.faiss: written by FAISS's own writer, and read here against FAISS's byte layout of an
// exact inner-product index, so that a damaged file is a clear error instead of whatever
// FAISS's reader makes of it. It is read in two steps, so that the reading can run while
// index.json is parsed:
//
//   auto read = std::async(std::launch::async, [&] { return read_index_file(path); });
//   Sidecar sidecar = read_sidecar(...);
//   IndexFileRead got = read.get();
//   auto index = check_index_file(got, sidecar.header.dimension, sidecar.documents.size());
#pragma once

#include <faiss/IndexFlat.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "tavrin/core/internal/atomic_file.hpp"
#include "tavrin/vectorstore/internal/store_format.hpp"

namespace tavrin::vectorstore::internal {

/// index.faiss as far as it describes itself, before it is compared with index.json.
struct IndexFileRead {
  std::unique_ptr<StoreFile> file;
  std::string header;  // its header, when it is long enough to have one
  /// Its vectors, when its size is the one its header gives.
  std::unique_ptr<faiss::IndexFlatIP> index;
  std::size_t first_not_unit_length = SIZE_MAX;
  /// The Fingerprint of the vectors.
  std::uint64_t checksum = 0;
};

/// Opens and reads the file at `path`: ValueError naming it when it cannot be opened or read.
/// Its vectors are read only when its size agrees with its own header.
IndexFileRead read_index_file(const std::filesystem::path& path);

/// The index of `read`, which must hold exactly `count` unit-length vectors of `dimension`;
/// ValueError naming the file otherwise.
std::unique_ptr<faiss::IndexFlatIP> check_index_file(IndexFileRead& read, std::size_t dimension,
                                                     std::size_t count);

/// Writes `index` with FAISS's writer into `file`, in blocks the disk can start on early.
void write_index_file(tavrin::internal::AtomicFile& file, const faiss::IndexFlatIP& index);

}  // namespace tavrin::vectorstore::internal
