#include "tavrin/labeling/plain_rules.hpp"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>

#include <utf8proc.h>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/excerpt.hpp"
#include "tavrin/core/text.hpp"

namespace tavrin::labeling {
namespace {

using tavrin::internal::in_quotes;

// NFKC of `text`, case folded when `fold`; nullopt when it is not UTF-8.
std::optional<std::string> unicode_folded(std::string_view text, bool fold) {
  utf8proc_uint8_t* mapped = nullptr;
  const auto options = static_cast<utf8proc_option_t>(
      UTF8PROC_STABLE | UTF8PROC_COMPOSE | UTF8PROC_COMPAT | (fold ? UTF8PROC_CASEFOLD : 0));
  const utf8proc_ssize_t length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &mapped, options);
  const std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(mapped, &std::free);
  if (length < 0) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(mapped), static_cast<std::size_t>(length));
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// `text` trimmed, each run of blanks (and of `also_blank` characters) one space.
std::string collapsed(std::string_view text, std::string_view also_blank) {
  std::string out;
  bool pending = false;
  for (const char c : text) {
    if (is_blank(c) || also_blank.find(c) != std::string_view::npos) {
      pending = !out.empty();
      continue;
    }
    if (pending) out += ' ';
    pending = false;
    out += c;
  }
  return out;
}

std::string folded_and_collapsed(std::string_view text, std::string_view also_blank) {
  const std::optional<std::string> folded = unicode_folded(text, true);
  return collapsed(folded ? *folded : text, also_blank);
}

// The singular forms an English plural `word` may stand for: "cats" -> "cat", "boxes" -> "box",
// "categories" -> "category".
std::vector<std::string> singulars(const std::string& word) {
  std::vector<std::string> forms;
  if (word.size() > 3 && word.ends_with("ies"))
    forms.push_back(word.substr(0, word.size() - 3) + "y");
  if (word.size() > 2 && word.ends_with("es")) forms.push_back(word.substr(0, word.size() - 2));
  if (word.size() > 1 && word.ends_with("s") && !word.ends_with("ss")) {
    forms.push_back(word.substr(0, word.size() - 1));
  }
  return forms;
}

// `value` without a leading qualifier ending in "." or ":" ("noun.animal" -> "animal"); nullopt
// when it has none.
std::optional<std::string> without_qualifier(const std::string& value) {
  const std::size_t mark = value.find_first_of(".:");
  if (mark == std::string::npos || mark == 0) return std::nullopt;
  std::string rest = collapsed(std::string_view(value).substr(mark + 1), "");
  if (rest.empty()) return std::nullopt;
  return rest;
}

}  // namespace

std::string normalized_label(std::string_view text) { return folded_and_collapsed(text, "-_/"); }

std::string no_answer_form(std::string_view text) { return folded_and_collapsed(text, ""); }

const std::vector<std::string>& default_no_answer_words() {
  static const std::vector<std::string> words = {
      "n/a", "na", "none", "null", "nil",    "unknown", "not sure", "not applicable", "no answer",
      "-",   "?",  "无",   "未知", "不确定", "不知道",  "没有",     "暂无",           "空"};
  return words;
}

void require_distinct_normalized(const Value& labels, const std::string& source) {
  for (const auto& [field, allowed] : labels.items()) {
    if (!allowed.is_array()) continue;
    std::map<std::string, std::string> seen;
    for (const Value& label : allowed) {
      if (!label.is_string()) continue;
      const std::string& text = label.get_ref<const std::string&>();
      const auto [at, added] = seen.try_emplace(normalized_label(text), text);
      if (!added && at->second != text) {
        throw ValueError(source + ": field " + in_quotes(field) + " has labels " +
                         in_quotes(at->second) + " and " + in_quotes(text) +
                         " that differ only in case, width, blanks or \"-\", \"_\", \"/\"; a "
                         "value written like either could not be told apart");
      }
    }
  }
}

PlainRules::PlainRules(const Value& labels, const std::vector<std::string>& no_answer_words) {
  require_distinct_normalized(labels, "labels");
  for (const auto& [name, allowed] : labels.items()) {
    if (!allowed.is_array()) continue;
    Field& field = fields_[name];
    field.labels = allowed;
    for (std::size_t i = 0; i < allowed.size(); ++i) {
      if (!allowed[i].is_string()) {
        field.all_text = false;
        continue;
      }
      const std::string& text = allowed[i].get_ref<const std::string&>();
      field.texts.insert(text);
      const std::string normalized = normalized_label(text);
      for (std::string& singular : singulars(normalized)) {
        field.by_singular.emplace(std::move(singular), i);
      }
      field.by_normalized.emplace(normalized, i);
    }
  }
  for (const std::string& word : default_no_answer_words())
    no_answer_.push_back(no_answer_form(word));
  for (const std::string& word : no_answer_words) no_answer_.push_back(no_answer_form(word));
  std::sort(no_answer_.begin(), no_answer_.end());
}

std::optional<std::size_t> PlainRules::variant_match(const Field& field,
                                                     const std::string& value) const {
  std::set<std::size_t> matches;
  const auto match = [&](const std::string& form) {
    const auto found = field.by_normalized.find(form);
    if (found != field.by_normalized.end()) matches.insert(found->second);
  };
  std::vector<std::string> forms = {value};
  if (auto rest = without_qualifier(value)) forms.push_back(std::move(*rest));
  for (const std::string& form : forms) {
    match(form);
    for (const std::string& singular : singulars(form)) match(singular);
    // The label a plural, the value its singular.
    const auto [first, last] = field.by_singular.equal_range(form);
    for (auto at = first; at != last; ++at) matches.insert(at->second);
  }
  if (matches.size() != 1) return std::nullopt;
  return *matches.begin();
}

std::optional<Settled> PlainRules::settle(const std::string& field, const Value& value) const {
  const auto found = fields_.find(field);
  if (found == fields_.end()) return std::nullopt;
  const Field& known = found->second;
  const bool is_label = value.is_string()
                            ? known.texts.contains(value.get_ref<const std::string&>())
                            : !known.all_text && std::find(known.labels.begin(), known.labels.end(),
                                                           value) != known.labels.end();
  if (is_label) return std::nullopt;  // the check keeps it
  const auto label_at = [&](std::size_t position) {
    return Settled{olvane::Decision::normalized, known.labels[position]};
  };
  if (value.is_null()) return Settled{olvane::Decision::no_answer, Value()};
  if (!value.is_string()) {
    if (!known.all_text) return std::nullopt;
    const std::string text = str(value);
    for (std::size_t i = 0; i < known.labels.size(); ++i) {
      if (known.labels[i].get_ref<const std::string&>() == text) return label_at(i);
    }
    return Settled{olvane::Decision::invalid, Value()};
  }
  const std::string normalized = normalized_label(value.get_ref<const std::string&>());
  if (!normalized.empty()) {
    const auto exact = known.by_normalized.find(normalized);
    if (exact != known.by_normalized.end()) return label_at(exact->second);
  }
  const std::string no_answer = no_answer_form(value.get_ref<const std::string&>());
  if (no_answer.empty() || std::binary_search(no_answer_.begin(), no_answer_.end(), no_answer)) {
    return Settled{olvane::Decision::no_answer, Value()};
  }
  if (normalized.empty()) return std::nullopt;
  if (const auto variant = variant_match(known, normalized)) return label_at(*variant);
  return std::nullopt;
}

}  // namespace tavrin::labeling
