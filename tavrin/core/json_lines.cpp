#include "tavrin/core/json_lines.hpp"

#include <istream>
#include <utility>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/excerpt.hpp"
#include "tavrin/core/internal/utf8.hpp"
#include "tavrin/core/json.hpp"

namespace tavrin {
namespace {

bool is_blank(const std::string& line) {
  return line.find_first_not_of(" \t\r") == std::string::npos;
}

}  // namespace

JsonLines::JsonLines(std::istream& in, std::string source) : in_(in), source_(std::move(source)) {}

std::optional<JsonLine> JsonLines::next() {
  JsonLine line;
  while (std::getline(in_, line.text)) {
    line.number = ++number_;
    line.terminated = !in_.eof();
    if (line.terminated) terminated_bytes_ += line.text.size() + 1;
    if (line.number == 1) {
      line.text.erase(0, line.text.size() - internal::without_bom(line.text).size());
    }
    if (!line.text.empty() && line.text.back() == '\r') line.text.pop_back();
    if (!is_blank(line.text)) return line;
  }
  return std::nullopt;
}

bool JsonLines::failed() const { return in_.bad(); }

std::string JsonLines::where(const JsonLine& line) const {
  return source_ + " line " + std::to_string(line.number);
}

Value JsonLines::object(const JsonLine& line) const {
  Value value;
  try {
    value = json_loads(line.text);
  } catch (const ValueError& e) {
    throw ValueError(where(line) + " is not valid JSON: " + e.what());
  }
  if (!value.is_object()) {
    throw ValueError(where(line) + " must be a JSON object, not " + internal::in_quotes(line.text));
  }
  return value;
}

}  // namespace tavrin
