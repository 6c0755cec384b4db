// A CSV file written a row at a time, for a table that is never whole in memory: the dialect
// of DataFrame::to_csv, and like it, the file appears at its path complete or not at all.
//
//   CsvWriter out("labelled.csv", {"id", "category"});
//   out.write_row(std::vector<Value>{"07", "billing"});
//   out.commit();   // labelled.csv: id,category\n07,billing\n; without commit nothing appears
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "tavrin/core/value.hpp"

namespace tavrin::internal {
class AtomicFile;
}  // namespace tavrin::internal

namespace tavrin::frame {

class CsvWriter {
 public:
  /// Starts the file at `path` (under a temporary name beside it) with the header `columns`;
  /// ValueError for no column, filesystem_error naming `path` when it cannot be created.
  CsvWriter(const std::string& path, const std::vector<std::string>& columns);
  CsvWriter(const CsvWriter&) = delete;
  CsvWriter& operator=(const CsvWriter&) = delete;
  /// Removes the temporary file unless commit() succeeded.
  ~CsvWriter();

  /// Appends a row, each cell as to_csv writes it; ValueError when the cells are not one per
  /// column.
  void write_row(std::span<const Value> cells);

  /// Flushes the rows and renames the file into place.
  void commit();

 private:
  std::unique_ptr<internal::AtomicFile> file_;
  std::string out_;
  std::size_t width_;
};

}  // namespace tavrin::frame
