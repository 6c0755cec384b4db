// Feeds arbitrary bytes to read_csv as a file. Whatever it accepts must survive a round trip:
// writing the table and reading it back gives the same cells (a NaN comes back as a null,
// since CSV writes both as an empty field).
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "tavrin/core/errors.hpp"
#include "tavrin/frame/dataframe.hpp"

namespace {

namespace fs = std::filesystem;
using tavrin::Value;

// On tmpfs when there is one, as the writer flushes every file to disk; removed at exit, also
// after a replay of the inputs under CTest.
struct ScratchDir {
  ScratchDir() {
    const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    path = base / ("tavrin-fuzz-read_csv-" + std::to_string(getpid()));
    fs::create_directories(path);
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  fs::path path;
};

Value without_nan(Value table) {
  for (auto& column : table) {
    for (auto& cell : column) {
      if (cell.is_number_float() && std::isnan(cell.get<double>())) {
        cell = nullptr;
      }
    }
  }
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const ScratchDir scratch;
  const fs::path& dir = scratch.path;
  const std::string input = (dir / "input.csv").string();
  const std::string output = (dir / "output.csv").string();
  std::ofstream(input, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  try {
    const tavrin::frame::DataFrame table = tavrin::frame::read_csv(input);
    table.to_csv(output);
    const Value expected = without_nan(table.to_dict());
    if (tavrin::frame::read_csv(output).to_dict() != expected) {
      std::abort();
    }
  } catch (const tavrin::ValueError&) {
    // Malformed CSV is rejected with a message; that is the expected outcome.
  }
  return 0;
}
