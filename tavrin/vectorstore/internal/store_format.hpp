// What the two files of a store folder share: their names, the fingerprint that ties them
// together, and reading a store file. index.json has its own reader and writer (sidecar.hpp),
// index.faiss too (index_file.hpp).
//
//   internal::Fingerprint f;  f.add(bytes.data(), bytes.size());  f.value()  // same bytes, same
//                                                                           // value, any split
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace tavrin::vectorstore::internal {

inline constexpr char kIndexFile[] = "index.faiss";
inline constexpr char kSidecarFile[] = "index.json";
/// The size of the writes of both files, each handed to the disk at once.
inline constexpr std::size_t kWriteBlock = 1 << 20;

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

/// `n` as Fingerprint::hex writes it.
std::string fingerprint_hex(std::uint64_t n);

/// ValueError "store file '<path>' <what>".
[[noreturn]] void fail_store_file(const std::filesystem::path& path, const std::string& what);

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

/// A seam for tests: save_local calls it, when set, after index.faiss is renamed into place and
/// before index.json is. Never set outside tests.
inline void (*after_index_renamed)() = nullptr;

}  // namespace tavrin::vectorstore::internal
