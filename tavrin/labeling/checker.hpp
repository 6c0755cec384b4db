// The check of predictions with query vectors made beforehand, so that the values of many
// predictions are embedded together: one call per embedding model for a batch (tavrin check),
// or one awaited call per model and answer (the job), with the decisions and scores of
// olvane::check_result_scored, bit for bit.
//
//   auto checks = check_batch({{{"类别", "退 款"}}, {{"类别", "物流"}}}, labels, {"类别"}, stores);
//   checks[0].checked_result   // -> {"类别": "退款"}, both values embedded in one call
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tavrin/core/value.hpp"
#include "tavrin/labeling/job.hpp"
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

/// check_result_scored of each prediction, the values to look up of all of them embedded with
/// one async_embed_queries call per embedding model, awaited here. Errors are check_result_scored's
/// and the embedding model's.
std::vector<olvane::ScoredCheck> check_batch(const std::vector<Value>& predictions,
                                             const Value& labels,
                                             const std::vector<std::string>& fields,
                                             const StoreMap& stores,
                                             std::optional<double> min_score = std::nullopt);

/// `record` with the fields of `scored` (its check) set to their checked values, and, with
/// `with_scores`, "decisions" holding each field's decision and scores. A field the record
/// lacks or holds as null stays as it is: there was nothing to search with.
Value checked_record(Value record, const olvane::ScoredCheck& scored, bool with_scores);

/// Predictions checked as they come, a batch at a time (check_batch), counted into one tally,
/// and handed back checked in the order they came.
///
///   PredictionChecker checker(labels, {"类别"}, stores, {.min_score = 0.3});
///   checker.add({{"id", 7}, {"类别", "退 款"}});
///   for (const Value& checked : checker.flush()) print(checked);  // {"id":7,"类别":"退款"}
class PredictionChecker {
 public:
  struct Settings {
    std::optional<double> min_score{};  // abstain (null) below this similarity
    bool scores = false;                // add "decisions" to each checked record
    std::size_t batch = 64;             // predictions whose values are embedded together
  };

  PredictionChecker(Value labels, std::vector<std::string> fields, StoreMap stores,
                    Settings settings);

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

  Value labels_;
  std::vector<std::string> fields_;
  StoreMap stores_;
  Settings settings_;
  std::vector<Value> waiting_;
  std::vector<Value> checked_;
  JobTally tally_;
};

}  // namespace tavrin::labeling
