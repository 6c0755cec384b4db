// The cell storage behind DataFrame, shared by the files that implement it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tavrin/frame/dataframe.hpp"

namespace tavrin::frame {

// Cells row by row (the cells of one row sit side by side, so that reading or writing a row
// touches one or two cache lines), immutable once built and shared by every table derived
// from it.
struct DataFrame::Storage {
  std::vector<std::string> names;
  std::vector<Value> cells;  // rows * names.size(), row-major
  std::size_t rows = 0;

  std::size_t width() const { return names.size(); }
  const Value* row(std::size_t base_row) const { return cells.data() + base_row * width(); }

  // Position of `column` among the names; KeyError naming it when absent.
  std::size_t position_of(std::string_view column) const;
};

}  // namespace tavrin::frame
