// Damaged store folders for FAISS::load_local. The input is a store folder packed as: two
// bytes (little-endian) giving the length of index.json, index.json, then index.faiss. A load
// must either succeed, answer searches and save a copy that loads back equal, or throw
// ValueError; anything else is a finding.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "tavrin/core/errors.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"

namespace {

namespace fs = std::filesystem;

// Removed at exit, also after a replay of the inputs under CTest.
struct ScratchFolder {
  ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "fuzz_load_local.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  fs::path path;
};

const fs::path& folder() {
  static const ScratchFolder scratch;
  return scratch.path;
}

const fs::path& copy_folder() {
  static const fs::path path = folder() / "copy";
  return path;
}

void write_file(const fs::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t json_size = std::min<std::size_t>(data[0] | (data[1] << 8), size - 2);
  const std::string_view input(reinterpret_cast<const char*>(data) + 2, size - 2);
  write_file(folder() / "index.json", input.substr(0, json_size));
  write_file(folder() / "index.faiss", input.substr(json_size));

  static const auto model = std::make_shared<tavrin::vectorstore::HashingEmbeddings>(4);
  try {
    const auto store = tavrin::vectorstore::FAISS::load_local(folder().string(), model);
    store.similarity_search_with_score(tavrin::Value("查询"), 3);
    store.save_local(copy_folder().string());
    if (!(tavrin::vectorstore::FAISS::load_local(copy_folder().string(), model) == store)) {
      std::abort();  // what was loaded did not survive a save
    }
  } catch (const tavrin::ValueError&) {
  }
  return 0;
}
