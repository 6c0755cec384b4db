// parse_answer: the mapping inside a model's free-text answer.
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/excerpt.hpp"
#include "tavrin/core/internal/source_text.hpp"
#include "tavrin/core/json.hpp"
#include "tavrin/core/literal.hpp"
#include "tavrin/palisk.hpp"

namespace tavrin::palisk {
namespace {

constexpr std::string_view kThinkOpen = "<think>";
constexpr std::string_view kThinkClose = "</think>";
constexpr std::size_t kNotFound = std::string_view::npos;

// How many bytes the search for a mapping may read, per byte of the answer (plus a floor): an
// answer of many unclosed braces would otherwise cost time quadratic in its length.
constexpr std::size_t kScanBudgetFactor = 8;
constexpr std::size_t kScanBudgetFloor = std::size_t{1} << 16;

// The answer without the reasoning blocks it opens with. A close without an open before it
// (some servers strip the opening tag) ends a block that began with the answer; an open
// without a close leaves nothing. Later tags are text: they may sit inside the mapping's
// strings.
std::string_view without_reasoning(std::string_view answer) {
  const std::size_t first_close = answer.find(kThinkClose);
  if (first_close != kNotFound && answer.substr(0, first_close).find(kThinkOpen) == kNotFound) {
    answer.remove_prefix(first_close + kThinkClose.size());
  }
  while (true) {
    const std::size_t start = answer.find_first_not_of(" \t\r\n");
    if (start == kNotFound || answer.compare(start, kThinkOpen.size(), kThinkOpen) != 0) {
      return answer;
    }
    const std::size_t close = answer.find(kThinkClose, start);
    if (close == kNotFound) return {};
    answer.remove_prefix(close + kThinkClose.size());
  }
}

// Reads the text from an opening brace as Python's tokenizer reads brackets, strings and
// comments, within a budget of bytes shared by all the spans tried.
class SpanScanner {
 public:
  SpanScanner(std::string_view text, std::size_t budget) : text_(text), budget_(budget) {}

  bool exhausted() const { return budget_ == 0; }

  // One past the brace that closes the one at `open`; kNotFound when it does not close.
  std::size_t span_end(std::size_t open) {
    std::size_t depth = 0;
    std::size_t i = open;
    while (i < text_.size() && spend()) {
      const char c = text_[i];
      if (c == '"' || c == '\'') {
        i = string_end(i);
        if (i == kNotFound) return kNotFound;
        continue;
      }
      if (c == '#') {
        i = text_.find('\n', i);
        if (i == kNotFound) return kNotFound;
        continue;
      }
      if (c == '{' || c == '[' || c == '(') {
        ++depth;
      } else if (c == '}' || c == ']' || c == ')') {
        if (--depth == 0) return c == '}' ? i + 1 : kNotFound;
      }
      ++i;
    }
    return kNotFound;
  }

 private:
  bool spend() {
    if (budget_ == 0) return false;
    --budget_;
    return true;
  }

  // One past the quote that closes the string opening at `i`; kNotFound when it does not
  // close, or when a one-line string meets a line end.
  std::size_t string_end(std::size_t i) {
    const char quote = text_[i];
    const std::string_view triple(text_.data() + i, std::min<std::size_t>(3, text_.size() - i));
    const bool is_triple = triple == std::string(3, quote);
    std::size_t j = i + (is_triple ? 3 : 1);
    while (j < text_.size() && spend()) {
      const char c = text_[j];
      if (c == '\\') {
        j += 2;
      } else if (!is_triple && (c == '\n' || c == '\r')) {
        return kNotFound;
      } else if (c == quote && (!is_triple || text_.compare(j, 3, std::string(3, quote)) == 0)) {
        return j + (is_triple ? 3 : 1);
      } else {
        ++j;
      }
    }
    return kNotFound;
  }

  std::string_view text_;
  std::size_t budget_;
};

// The span read as a JSON object, else as a Python literal mapping; nullopt when neither.
std::optional<Value> as_mapping(std::string_view span) {
  try {
    return json_loads(span);  // a brace-delimited JSON text is an object
  } catch (const std::invalid_argument&) {
  }
  try {
    Value v = literal_eval(span);
    if (v.is_object()) return v;
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
  }
  return std::nullopt;
}

// Calls `each` with every mapping of `text` that no other mapping holds, in order, until it
// returns false.
template <class Each>
void for_each_mapping(std::string_view text, Each each) {
  SpanScanner scanner(text, kScanBudgetFactor * text.size() + kScanBudgetFloor);
  for (std::size_t open = text.find('{'); open != kNotFound && !scanner.exhausted();) {
    const std::size_t end = scanner.span_end(open);
    std::optional<Value> mapping;
    if (end != kNotFound) mapping = as_mapping(text.substr(open, end - open));
    if (mapping && !each(std::move(*mapping))) return;
    open = text.find('{', mapping ? end : open + 1);
  }
}

[[noreturn]] void no_mapping(std::string_view answer) {
  throw ValueError("the answer holds no JSON object or Python mapping: " +
                   core::internal::quote(answer, 0, answer.size()) +
                   (answer.size() > tavrin::internal::kExcerptBytes ? "..." : ""));
}

std::size_t fields_held(const Value& mapping, const std::vector<std::string>& fields) {
  std::size_t held = 0;
  for (const std::string& field : fields) held += mapping.contains(field);
  return held;
}

}  // namespace

Value parse_answer(std::string_view answer) {
  std::optional<Value> first;
  for_each_mapping(without_reasoning(answer), [&](Value mapping) {
    first = std::move(mapping);
    return false;
  });
  if (!first) no_mapping(answer);
  return std::move(*first);
}

Value parse_answer(std::string_view answer, const std::vector<std::string>& target_fields) {
  std::optional<Value> best;
  std::size_t best_held = 0;
  for_each_mapping(without_reasoning(answer), [&](Value mapping) {
    const std::size_t held = fields_held(mapping, target_fields);
    if (!best || held >= best_held) {
      best = std::move(mapping);
      best_held = held;
    }
    return true;
  });
  if (!best) no_mapping(answer);
  return std::move(*best);
}

}  // namespace tavrin::palisk
