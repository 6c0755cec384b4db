// The rules a predicted value meets before any vector search: a value that says there is no
// answer is no answer, a value of another kind than the labels is invalid, and a label written
// another way (case, width, blanks, "-", "_", "/", an English plural, a leading qualifier) is
// that label. None of them needs an embedding, and none forces a value onto a label that is not
// plainly it.
//
//   PlainRules rules(Value{{"category", {"animal", "plant"}}}, {});
//   rules.settle("category", "Animals")       // -> normalized, "animal"
//   rules.settle("category", "N/A")           // -> no_answer, null
//   rules.settle("category", 42)              // -> invalid, null
//   rules.settle("category", "fungus")        // -> nullopt: left for the vector search
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tavrin/core/value.hpp"
#include "tavrin/olvane.hpp"

namespace tavrin::labeling {

/// `text` as labels are compared: Unicode NFKC, case folded, with "-", "_" and "/" read as
/// blanks, blanks trimmed and runs of them made one. Text that is not UTF-8 is compared as it is.
std::string normalized_label(std::string_view text);

/// The words that say "no answer", compared with a value by no_answer_form:
/// "n/a", "na", "none", "null", "nil", "unknown", "not sure", …, "暂无", "空".
const std::vector<std::string>& default_no_answer_words();

/// `text` as no-answer words are compared: NFKC, case folded, trimmed, runs of blanks made one.
std::string no_answer_form(std::string_view text);

/// ValueError naming the field and both labels when two labels of a field of `labels` (field to
/// array) have the same normalized_label: a value written like either would be ambiguous.
void require_distinct_normalized(const Value& labels, const std::string& source);

/// How the plain rules settled a value.
struct Settled {
  olvane::Decision decision = olvane::Decision::no_answer;
  Value checked{};  // the label, when normalized; else null
};

/// The plain rules of the fields of a labels object.
class PlainRules {
 public:
  /// `labels`: field name to its array of allowed labels. `no_answer_words`: words that say "no
  /// answer" besides default_no_answer_words. ValueError as require_distinct_normalized.
  PlainRules(const Value& labels, const std::vector<std::string>& no_answer_words);

  /// How the rules settle `value`, predicted for `field`; nullopt for a value they leave to the
  /// check: a label itself, and a text that is no label written another way. In order:
  /// - null, a blank text or a no-answer word: no_answer, unless it is a label written another
  ///   way;
  /// - a value that is no text while the field's labels are all texts: the label that is its
  ///   text form, or invalid;
  /// - a text equal to exactly one label after normalized_label: normalized;
  /// - else, when exactly one label matches with an English plural ending ("s", "es", "ies" for
  ///   "y") on the value or the label, or without a qualifier ending in "." or ":" that leads the
  ///   value ("noun.animal", "category: animal"): normalized.
  /// A field without labels here is left to the check.
  std::optional<Settled> settle(const std::string& field, const Value& value) const;

 private:
  // Looked up, not scanned: a field may have thousands of labels, and every value is settled.
  struct Field {
    Value labels;                                      // as given
    bool all_text = true;                              // every label is a text
    std::set<std::string> texts;                       // the labels that are texts
    std::map<std::string, std::size_t> by_normalized;  // normalized_label to position
    // A singular form a normalized label may be the plural of, to its positions.
    std::multimap<std::string, std::size_t> by_singular;
  };
  std::optional<std::size_t> variant_match(const Field& field, const std::string& value) const;

  std::map<std::string, Field> fields_;
  std::vector<std::string> no_answer_;  // no_answer_form of each word, sorted
};

}  // namespace tavrin::labeling
