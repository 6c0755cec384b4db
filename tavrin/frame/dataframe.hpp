// A table of rows under ordered, named columns, with CSV reading and writing and a seeded
// shuffle that gives the same row order as numpy's legacy RandomState permutation.
//
//   DataFrame t(Value{{"q", {"a", "b", "c"}}, {"n", {1, 2, 3}}});
//   t.iloc(1)["q"]                              // -> "b"
//   t.sample(1, 42).reset_index(true).iloc(std::nullopt, 2).size()   // -> 2
//   t.to_csv("t.csv");                          // q,n\na,1\nb,2\nc,3\n
//
// Cost model: cells are stored once, row by row, and shared between every table derived from
// the same source. A table is a view of that storage through a row-position map, so
// copying a table, iloc(start, stop) and reset_index(true) are O(1) or O(columns); sample is
// O(rows) index work. No cell is ever copied by those. The constructors, read_csv,
// reset_index(false) and to_dict build or copy cells.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavrin/core/value.hpp"

namespace tavrin::frame {

class DataFrame {
 public:
  /// The shared cell storage; opaque outside this component.
  struct Storage;

  /// One row of a table. Cheap to copy; it shares the cell storage, so the references that
  /// operator[] returns stay valid as long as this row or any table over the same cells lives.
  class Row {
   public:
    /// The cell of this row in `column`, unchanged. KeyError naming `column` when the table
    /// has no such column.
    const Value& operator[](std::string_view column) const;

   private:
    friend class DataFrame;
    Row(std::shared_ptr<const Storage> storage, std::size_t base_row)
        : storage_(std::move(storage)), base_row_(base_row) {}
    std::shared_ptr<const Storage> storage_;
    std::size_t base_row_;
  };

  /// A table with no columns and no rows.
  DataFrame();

  /// A table from an object of column name -> array of cells (copied; the rvalue overload
  /// moves them). TypeError when `columns` is not an object or a column is not an array
  /// (naming the column); ValueError when the arrays differ in length.
  explicit DataFrame(const Value& columns);
  explicit DataFrame(Value&& columns);

  /// Number of rows.
  std::size_t size() const noexcept { return rows_; }

  /// Column names, in table order.
  const std::vector<std::string>& columns() const noexcept;

  /// The row at position `i` (0 .. size() - 1); IndexError naming `i` otherwise. O(1).
  Row iloc(std::size_t i) const;

  /// The rows of the half-open position range [start, stop), all columns. An open start is 0,
  /// an open stop is size(); a negative bound counts back from the end; bounds are then
  /// clamped to 0 .. size(), and start >= stop gives no rows. O(1): shares cells and row map.
  DataFrame iloc(std::optional<std::ptrdiff_t> start, std::optional<std::ptrdiff_t> stop) const;

  /// A shuffled table of round(frac * size()) rows (ties to even), in the order of numpy's
  /// RandomState(random_state).permutation(size()), first positions first; row labels follow
  /// their rows. ValueError when `frac` is not within 0 .. 1. O(rows), no cell copies.
  DataFrame sample(double frac, std::uint32_t random_state) const;

  /// The same rows in the same order with fresh labels 0 .. size() - 1. With `drop` false the
  /// old labels become a first integer column named "index" ("level_0" when "index" is
  /// taken; ValueError when both are): that copies every cell. With `drop` true it is O(1).
  DataFrame reset_index(bool drop) const;

  /// Writes the table as CSV: a header line, one line per row, ',' separator, '\n' line ends,
  /// UTF-8. A field is quoted (inner quotes doubled) when it holds ',', '"', '\n' or '\r'; a
  /// line whose only field is empty is written as "". Cells are written as tavrin::str gives
  /// them; null and NaN cells are empty fields. With `index` the row labels come first under
  /// an empty column name. A first column name that starts with a UTF-8 BOM is quoted, so that
  /// readers do not drop it. The file is written beside `path` under a temporary name, flushed
  /// to disk and renamed into place (a replaced file keeps its permissions), so a failure never
  /// leaves a truncated file; I/O failures throw std::filesystem::filesystem_error naming the
  /// path.
  void to_csv(const std::string& path, bool index = false) const;

  /// Every cell, as an object of column name -> array of cells in row order (copies).
  Value to_dict() const;

 private:
  // Maps a position of this table to a position in the storage (or to a row label): through
  // `map` when it is set, else the identity; both shifted by `offset`.
  struct PositionMap {
    std::shared_ptr<const std::vector<std::size_t>> map;
    std::size_t offset = 0;
    std::size_t at(std::size_t i) const noexcept { return map ? (*map)[offset + i] : offset + i; }
  };

  friend DataFrame read_csv(const std::string& path);
  friend class CsvStream;
  explicit DataFrame(std::shared_ptr<const Storage> storage);
  // The cells of column `column` in this table's row order (copies).
  std::vector<Value> gather(std::size_t column) const;

  std::shared_ptr<const Storage> storage_;
  PositionMap base_rows_;
  PositionMap labels_;
  std::size_t rows_ = 0;
};

/// Reads a CSV file (RFC 4180: quoted fields may hold commas, doubled quotes and line breaks;
/// "\n" or "\r\n" line ends; a UTF-8 BOM is dropped). The first line names the columns. Each
/// column gets one kind: integers when every non-empty field is one (64-bit), else floats when
/// every one is a number, else bools when every one is True or False, else text. Only an empty
/// field is null; empty lines are skipped (to_csv writes a lone empty field as ""). A line with
/// fewer fields than the header is filled with nulls; more fields, an unterminated quote, text
/// after a closing quote or invalid UTF-8 is a ValueError naming the line. I/O failures throw
/// std::filesystem::filesystem_error naming the path. Reads the file twice, block by block:
/// memory holds the table and one block, never the whole file.
DataFrame read_csv(const std::string& path);

}  // namespace tavrin::frame
