#include "tavrin/tessick.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iostream>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/text.hpp"

namespace tavrin::tessick {
namespace {

constexpr double kShuffleFraction = 1;
constexpr std::uint32_t kShuffleSeed = 42;

// The row count times the ratio, truncated toward zero. A product beyond the row count is
// clamped to it first: the position ranges cut the same way, and the conversion stays defined.
std::ptrdiff_t test_size_of(std::size_t rows, double test_data_ratio) {
  const double product = static_cast<double>(rows) * test_data_ratio;
  if (!std::isfinite(product)) {
    throw ValueError("split_data: test_data_ratio " + str(Value(test_data_ratio)) + " times " +
                     std::to_string(rows) + " rows is not a finite test size");
  }
  const double bound = static_cast<double>(rows);
  return static_cast<std::ptrdiff_t>(std::trunc(std::clamp(product, -bound, bound)));
}

void print_report(std::size_t train_rows, const std::string& tgt_train_data_path,
                  std::size_t test_rows, const std::string& tgt_test_data_path) {
  const std::string line =
      "训练集数据量:" + std::to_string(train_rows) + "，保存到: " + tgt_train_data_path +
      ", 测试集数据量:" + std::to_string(test_rows) + "，保存到: " + tgt_test_data_path + "\n";
  std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
  std::cout.flush();
}

}  // namespace

void split_data(const frame::DataFrame& datas, const std::string& tgt_train_data_path,
                const std::string& tgt_test_data_path, double test_data_ratio) {
  const std::ptrdiff_t test_size = test_size_of(datas.size(), test_data_ratio);
  const frame::DataFrame shuffled_datas =
      datas.sample(kShuffleFraction, kShuffleSeed).reset_index(true);
  const frame::DataFrame test_data = shuffled_datas.iloc(std::nullopt, test_size);
  const frame::DataFrame train_data = shuffled_datas.iloc(test_size, std::nullopt);
  train_data.to_csv(tgt_train_data_path, false);
  test_data.to_csv(tgt_test_data_path, false);
  print_report(train_data.size(), tgt_train_data_path, test_data.size(), tgt_test_data_path);
}

}  // namespace tavrin::tessick
