// The check of predictions: the plain rules, then the vector search of what they leave, with
// query vectors made beforehand so that the values of many predictions are embedded together:
// one call per embedding model for a batch (tavrin check), or one awaited call per model and
// answer (the job), with the decisions and scores of olvane::check_result_scored, bit for bit.
//
//   Checker checker(labels, {"类别"}, {});
//   auto checks = check_batch({{{"类别", "退 款"}}, {{"类别", "物流"}}}, checker, stores);
//   checks[0].checked_result   // -> {"类别": "退款"}, both values embedded in one call
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tavrin/core/value.hpp"
#include "tavrin/labeling/job.hpp"
#include "tavrin/labeling/plain_rules.hpp"
#include "tavrin/labeling/prompt.hpp"
#include "tavrin/olvane.hpp"
#include "tavrin/vectorstore/embeddings.hpp"

namespace tavrin::vectorstore {
class FAISS;
}  // namespace tavrin::vectorstore

namespace tavrin::labeling {

/// The values of one prediction that the check looks up in FAISS stores of one embedding model.
struct QueryGroup {
  std::shared_ptr<vectorstore::Embeddings> model;
  std::vector<std::string> texts;  // the query text of each value (FAISS::query_text)
  std::vector<std::pair<std::string, std::shared_ptr<const vectorstore::FAISS>>> stores{};
};

/// The look-ups of check_result_scored for `prediction` (olvane::values_to_look_up), grouped by
/// the embedding model of their store, in a fixed order. A store that is not a FAISS store
/// embeds its own queries and is left out. TypeError as values_to_look_up.
std::vector<QueryGroup> query_groups(const Value& prediction, const Value& labels,
                                     const std::vector<std::string>& fields,
                                     const StoreMap& stores);

/// Replaces in `stores` the store of each field of `group` by one searched with `vectors[i]`,
/// the vector of `group.texts[i]`: the same neighbours and scores as its own search. ValueError
/// when the counts differ.
void use_vectors(StoreMap& stores, const QueryGroup& group,
                 std::vector<std::vector<float>> vectors);

/// How a Checker settles predicted values.
struct CheckSettings {
  std::optional<double> min_score{};           // abstain (null) below this similarity
  std::vector<std::string> no_answer_words{};  // besides default_no_answer_words()
  // Fields whose value is a list of labels: each element is checked, and the checked value is
  // the list of the labels that came of them, without repeats.
  std::vector<std::string> multi_label{};
};

/// The check of the labelling job and of `tavrin check`: the plain rules first (PlainRules:
/// no-answer values, values of the wrong kind, labels written another way), then, for the
/// values they leave, olvane::check_result_scored: kept, or the nearest label of the field's
/// store (replaced), or null below `min_score` (abstained). The elements of a multi-label
/// field's list (a text counts as a list of one) are each checked so, their look-ups grouped
/// with the others; the field's decision is that of its first element that was not kept (kept
/// when all were; no_answer for an empty list).
///
///   Checker checker(labels, {"category"}, {.min_score = 0.3});
///   checker.check({{"category", "N/A"}}, stores).checked_result   // -> {"category": null}
///   checker.check({{"category", "Animals"}}, stores)               // -> normalized, "animal"
class Checker {
 public:
  /// `labels`: field name to its array of allowed labels. ValueError as PlainRules.
  Checker(Value labels, std::vector<std::string> fields, CheckSettings settings);

  /// A prediction with the plain rules applied.
  struct Ruled {
    Value predicted;                                      // the prediction as it came
    Value left = Value::object();                         // its values left to check_result_scored
    std::map<std::string, olvane::FieldCheck> settled{};  // the fields the rules settled
    // A multi-label field's value, its elements, and the check of each the rules settled.
    struct Elements {
      Value value{};
      Value items = Value::array();
      std::vector<std::optional<olvane::FieldCheck>> settled{};  // nullopt: left to the check
    };
    std::map<std::string, Elements> multi{};  // the multi-label fields with a value
  };

  /// The plain rules of each target field of `prediction`; TypeError when it is no object.
  Ruled rule(const Value& prediction) const;

  /// The values of `ruled` that the stores are searched for, as query_groups.
  std::vector<QueryGroup> query_groups(const Ruled& ruled, const StoreMap& stores) const;

  /// The check of `ruled`, its values left searched in `stores` (maybe with use_vectors): the
  /// fields in target order, as check_result_scored gives them, each settled field in its place.
  olvane::ScoredCheck finish(const Ruled& ruled, const StoreMap& stores) const;

  /// rule, then finish with the stores' own searches.
  olvane::ScoredCheck check(const Value& prediction, const StoreMap& stores) const;

  const Value& labels() const noexcept { return labels_; }
  const std::vector<std::string>& fields() const noexcept { return fields_; }
  const CheckSettings& settings() const noexcept { return settings_; }

 private:
  bool is_multi_label(const std::string& field) const;
  std::optional<olvane::FieldCheck> settled(const std::string& field, const Value& value) const;
  olvane::FieldCheck check_list(const std::string& field, const Ruled::Elements& elements,
                                const StoreMap& stores) const;

  Value labels_;
  std::vector<std::string> fields_;
  CheckSettings settings_;
  PlainRules rules_;
};

/// The check of each prediction, the values to look up of all of them embedded with one
/// async_embed_queries call per embedding model, awaited here: the decisions and scores of
/// checker.check, bit for bit. Errors are the checker's and the embedding model's.
std::vector<olvane::ScoredCheck> check_batch(const std::vector<Value>& predictions,
                                             const Checker& checker, const StoreMap& stores);

/// `record` with the fields of `scored` (its check) set to their checked values, and, with
/// `with_scores`, "decisions" holding each field's decision and scores. A field the record
/// lacks or holds as null stays as it is: there was nothing to search with.
Value checked_record(Value record, const olvane::ScoredCheck& scored, bool with_scores);

/// Predictions checked as they come, a batch at a time (check_batch), counted into one tally,
/// and handed back checked in the order they came.
///
///   PredictionChecker checker({labels, {"类别"}, {.min_score = 0.3}}, stores, {});
///   checker.add({{"id", 7}, {"类别", "退 款"}});
///   for (const Value& checked : checker.flush()) print(checked);  // {"id":7,"类别":"退款"}
class PredictionChecker {
 public:
  struct Settings {
    bool scores = false;     // add "decisions" to each checked record
    std::size_t batch = 64;  // predictions whose values are embedded together
  };

  PredictionChecker(Checker checker, StoreMap stores, Settings settings);

  /// Takes a prediction (an object); the batch is checked when full. What add or flush checked
  /// and not handed back yet is kept for flush.
  void add(Value prediction);

  /// Checks what is waiting and hands back every checked record not handed back yet, in the
  /// order they came. Errors are check_batch's.
  std::vector<Value> flush();

  /// The decisions counted so far (done: the records checked).
  const JobTally& tally() const noexcept { return tally_; }

 private:
  void check_waiting();

  Checker checker_;
  StoreMap stores_;
  Settings settings_;
  std::vector<Value> waiting_;
  std::vector<Value> checked_;
  JobTally tally_;
};

}  // namespace tavrin::labeling
