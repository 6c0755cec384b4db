// Stands in for libFuzzer in the normal build: feeds every file of the folders (or the files)
// it is given to the target's LLVMFuzzerTestOneInput, so that CTest replays the corpus and the
// kept findings. A finding aborts the process; the last "replay" line names its input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs_of(const fs::path& path) {
  if (!fs::is_directory(path)) return {path};
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(path)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
      for (const fs::path& file : inputs_of(argv[i])) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
          std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
          return 2;
        }
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        std::printf("replay %s (%zu bytes)\n", file.c_str(), bytes.size());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        ++replayed;
      }
    }
    if (replayed == 0) {
      std::fprintf(stderr, "replay: no inputs\n");
      return 2;
    }
    std::printf("replayed %zu inputs\n", replayed);
    return 0;
  } catch (const std::exception& e) {
    // An exception the target lets escape is a finding too.
    std::fprintf(stderr, "replay: escaped: %s\n", e.what());
    return 1;
  }
}
