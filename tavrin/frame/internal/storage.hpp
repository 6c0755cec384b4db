// The cell storage behind DataFrame, shared by the files that implement it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tavrin/frame/dataframe.hpp"

namespace tavrin::frame {

// Cells column by column, immutable once built and shared by every table derived from it.
struct DataFrame::Storage {
  std::vector<std::string> names;
  std::vector<std::vector<Value>> cells;
  std::size_t rows = 0;

  // Position of `column` among the names; KeyError naming it when absent.
  std::size_t position_of(std::string_view column) const;
};

}  // namespace tavrin::frame
