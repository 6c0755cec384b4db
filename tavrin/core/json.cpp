#include "tavrin/core/json.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/source_text.hpp"

namespace tavrin {
namespace {

// Deeper texts are refused (Python's json.loads gives up near here too), so that no consumer of
// the Value has to recurse further than this.
constexpr std::size_t kMaxDepth = 1000;

// Objects with more members than this find repeated keys through a hash index.
constexpr std::size_t kLinearLookupLimit = 16;

// Calls `visit(offset)` for each byte of `text` outside string literals until it returns true;
// returns that offset, or the text's size. Only used to locate a fault after the parser.
template <typename Visit>
std::size_t find_outside_strings(std::string_view text, Visit visit) {
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (in_string) {
      if (text[i] == '\\')
        ++i;
      else if (text[i] == '"')
        in_string = false;
    } else if (text[i] == '"') {
      in_string = true;
    } else if (visit(i)) {
      return i;
    }
  }
  return text.size();
}

// Builds the Value from the parser's events, in place. Unlike nlohmann's own builder it finds a
// repeated key in constant time, refuses integers beyond 64 bits instead of rounding them to a
// double, and bounds the nesting.
class Builder {
 public:
  explicit Builder(std::string_view text) : text_(text) {}

  bool null() { return put(Value(nullptr)); }
  bool boolean(bool b) { return put(Value(b)); }
  bool number_integer(std::int64_t n) { return put(Value(n)); }
  bool number_unsigned(std::uint64_t n) { return put(Value(n)); }
  bool number_float(double d, const std::string& spelling) {
    if (spelling.find_first_of(".eE") == std::string::npos) {
      const auto is_number_char = [&](std::size_t i) {
        return i < text_.size() &&
               (std::isdigit(static_cast<unsigned char>(text_[i])) != 0 || text_[i] == '-');
      };
      return refuse(
          "integer outside the 64-bit range", find_outside_strings(text_, [&](std::size_t i) {
            return text_.substr(i, spelling.size()) == spelling &&
                   (i == 0 || !is_number_char(i - 1)) && !is_number_char(i + spelling.size());
          }));
    }
    return put(Value(d));
  }
  bool string(std::string& s) { return put(Value(std::move(s))); }
  bool binary(Value::binary_t& b) { return put(Value::binary(std::move(b))); }

  bool start_object(std::size_t /*elements*/) { return open(Value::object()); }
  bool start_array(std::size_t /*elements*/) { return open(Value::array()); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(std::string& k) {
    Frame& frame = frames_.back();
    auto& members = frame.container->get_ref<Value::object_t&>();
    using Members = Value::object_t::Container;
    auto& entries = static_cast<Members&>(members);
    if (const auto index = find_member(frame, entries, k)) {
      frame.slot = &entries[*index].second;  // a repeated key: first place, last value
      *frame.slot = nullptr;
      return true;
    }
    if (!frame.index.empty()) frame.index.emplace(k, entries.size());
    entries.emplace_back(std::move(k), nullptr);
    frame.slot = &entries.back().second;
    return true;
  }

  bool parse_error(std::size_t position, const std::string& last_token, const std::exception& ex) {
    // nlohmann reports the count of bytes read: a syntax error is at the last of them, a number
    // too large for a double spans the last token.
    const std::string_view what = ex.what();
    const std::size_t back =
        what.find("syntax error") != std::string_view::npos ? 1 : last_token.size();
    return refuse(reason(what), position >= back ? position - back : 0);
  }

  Value result() && { return std::move(root_); }

  [[noreturn]] void throw_failure() const {
    const std::size_t offset = std::min(failure_offset_, text_.size());
    throw ValueError("json_loads: " + failure_ + " at " +
                     core::internal::line_and_column(text_, offset) + ": " +
                     core::internal::quote(text_, offset, text_.size()));
  }

 private:
  struct Frame {
    Value* container = nullptr;
    Value* slot = nullptr;  // objects: where the value of the last key goes
    std::unordered_map<std::string, std::size_t> index;
  };

  // nlohmann's message without its "[json.exception...] parse error at ...: " prefix and its
  // echo of the input.
  static std::string reason(std::string_view what) {
    if (const std::size_t start = what.find("syntax error"); start != std::string_view::npos) {
      what.remove_prefix(start);
    } else if (const std::size_t bracket = what.find("] "); bracket != std::string_view::npos) {
      what.remove_prefix(bracket + 2);
    }
    what = what.substr(0, what.find("; last read"));
    return std::string(what.substr(0, what.find(" parsing '")));  // the number is quoted later
  }

  bool refuse(std::string why, std::size_t offset) {
    failure_ = std::move(why);
    failure_offset_ = offset;
    return false;
  }

  static std::optional<std::size_t> find_member(Frame& frame,
                                                const Value::object_t::Container& entries,
                                                const std::string& k) {
    if (entries.size() <= kLinearLookupLimit) {
      for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].first == k) return i;
      }
      return std::nullopt;
    }
    if (frame.index.empty()) {
      for (std::size_t i = 0; i < entries.size(); ++i) frame.index.emplace(entries[i].first, i);
    }
    const auto it = frame.index.find(k);
    if (it == frame.index.end()) return std::nullopt;
    return it->second;
  }

  // Stores `v` where the innermost open container expects its next value.
  Value* place(Value&& v) {
    if (frames_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    Frame& frame = frames_.back();
    if (frame.container->is_array()) {
      auto& elements = frame.container->get_ref<Value::array_t&>();
      elements.push_back(std::move(v));
      return &elements.back();
    }
    *frame.slot = std::move(v);
    return frame.slot;
  }

  bool put(Value&& v) {
    place(std::move(v));
    return true;
  }

  bool open(Value&& container) {
    if (frames_.size() >= kMaxDepth) {
      std::size_t depth = 0;
      return refuse("nesting deeper than " + std::to_string(kMaxDepth) + " levels",
                    find_outside_strings(text_, [&](std::size_t i) {
                      if (text_[i] == '[' || text_[i] == '{') return ++depth > kMaxDepth;
                      if (text_[i] == ']' || text_[i] == '}') --depth;
                      return false;
                    }));
    }
    Frame frame;
    frame.container = place(std::move(container));
    frames_.push_back(std::move(frame));
    return true;
  }

  bool close() {
    frames_.pop_back();
    return true;
  }

  std::string_view text_;
  Value root_;
  std::vector<Frame> frames_;
  std::string failure_;
  std::size_t failure_offset_ = 0;
};

}  // namespace

Value json_loads(std::string_view text) {
  Builder builder(text);
  if (!Value::sax_parse(text.begin(), text.end(), &builder)) builder.throw_failure();
  return std::move(builder).result();
}

}  // namespace tavrin
