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

}  // namespace tavrin::labeling
