// The labelled table: the input records with, per target field, the checked value, the
// decision and the confidence of its result as new columns.
//
//   ExportCounts counts = export_labelled({"part-0.jsonl", "part-1.jsonl"}, "records.csv",
//                                         "labelled.csv", {.fields = {"category"}});
//   // labelled.csv: id,question,category_checked,category_decision,category_confidence
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tavrin::labeling {

struct ExportOptions {
  std::string id_column = "id";
  std::vector<std::string> fields{};  // empty: the fields of the results' decisions
};

struct ExportCounts {
  std::size_t rows = 0;            // records written
  std::size_t labelled = 0;        // of them, with a result
  std::size_t failed = 0;          // of them, whose result is an error (decision "failed")
  std::size_t without_result = 0;  // of them, without one (empty columns)
  std::size_t unmatched = 0;       // results whose id no record has
};

/// Writes to `out_path` (CSV, atomically) the records of `records_path`, read a chunk at a
/// time with the ids as text, each with "<field>_checked", "<field>_decision" and
/// "<field>_confidence" from its result in the files at `results` (joined by id as text; the
/// shards of one table). A record without a result keeps empty columns. ValueError for a
/// missing id column, a new column name the table already has, and read_results' errors.
ExportCounts export_labelled(const std::vector<std::string>& results,
                             const std::string& records_path, const std::string& out_path,
                             const ExportOptions& options);

}  // namespace tavrin::labeling
