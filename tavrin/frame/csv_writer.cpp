// DataFrame::to_csv and CsvWriter: the CSV dialect of pandas' to_csv(index=False), with a lone
// '\r' quoted too.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/append.hpp"
#include "tavrin/core/internal/atomic_file.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/frame/csv_writer.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/frame/internal/storage.hpp"

namespace tavrin::frame {
namespace {

// Output is handed to the file in blocks of about this size.
constexpr std::size_t kBlockSize = std::size_t{1} << 20;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool is_special(char c) { return c == ',' || c == '"' || c == '\n' || c == '\r'; }

// Whether any byte of `word` equals the byte that `pattern` repeats (exact, no false hits).
constexpr std::uint64_t kLowBits = 0x0101010101010101u;
constexpr std::uint64_t kHighBits = 0x8080808080808080u;
bool has_byte(std::uint64_t word, std::uint64_t pattern) {
  const std::uint64_t v = word ^ pattern;
  return ((v - kLowBits) & ~v & kHighBits) != 0;
}

// Whether the field holds a byte that forces quotes; eight bytes at a time.
bool needs_quotes(std::string_view field) {
  std::size_t i = 0;
  for (; i + 8 <= field.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, field.data() + i, 8);
    if (has_byte(word, ',' * kLowBits) || has_byte(word, '"' * kLowBits) ||
        has_byte(word, '\n' * kLowBits) || has_byte(word, '\r' * kLowBits)) {
      return true;
    }
  }
  return std::any_of(field.begin() + static_cast<std::ptrdiff_t>(i), field.end(), is_special);
}

void append_quoted(std::string& out, std::string_view field) {
  out += '"';
  for (std::size_t quote; (quote = field.find('"')) != std::string_view::npos;) {
    out.append(field.substr(0, quote + 1));
    out += '"';
    field.remove_prefix(quote + 1);
  }
  out.append(field);
  out += '"';
}

void append_field(std::string& out, std::string_view field) {
  if (needs_quotes(field)) {
    append_quoted(out, field);
  } else {
    out += field;
  }
}

// A cell as tavrin::str writes it; null and NaN are missing values and write nothing.
void append_cell(std::string& out, const Value& cell) {
  switch (cell.type()) {
    case Value::value_t::null:
      return;
    case Value::value_t::boolean:
      out += cell.get<bool>() ? "True" : "False";
      return;
    case Value::value_t::number_integer:
      tavrin::internal::append_chars(out, cell.get<std::int64_t>());
      return;
    case Value::value_t::number_unsigned:
      tavrin::internal::append_chars(out, cell.get<std::uint64_t>());
      return;
    case Value::value_t::number_float:
      if (!std::isnan(cell.get<double>())) {
        tavrin::internal::repr_into(out, cell);  // str of a float is its repr
      }
      return;
    case Value::value_t::string:
      append_field(out, cell.get_ref<const std::string&>());
      return;
    default:
      append_field(out, str(cell));
      return;
  }
}

// Rows of a shuffled table sit at random places in memory, so writing one waits on memory far
// more than it computes. The writer asks for what a later row needs in three steps, each one
// using what the previous step fetched: the row's cells, then its string objects, then their
// bytes.
constexpr std::size_t kCellDistance = 16;
constexpr std::size_t kStringDistance = 8;
constexpr std::size_t kBytesDistance = 4;
constexpr std::size_t kCacheLine = 64;

void prefetch_bytes(const void* start, std::size_t size) {
  const char* bytes = static_cast<const char*>(start);
  for (std::size_t offset = 0; offset < size; offset += kCacheLine) {
    __builtin_prefetch(bytes + offset);
  }
}

void prefetch_cells(std::span<const Value> row) { prefetch_bytes(row.data(), row.size_bytes()); }

void prefetch_strings(std::span<const Value> row) {
  for (const Value& cell : row) {
    if (const auto* text = cell.get_ptr<const std::string*>()) {
      __builtin_prefetch(text);
    }
  }
}

void prefetch_string_bytes(std::span<const Value> row) {
  for (const Value& cell : row) {
    if (const auto* text = cell.get_ptr<const std::string*>()) {
      prefetch_bytes(text->data(), text->size());
    }
  }
}

// Ends a line; a line made of one empty field is written as "" so that it is not blank.
void end_line(std::string& out, std::size_t line_start, std::size_t fields) {
  if (fields == 1 && out.size() == line_start) {
    out += "\"\"";
  }
  out += '\n';
}

// The header line: the column names, after an empty name for the index when there is one.
void append_header(std::string& out, const std::vector<std::string>& names, bool index) {
  const std::size_t line_start = out.size();
  std::string_view separator = index ? "," : "";
  for (const std::string& name : names) {
    out += separator;
    if (out.size() == line_start && name.starts_with(kByteOrderMark)) {
      append_quoted(out, name);  // else readers would take the name's first character for a BOM
    } else {
      append_field(out, name);
    }
    separator = ",";
  }
  end_line(out, line_start, names.size() + (index ? 1 : 0));
}

}  // namespace

CsvWriter::CsvWriter(const std::string& path, const std::vector<std::string>& columns)
    : file_(std::make_unique<tavrin::internal::AtomicFile>(path)), width_(columns.size()) {
  if (columns.empty()) throw ValueError("a CSV file needs at least one column");
  append_header(out_, columns, false);
}

CsvWriter::~CsvWriter() = default;

void CsvWriter::write_row(std::span<const Value> cells) {
  if (cells.size() != width_) {
    throw ValueError("a row of " + std::to_string(cells.size()) + " cells for " +
                     std::to_string(width_) + " columns");
  }
  const std::size_t line_start = out_.size();
  std::string_view separator;
  for (const Value& cell : cells) {
    out_ += separator;
    append_cell(out_, cell);
    separator = ",";
  }
  end_line(out_, line_start, width_);
  if (out_.size() >= kBlockSize) {
    file_->write(out_);
    out_.clear();
  }
}

void CsvWriter::commit() {
  file_->write(out_);
  out_.clear();
  file_->commit();
}

void DataFrame::to_csv(const std::string& path, bool index) const {
  tavrin::internal::AtomicFile file(path);
  std::string out;
  out.reserve(kBlockSize);
  const std::size_t fields = storage_->names.size() + (index ? 1 : 0);

  append_header(out, storage_->names, index);
  std::size_t line_start = out.size();
  std::string_view separator;

  const auto row_at = [&](std::size_t i) {
    return std::span<const Value>(storage_->row(base_rows_.at(i)), storage_->width());
  };
  for (std::size_t i = 0; i < rows_; ++i) {
    if (i + kCellDistance < rows_) {
      prefetch_cells(row_at(i + kCellDistance));
    }
    if (i + kStringDistance < rows_) {
      prefetch_strings(row_at(i + kStringDistance));
    }
    if (i + kBytesDistance < rows_) {
      prefetch_string_bytes(row_at(i + kBytesDistance));
    }
    line_start = out.size();
    separator = "";
    if (index) {
      tavrin::internal::append_chars(out, labels_.at(i));
      separator = ",";
    }
    for (const Value& cell : row_at(i)) {
      out += separator;
      append_cell(out, cell);
      separator = ",";
    }
    end_line(out, line_start, fields);
    if (out.size() >= kBlockSize) {
      file.write(out);
      out.clear();
    }
  }
  file.write(out);
  file.commit();
}

}  // namespace tavrin::frame
