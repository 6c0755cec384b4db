// A CSV file read a chunk of rows at a time, for a job whose memory must not grow with its
// input: the same cells, column kinds and errors as read_csv, which reads the whole file.
//
//   CsvStream records("records.csv");    // reads the file once: its structure, column kinds
//   records.columns()                     // -> {"id", "question"}
//   for (DataFrame chunk = records.next(256); chunk.size() > 0; chunk = records.next(256)) {
//     chunk.iloc(0)["id"]                 // -> 1, as read_csv("records.csv").iloc(0)["id"]
//   }
//   records.rewind();                     // the next chunk is the first one again
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "tavrin/frame/dataframe.hpp"

namespace tavrin::frame {

/// Movable, not copyable.
class CsvStream {
 public:
  /// Reads `path` once as read_csv's first pass does (the header, the structure of every line,
  /// the kind of every column), with read_csv's errors, so that a malformed file fails here
  /// and not in the middle of a job. Holds one block of the file at most.
  explicit CsvStream(const std::string& path);
  /// The same, with the columns named in `as_text` read as the text that stands in the file
  /// (an id "07585557" stays "07585557"; an empty field is still null). Other names are passed
  /// over.
  CsvStream(const std::string& path, const std::vector<std::string>& as_text);
  CsvStream(CsvStream&&) noexcept;
  CsvStream& operator=(CsvStream&&) noexcept;
  ~CsvStream();

  /// Column names, in file order.
  const std::vector<std::string>& columns() const noexcept;
  /// Rows in the file, as the first pass counted them.
  std::size_t size() const noexcept;

  /// The next `rows` rows (fewer at the end of the file, none after it) as a table of their
  /// own, with read_csv's cells. ValueError when the file changed since the first pass so that
  /// a field no longer fits its column's kind; filesystem_error when it cannot be read.
  DataFrame next(std::size_t rows);

  /// Starts again from the first row; the file is opened anew on the next call to next().
  void rewind();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tavrin::frame
