#include "tavrin/labeling/export.hpp"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/core/value.hpp"
#include "tavrin/frame/csv_stream.hpp"
#include "tavrin/frame/csv_writer.hpp"
#include "tavrin/labeling/journal.hpp"
#include "tavrin/labeling/results.hpp"

namespace tavrin::labeling {
namespace {

constexpr std::size_t kChunkRows = 4096;

// A cell of the labelled table: text as it is, any other value in its JSON form.
Value cell(const Value& value) {
  if (value.is_null() || value.is_string()) return value;
  return value.dump();
}

// The new cells of a result: checked value, decision and confidence per field.
std::vector<Value> cells_of(const ResultLine& line, const std::vector<std::string>& fields) {
  std::vector<Value> cells;
  for (const std::string& field : fields) {
    if (line.error) {
      cells.insert(cells.end(), {Value(), "failed", Value()});
      continue;
    }
    const Value decision = line.decisions.value(field, Value::object());
    const Value confidence = decision.value("confidence", Value());
    cells.insert(cells.end(),
                 {cell(line.checked.value(field, Value())), decision.value("decision", Value()),
                  confidence.is_number() ? confidence : Value()});
  }
  return cells;
}

}  // namespace

ExportCounts export_labelled(const std::vector<std::string>& results,
                             const std::string& records_path, const std::string& out_path,
                             const ExportOptions& options) {
  std::vector<std::string> fields = options.fields;
  std::vector<ResultLine> lines;
  read_results(results, [&](const ResultLine& line) {
    if (options.fields.empty() && line.decisions.is_object()) {
      for (const auto& [field, decision] : line.decisions.items()) {
        if (std::find(fields.begin(), fields.end(), field) == fields.end()) fields.push_back(field);
      }
    }
    lines.push_back(line);
  });
  struct Cells {
    std::vector<Value> cells;
    bool joined = false;
  };
  std::unordered_map<std::string, Cells> by_id;
  for (const ResultLine& line : lines)
    by_id.emplace(id_key(line.id), Cells{cells_of(line, fields)});
  lines.clear();

  frame::CsvStream records(records_path, {options.id_column});
  std::vector<std::string> columns = records.columns();
  if (std::find(columns.begin(), columns.end(), options.id_column) == columns.end()) {
    throw ValueError("the records " + repr(Value(records_path)) + " have no id column " +
                     repr(Value(options.id_column)));
  }
  const std::size_t width = columns.size();
  for (const std::string& field : fields) {
    for (const char* suffix : {"_checked", "_decision", "_confidence"}) {
      const std::string name = field + suffix;
      if (std::find(columns.begin(), columns.end(), name) != columns.end()) {
        throw ValueError("the records already have a column " + repr(Value(name)));
      }
      columns.push_back(name);
    }
  }
  ExportCounts counts;
  frame::CsvWriter out(out_path, columns);
  std::vector<Value> row(columns.size());
  for (frame::DataFrame chunk = records.next(kChunkRows); chunk.size() > 0;
       chunk = records.next(kChunkRows)) {
    for (std::size_t r = 0; r < chunk.size(); ++r) {
      const auto record = chunk.iloc(r);
      for (std::size_t c = 0; c < width; ++c) row[c] = record[columns[c]];
      const auto result = by_id.find(id_key(record[options.id_column]));
      std::fill(row.begin() + static_cast<std::ptrdiff_t>(width), row.end(), Value());
      if (result != by_id.end()) {
        const std::vector<Value>& cells = result->second.cells;
        std::copy(cells.begin(), cells.end(), row.begin() + static_cast<std::ptrdiff_t>(width));
        result->second.joined = true;
        ++counts.labelled;
        counts.failed += cells.size() > 1 && cells[1] == "failed";
      } else {
        ++counts.without_result;
      }
      out.write_row(row);
      ++counts.rows;
    }
  }
  out.commit();
  counts.unmatched = static_cast<std::size_t>(std::count_if(
      by_id.begin(), by_id.end(), [](const auto& entry) { return !entry.second.joined; }));
  return counts;
}

}  // namespace tavrin::labeling
