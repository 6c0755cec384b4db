#include "tavrin/frame/dataframe.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "tavrin/core/check.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/frame/internal/message.hpp"
#include "tavrin/frame/internal/shuffle.hpp"
#include "tavrin/frame/internal/storage.hpp"

namespace tavrin::frame {
namespace {

// Kind and length checks of the constructor argument, all before anything is built.
void check_columns(const Value& columns) {
  require_object(columns, "columns");
  for (auto it = columns.begin(); it != columns.end(); ++it) {
    require_array(*it, "column " + internal::quoted(it.key()));
  }
  if (columns.empty()) {
    return;
  }
  const auto first = columns.begin();
  for (auto it = columns.begin(); it != columns.end(); ++it) {
    if (it->size() != first->size()) {
      throw ValueError("all columns must have the same length: column " +
                       internal::quoted(first.key()) + " has " + std::to_string(first->size()) +
                       " values, column " + internal::quoted(it.key()) + " has " +
                       std::to_string(it->size()));
    }
  }
}

// Puts the cells of each column into their row-major places, copied or moved.
void place_cells(const Value& column, std::size_t c, std::size_t width, std::vector<Value>& cells) {
  for (std::size_t r = 0; r < column.size(); ++r) {
    cells[r * width + c] = column[r];
  }
}

void place_cells(Value& column, std::size_t c, std::size_t width, std::vector<Value>& cells) {
  for (std::size_t r = 0; r < column.size(); ++r) {
    cells[r * width + c] = std::move(column[r]);
  }
}

// The row count of `count` rows taken by sample with `frac`: Python's round, ties to even.
std::size_t sample_size(double frac, std::size_t count) {
  if (!(frac >= 0.0 && frac <= 1.0)) {
    throw ValueError("sample: frac must be within 0 and 1, not " + str(Value(frac)));
  }
  return static_cast<std::size_t>(std::nearbyint(frac * static_cast<double>(count)));
}

// Clamps one slice bound the way Python slices do: negative counts back from the end.
std::size_t slice_bound(std::optional<std::ptrdiff_t> bound, std::size_t count,
                        std::size_t open_value) {
  if (!bound) {
    return open_value;
  }
  const auto signed_count = static_cast<std::ptrdiff_t>(count);
  std::ptrdiff_t value = *bound;
  if (value < 0) {
    value += signed_count;
  }
  return static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(value, 0, signed_count));
}

// The name of the column that reset_index(false) adds, as pandas picks it.
std::string label_column_name(const std::vector<std::string>& names) {
  for (const char* candidate : {"index", "level_0"}) {
    if (std::find(names.begin(), names.end(), candidate) == names.end()) {
      return candidate;
    }
  }
  throw ValueError("reset_index: cannot insert 'level_0', already exists");
}

template <class Columns>
std::shared_ptr<DataFrame::Storage> build_storage(Columns& columns) {
  check_columns(columns);
  auto storage = std::make_shared<DataFrame::Storage>();
  storage->rows = columns.empty() ? 0 : columns.begin()->size();
  for (auto it = columns.begin(); it != columns.end(); ++it) {
    storage->names.push_back(it.key());
  }
  storage->cells.resize(storage->rows * storage->width());
  std::size_t c = 0;
  for (auto it = columns.begin(); it != columns.end(); ++it, ++c) {
    place_cells(*it, c, storage->width(), storage->cells);
  }
  return storage;
}

}  // namespace

std::size_t DataFrame::Storage::position_of(std::string_view column) const {
  const auto found = std::find(names.begin(), names.end(), column);
  if (found == names.end()) {
    throw KeyError("column " + internal::quoted(column) + " is not in the table");
  }
  return static_cast<std::size_t>(found - names.begin());
}

const Value& DataFrame::Row::operator[](std::string_view column) const {
  return storage_->row(base_row_)[storage_->position_of(column)];
}

DataFrame::DataFrame() : DataFrame(std::make_shared<const Storage>()) {}

DataFrame::DataFrame(const Value& columns) : DataFrame(build_storage(columns)) {}

DataFrame::DataFrame(Value&& columns) : DataFrame(build_storage(columns)) {}

DataFrame::DataFrame(std::shared_ptr<const Storage> storage)
    : storage_(std::move(storage)), rows_(storage_->rows) {}

const std::vector<std::string>& DataFrame::columns() const noexcept { return storage_->names; }

DataFrame::Row DataFrame::iloc(std::size_t i) const {
  if (i >= rows_) {
    throw IndexError("iloc: position " + std::to_string(i) + " is out of bounds for " +
                     std::to_string(rows_) + " rows");
  }
  return Row(storage_, base_rows_.at(i));
}

DataFrame DataFrame::iloc(std::optional<std::ptrdiff_t> start,
                          std::optional<std::ptrdiff_t> stop) const {
  const std::size_t first = slice_bound(start, rows_, 0);
  const std::size_t last = slice_bound(stop, rows_, rows_);
  DataFrame part = *this;
  part.rows_ = last > first ? last - first : 0;
  part.base_rows_.offset += first;
  part.labels_.offset += first;
  return part;
}

DataFrame DataFrame::sample(double frac, std::uint32_t random_state) const {
  const std::size_t taken = sample_size(frac, rows_);
  std::vector<std::size_t> order = internal::legacy_permutation(rows_, random_state);
  order.resize(taken);
  auto base_rows = std::make_shared<std::vector<std::size_t>>(taken);
  auto labels = std::make_shared<std::vector<std::size_t>>(taken);
  for (std::size_t i = 0; i < taken; ++i) {
    (*base_rows)[i] = base_rows_.at(order[i]);
    (*labels)[i] = labels_.at(order[i]);
  }
  DataFrame shuffled = *this;
  shuffled.rows_ = taken;
  shuffled.base_rows_ = {std::move(base_rows), 0};
  shuffled.labels_ = {std::move(labels), 0};
  return shuffled;
}

DataFrame DataFrame::reset_index(bool drop) const {
  if (drop) {
    DataFrame fresh = *this;
    fresh.labels_ = {};
    return fresh;
  }
  auto storage = std::make_shared<Storage>();
  storage->rows = rows_;
  storage->names.push_back(label_column_name(storage_->names));
  storage->names.insert(storage->names.end(), storage_->names.begin(), storage_->names.end());
  storage->cells.reserve(rows_ * storage->width());
  for (std::size_t i = 0; i < rows_; ++i) {
    storage->cells.emplace_back(static_cast<std::int64_t>(labels_.at(i)));
    const Value* row = storage_->row(base_rows_.at(i));
    storage->cells.insert(storage->cells.end(), row, row + storage_->width());
  }
  return DataFrame(std::move(storage));
}

Value DataFrame::to_dict() const {
  // Every key first: growing the object copies the entries that it already holds.
  Value columns = Value::object();
  for (const std::string& name : storage_->names) {
    columns[name] = Value::array();
  }
  for (std::size_t c = 0; c < storage_->names.size(); ++c) {
    std::vector<Value> cells = gather(c);
    columns[storage_->names[c]].get_ref<Value::array_t&>().swap(cells);
  }
  return columns;
}

std::vector<Value> DataFrame::gather(std::size_t column) const {
  std::vector<Value> cells;
  cells.reserve(rows_);
  for (std::size_t i = 0; i < rows_; ++i) {
    cells.push_back(storage_->row(base_rows_.at(i))[column]);
  }
  return cells;
}

}  // namespace tavrin::frame
