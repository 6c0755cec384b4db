// JSON Lines read a line at a time, so that memory holds one line and not the file: a job's
// results files, predictions to check. Every reader of the project goes through it, so that
// they agree on blank lines, a byte-order mark, carriage returns and the messages.
//
//   std::ifstream in("results.jsonl", std::ios::binary);
//   JsonLines lines(in, "results file 'results.jsonl'");
//   while (const auto line = lines.next()) {
//     Value record = lines.object(*line);  // ValueError: "... line 3 is not valid JSON: ..."
//   }
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "tavrin/core/value.hpp"

namespace tavrin {

/// One line of the input that is not blank.
struct JsonLine {
  std::size_t number = 0;  // from 1, blank lines counted
  std::string text;        // without its line feed and a carriage return before it
  bool terminated = true;  // a line feed ended it; only the last line of an input may lack one
};

/// The lines of `in`, which the reader does not own and which must outlive it. A byte-order
/// mark at the start is passed over.
class JsonLines {
 public:
  JsonLines(std::istream& in, std::string source);

  /// The next line that is not blank (blanks, tabs and carriage returns only), or nullopt at
  /// the end of the input or when reading fails (see failed()).
  std::optional<JsonLine> next();

  /// Whether reading failed (an I/O error, not the end of the input).
  bool failed() const;

  /// The bytes of the input up to the end of the last line read, blank ones included, that a
  /// line feed ended: where an append may go when the last line is torn.
  std::uintmax_t terminated_bytes() const noexcept { return terminated_bytes_; }

  /// "<source> line N", for messages.
  std::string where(const JsonLine& line) const;

  /// The line as a JSON object. ValueError "<source> line N is not valid JSON: <why>" or
  /// "<source> line N must be a JSON object, not '<excerpt>'".
  Value object(const JsonLine& line) const;

 private:
  std::istream& in_;
  std::string source_;
  std::size_t number_ = 0;
  std::uintmax_t terminated_bytes_ = 0;
};

}  // namespace tavrin
