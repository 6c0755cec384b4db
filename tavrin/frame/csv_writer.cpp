// DataFrame::to_csv: the CSV dialect of pandas' to_csv(index=False), with a lone '\r' quoted too.
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

#include "tavrin/core/text.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/frame/internal/atomic_file.hpp"
#include "tavrin/frame/internal/storage.hpp"

namespace tavrin::frame {
namespace {

// Output is handed to the file in blocks of about this size.
constexpr std::size_t kBlockSize = std::size_t{1} << 20;

bool needs_quotes(std::string_view field) {
  for (const char c : field) {
    if (c == ',' || c == '"' || c == '\n' || c == '\r') {
      return true;
    }
  }
  return false;
}

void append_field(std::string& out, std::string_view field) {
  if (!needs_quotes(field)) {
    out += field;
    return;
  }
  out += '"';
  for (const char c : field) {
    if (c == '"') {
      out += '"';
    }
    out += c;
  }
  out += '"';
}

template <class Integer>
void append_integer(std::string& out, Integer value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
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
      append_integer(out, cell.get<std::int64_t>());
      return;
    case Value::value_t::number_unsigned:
      append_integer(out, cell.get<std::uint64_t>());
      return;
    case Value::value_t::number_float:
      if (!std::isnan(cell.get<double>())) {
        out += str(cell);
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

// Ends a line; a line made of one empty field is written as "" so that it is not blank.
void end_line(std::string& out, std::size_t line_start, std::size_t fields) {
  if (fields == 1 && out.size() == line_start) {
    out += "\"\"";
  }
  out += '\n';
}

}  // namespace

void DataFrame::to_csv(const std::string& path, bool index) const {
  internal::AtomicFile file(path);
  std::string out;
  out.reserve(kBlockSize + kBlockSize / 4);
  const std::size_t fields = storage_->names.size() + (index ? 1 : 0);

  std::size_t line_start = out.size();
  const char* separator = index ? "," : "";
  for (const std::string& name : storage_->names) {
    out += separator;
    append_field(out, name);
    separator = ",";
  }
  end_line(out, line_start, fields);

  for (std::size_t i = 0; i < rows_; ++i) {
    line_start = out.size();
    const std::size_t base_row = base_rows_.at(i);
    separator = "";
    if (index) {
      append_integer(out, labels_.at(i));
      separator = ",";
    }
    for (const std::vector<Value>& column : storage_->cells) {
      out += separator;
      append_cell(out, column[base_row]);
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
