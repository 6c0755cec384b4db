// read_csv and CsvStream: two streaming passes over the file. The first checks the structure
// and finds the kind of each column, the second builds the cells directly in their final kind
// (read_csv all of them, CsvStream a chunk at a time). Neither pass holds more of the file than
// one block, so the peak memory of read_csv is the table itself.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/memory.hpp"
#include "tavrin/core/internal/utf8.hpp"
#include "tavrin/frame/csv_stream.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/frame/internal/message.hpp"
#include "tavrin/frame/internal/storage.hpp"

namespace tavrin::frame {
namespace {

constexpr std::size_t kBlockSize = std::size_t{4} << 20;
constexpr std::size_t kMinBlockSize = 4096;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// One field of the current record: a view into the reader's block, valid until the next record.
struct Field {
  std::string_view raw;         // the bytes between the quotes, or the unquoted bytes
  bool quoted = false;          // written between double quotes
  bool doubled_quotes = false;  // holds "" pairs that stand for one quote

  bool empty() const { return raw.empty(); }

  // The field's text; `scratch` holds it when doubled quotes had to be collapsed.
  std::string_view text(std::string& scratch) const {
    if (!doubled_quotes) {
      return raw;
    }
    scratch.clear();
    for (std::size_t i = 0; i < raw.size(); ++i) {
      scratch += raw[i];
      if (raw[i] == '"') {
        ++i;  // skip the second quote of the pair
      }
    }
    return scratch;
  }
};

std::string line_message(std::string_view what, std::size_t line) {
  return "read_csv: " + std::string(what) + " on line " + std::to_string(line);
}

// Streams the records of a CSV file block by block. A record that crosses the end of the
// block is parsed again once the block has been refilled; the block grows for longer records.
class RecordReader {
 public:
  explicit RecordReader(const std::string& path) : path_(path) {
    descriptor_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor_ < 0) {
      fail("read_csv: cannot open", errno);
    }
    block_.resize(first_block_size());
    fill();
    if (std::string_view(block_.data(), end_).starts_with(kByteOrderMark)) {
      begin_ = kByteOrderMark.size();
    }
  }
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;
  ~RecordReader() { ::close(descriptor_); }

  // The fields of the next non-blank record; false at the end of the file.
  bool next(std::vector<Field>& fields) {
    while (true) {
      if (begin_ == end_ && at_end_of_file_) {
        return false;
      }
      std::size_t newlines = 0;
      const std::size_t record_end = parse_record(fields, newlines);
      if (record_end == kIncomplete) {
        refill();
        continue;
      }
      check_utf8(record_end);
      begin_ = record_end;
      record_line_ = next_line_;
      next_line_ += newlines;
      if (!is_blank(fields)) {
        return true;
      }
    }
  }

  // The line on which the last record returned by next() starts, counting from 1.
  std::size_t line() const { return record_line_; }

 private:
  static constexpr std::size_t kIncomplete = std::numeric_limits<std::size_t>::max();

  static bool is_blank(const std::vector<Field>& fields) {
    return fields.size() == 1 && !fields[0].quoted && fields[0].empty();
  }

  // Parses the record at begin_; its end, or kIncomplete when the block ends first.
  std::size_t parse_record(std::vector<Field>& fields, std::size_t& newlines) const {
    fields.clear();
    const char* p = block_.data() + begin_;
    const char* const end = block_.data() + end_;
    while (true) {
      Field field;
      if (p < end && *p == '"') {
        if (!scan_quoted(p, end, field, newlines)) {
          return kIncomplete;
        }
      } else {
        const char* start = p;
        while (p < end && *p != ',' && *p != '\n' && *p != '\r') {
          ++p;
        }
        if (p == end && !at_end_of_file_) {
          return kIncomplete;
        }
        field.raw = std::string_view(start, static_cast<std::size_t>(p - start));
      }
      fields.push_back(field);
      if (p == end) {
        return end_;
      }
      if (*p == ',') {
        ++p;
        continue;
      }
      if (*p == '\r') {
        if (p + 1 == end && !at_end_of_file_) {
          return kIncomplete;  // a '\n' may follow in the next block
        }
        if (p + 1 < end && p[1] == '\n') {
          ++p;
        }
      }
      ++newlines;
      return static_cast<std::size_t>(p + 1 - block_.data());
    }
  }

  // Scans a quoted field starting at the opening quote `p`; false when the block ends first.
  bool scan_quoted(const char*& p, const char* end, Field& field, std::size_t& newlines) const {
    field.quoted = true;
    const char* const content = p + 1;
    const char* q = content;
    while (true) {
      const auto* quote =
          static_cast<const char*>(std::memchr(q, '"', static_cast<std::size_t>(end - q)));
      if (quote == nullptr || (quote + 1 == end && !at_end_of_file_)) {
        if (at_end_of_file_) {
          throw ValueError(line_message("unterminated quote", next_line_));
        }
        return false;
      }
      newlines += static_cast<std::size_t>(std::count(q, quote, '\n'));
      if (quote + 1 < end && quote[1] == '"') {
        field.doubled_quotes = true;
        q = quote + 2;
        continue;
      }
      field.raw = std::string_view(content, static_cast<std::size_t>(quote - content));
      p = quote + 1;
      if (p < end && *p != ',' && *p != '\n' && *p != '\r') {
        throw ValueError(line_message("text after a closing quote", next_line_ + newlines));
      }
      return true;
    }
  }

  void check_utf8(std::size_t record_end) const {
    if (!tavrin::internal::is_valid_utf8(
            std::string_view(block_.data() + begin_, record_end - begin_))) {
      throw ValueError(line_message("invalid UTF-8", next_line_));
    }
  }

  // A small file gets a small block: one byte more than the file, so that one read finds its end.
  std::size_t first_block_size() const {
    struct stat status {};
    if (::fstat(descriptor_, &status) != 0 || !S_ISREG(status.st_mode)) {
      return kBlockSize;
    }
    return std::clamp<std::size_t>(static_cast<std::size_t>(status.st_size) + 1, kMinBlockSize,
                                   kBlockSize);
  }

  // Moves the unparsed rest to the front, grows the block when the rest fills it, reads more.
  void refill() {
    std::memmove(block_.data(), block_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    if (end_ == block_.size()) {
      block_.resize(block_.size() * 2);
    }
    fill();
  }

  void fill() {
    while (end_ < block_.size()) {
      const ssize_t got = ::read(descriptor_, block_.data() + end_, block_.size() - end_);
      if (got < 0) {
        if (errno == EINTR) {
          continue;
        }
        fail("read_csv: cannot read", errno);
      }
      if (got == 0) {
        at_end_of_file_ = true;
        return;
      }
      end_ += static_cast<std::size_t>(got);
    }
  }

  [[noreturn]] void fail(const char* what, int error) const {
    throw std::filesystem::filesystem_error(what, path_,
                                            std::error_code(error, std::generic_category()));
  }

  std::string path_;
  int descriptor_ = -1;
  std::vector<char> block_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool at_end_of_file_ = false;
  std::size_t next_line_ = 1;
  std::size_t record_line_ = 1;
};

// What a column can still be read as; text is always possible.
constexpr unsigned kInteger = 1;
constexpr unsigned kFloat = 2;
constexpr unsigned kBool = 4;
constexpr unsigned kAnyKind = kInteger | kFloat | kBool;

// Decimal digits with an optional sign, within 64 bits.
bool parse_integer(std::string_view text, std::int64_t& value) {
  if (text.starts_with('+')) {
    text.remove_prefix(1);
    if (text.starts_with('-')) {
      return false;
    }
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

bool equals_ignoring_case(std::string_view text, std::string_view lower) {
  return std::equal(text.begin(), text.end(), lower.begin(), lower.end(),
                    [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a + 32 : a) == b; });
}

// Decimal numbers with an optional exponent, and the spellings Python's float() gives
// infinities and NaN; out-of-range values are not numbers (they would lose the text).
bool parse_float(std::string_view text, double& value) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (equals_ignoring_case(text, "inf") || equals_ignoring_case(text, "infinity")) {
    value = negative ? -std::numeric_limits<double>::infinity()
                     : std::numeric_limits<double>::infinity();
    return true;
  }
  if (equals_ignoring_case(text, "nan")) {
    value = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  const bool starts_like_number =
      !text.empty() && ((text[0] >= '0' && text[0] <= '9') || text[0] == '.');
  if (!starts_like_number) {
    return false;
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) {
    return false;
  }
  value = negative ? -value : value;
  return true;
}

unsigned kinds_of(std::string_view text) {
  if (text == "True" || text == "False") {
    return kBool;
  }
  std::int64_t integer = 0;
  if (parse_integer(text, integer)) {
    return kInteger | kFloat;
  }
  double number = 0;
  return parse_float(text, number) ? kFloat : 0;
}

// Pass one: the header, the number of rows and the kinds each column can take.
struct Layout {
  std::vector<std::string> names;
  std::vector<unsigned> kinds;
  std::size_t rows = 0;
};

std::vector<std::string> header_names(const std::vector<Field>& fields, std::size_t line) {
  std::vector<std::string> names;
  std::string scratch;
  for (const Field& field : fields) {
    std::string name(field.text(scratch));
    if (std::find(names.begin(), names.end(), name) != names.end()) {
      throw ValueError(line_message("duplicate column name " + internal::quoted(name), line));
    }
    names.push_back(std::move(name));
  }
  return names;
}

void check_width(const std::vector<Field>& fields, std::size_t columns, std::size_t line) {
  if (fields.size() > columns) {
    throw ValueError(line_message(
        "expected " + std::to_string(columns) + " fields, saw " + std::to_string(fields.size()),
        line));
  }
}

Layout scan_layout(const std::string& path) {
  RecordReader reader(path);
  std::vector<Field> fields;
  if (!reader.next(fields)) {
    throw ValueError("read_csv: no header line in the file");
  }
  Layout layout;
  layout.names = header_names(fields, reader.line());
  layout.kinds.assign(layout.names.size(), kAnyKind);
  std::string scratch;
  while (reader.next(fields)) {
    check_width(fields, layout.names.size(), reader.line());
    for (std::size_t c = 0; c < fields.size(); ++c) {
      if (layout.kinds[c] != 0 && !fields[c].empty()) {
        layout.kinds[c] &= kinds_of(fields[c].text(scratch));
      }
    }
    ++layout.rows;
  }
  return layout;
}

// Pass two: one cell in the column's final kind. A field that no longer fits the kind means
// the file changed between the passes.
Value make_cell(const Field& field, unsigned kinds, std::string& scratch, std::size_t line) {
  if (field.empty()) {
    return Value();
  }
  const std::string_view text = field.text(scratch);
  if (kinds & kInteger) {
    std::int64_t integer = 0;
    if (parse_integer(text, integer)) {
      return Value(integer);
    }
  } else if (kinds & kFloat) {
    double number = 0;
    if (parse_float(text, number)) {
      return Value(number);
    }
  } else if (kinds & kBool) {
    if (text == "True" || text == "False") {
      return Value(text == "True");
    }
  } else {
    return Value(std::string(text));
  }
  throw ValueError(line_message("the file changed while it was read", line));
}

// Pass two starts: the header line must be the one pass one read.
void skip_header(RecordReader& reader, const Layout& layout, std::vector<Field>& fields) {
  if (!reader.next(fields) || fields.size() != layout.names.size()) {
    throw ValueError(line_message("the file changed while it was read", 1));
  }
}

// Pass two, one record: appends its cells to `cells`; false at the end of the file.
bool read_row(RecordReader& reader, const Layout& layout, std::vector<Field>& fields,
              std::string& scratch, std::vector<Value>& cells) {
  if (!reader.next(fields)) {
    return false;
  }
  const std::size_t width = layout.names.size();
  check_width(fields, width, reader.line());
  for (std::size_t c = 0; c < width; ++c) {
    cells.push_back(c < fields.size()
                        ? make_cell(fields[c], layout.kinds[c], scratch, reader.line())
                        : Value());
  }
  return true;
}

std::shared_ptr<DataFrame::Storage> read_cells(const std::string& path, const Layout& layout) {
  auto storage = std::make_shared<DataFrame::Storage>();
  storage->names = layout.names;
  const std::size_t width = storage->width();
  storage->cells.reserve(layout.rows * width);
  // Rows are later visited in shuffled order; on huge pages that costs far fewer TLB misses.
  tavrin::internal::advise_huge_pages(storage->cells.data(),
                                      storage->cells.capacity() * sizeof(Value));
  RecordReader reader(path);
  std::vector<Field> fields;
  std::string scratch;
  skip_header(reader, layout, fields);
  while (read_row(reader, layout, fields, scratch, storage->cells)) {
    ++storage->rows;
  }
  return storage;
}

}  // namespace

DataFrame read_csv(const std::string& path) {
  const Layout layout = scan_layout(path);
  return DataFrame(read_cells(path, layout));
}

struct CsvStream::Impl {
  std::string path;
  Layout layout;
  std::unique_ptr<RecordReader> reader;  // pass two, opened by the first next()
  bool at_end = false;
  std::vector<Field> fields;
  std::string scratch;
};

CsvStream::CsvStream(const std::string& path) : CsvStream(path, {}) {}

CsvStream::CsvStream(const std::string& path, const std::vector<std::string>& as_text)
    : impl_(std::make_unique<Impl>()) {
  impl_->path = path;
  impl_->layout = scan_layout(path);
  Layout& layout = impl_->layout;
  for (std::size_t c = 0; c < layout.names.size(); ++c) {
    if (std::find(as_text.begin(), as_text.end(), layout.names[c]) != as_text.end()) {
      layout.kinds[c] = 0;  // no kind but text
    }
  }
}

CsvStream::CsvStream(CsvStream&&) noexcept = default;
CsvStream& CsvStream::operator=(CsvStream&&) noexcept = default;
CsvStream::~CsvStream() = default;

const std::vector<std::string>& CsvStream::columns() const noexcept { return impl_->layout.names; }
std::size_t CsvStream::size() const noexcept { return impl_->layout.rows; }

DataFrame CsvStream::next(std::size_t rows) {
  Impl& s = *impl_;
  auto storage = std::make_shared<DataFrame::Storage>();
  storage->names = s.layout.names;
  if (!s.at_end && !s.reader) {
    s.reader = std::make_unique<RecordReader>(s.path);
    skip_header(*s.reader, s.layout, s.fields);
  }
  storage->cells.reserve(std::min(rows, s.layout.rows) * storage->width());
  while (!s.at_end && storage->rows < rows) {
    if (read_row(*s.reader, s.layout, s.fields, s.scratch, storage->cells)) {
      ++storage->rows;
    } else {
      s.at_end = true;
      s.reader.reset();
    }
  }
  return DataFrame(std::move(storage));
}

void CsvStream::rewind() {
  impl_->reader.reset();
  impl_->at_end = false;
}

}  // namespace tavrin::frame
