#include "tavrin/labeling/checker.hpp"

#include <algorithm>
#include <map>
#include <utility>

#include "tavrin/core/errors.hpp"
#include "tavrin/labeling/results.hpp"
#include "tavrin/palisk.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"

namespace tavrin::labeling {
namespace {

// A field store searched with a vector made beforehand for the one value it is asked about.
class EmbeddedQuery : public vectorstore::VectorStore {
 public:
  EmbeddedQuery(std::shared_ptr<const vectorstore::FAISS> store, std::vector<float> vector)
      : store_(std::move(store)), vector_(std::move(vector)) {}

  std::vector<vectorstore::ScoredDocument> similarity_search_with_score(
      const Value& /*query*/, std::size_t topk) const override {
    return store_->similarity_search_with_score_by_vector(vector_, topk);
  }

 private:
  std::shared_ptr<const vectorstore::FAISS> store_;
  std::vector<float> vector_;
};

}  // namespace

namespace {

// Groups look-ups by the embedding model of their store.
class Grouping {
 public:
  explicit Grouping(const StoreMap& stores) : stores_(stores) {}

  // The look-up of `value` in the store of `field`, its searched store named `key` (use_vectors).
  void add(const std::string& field, const std::string& key, const Value& value) {
    const auto store = stores_.find(field);
    if (store == stores_.end()) return;  // check_result_scored names the missing store
    auto faiss = std::dynamic_pointer_cast<const vectorstore::FAISS>(store->second);
    if (!faiss) return;  // it embeds its own queries
    const auto [at, added] = group_of_.try_emplace(&faiss->embeddings(), groups_.size());
    if (added) groups_.push_back({faiss->embedding_model(), {}});
    QueryGroup& group = groups_[at->second];
    group.texts.push_back(vectorstore::FAISS::query_text(value));
    group.stores.emplace_back(key, std::move(faiss));
  }

  std::vector<QueryGroup> take() { return std::move(groups_); }

 private:
  const StoreMap& stores_;
  std::vector<QueryGroup> groups_;
  std::map<const vectorstore::Embeddings*, std::size_t> group_of_;
};

// The name of the searched store of element `position` of a multi-label field: no field name
// holds a unit separator.
std::string element_key(const std::string& field, std::size_t position) {
  return field + '\x1f' + std::to_string(position);
}

}  // namespace

std::vector<QueryGroup> query_groups(const Value& prediction, const Value& labels,
                                     const std::vector<std::string>& fields,
                                     const StoreMap& stores) {
  Grouping grouping(stores);
  for (const olvane::LookUp& look_up : olvane::values_to_look_up(prediction, labels, fields)) {
    grouping.add(look_up.field, look_up.field, look_up.value);
  }
  return grouping.take();
}

void use_vectors(StoreMap& stores, const QueryGroup& group,
                 std::vector<std::vector<float>> vectors) {
  if (vectors.size() != group.stores.size()) {
    throw ValueError("the embedding model gave " + std::to_string(vectors.size()) +
                     " vectors for " + std::to_string(group.stores.size()) + " texts");
  }
  for (std::size_t i = 0; i < group.stores.size(); ++i) {
    stores[group.stores[i].first] =
        std::make_shared<EmbeddedQuery>(group.stores[i].second, std::move(vectors[i]));
  }
}

Checker::Checker(Value labels, std::vector<std::string> fields, CheckSettings settings)
    : labels_(std::move(labels)),
      fields_(std::move(fields)),
      settings_(std::move(settings)),
      rules_(labels_.is_object() ? labels_ : Value::object(), settings_.no_answer_words) {}

bool Checker::is_multi_label(const std::string& field) const {
  const auto& multi = settings_.multi_label;
  return std::find(multi.begin(), multi.end(), field) != multi.end();
}

std::optional<olvane::FieldCheck> Checker::settled(const std::string& field,
                                                   const Value& value) const {
  const std::optional<Settled> settled = rules_.settle(field, value);
  if (!settled) return std::nullopt;
  olvane::FieldCheck check;
  check.field = field;
  check.predicted = value;
  check.checked = settled->checked;
  check.decision = settled->decision;
  if (settled->decision == olvane::Decision::normalized) check.score = 1.0;
  return check;
}

olvane::FieldCheck Checker::check_list(const std::string& field, const Ruled::Elements& elements,
                                       const StoreMap& stores) const {
  olvane::FieldCheck check;
  check.field = field;
  check.predicted = elements.value;
  check.checked = Value::array();
  check.decision = olvane::Decision::kept;
  for (std::size_t i = 0; i < elements.items.size(); ++i) {
    if (elements.settled[i]) {
      check.elements.push_back(*elements.settled[i]);
      continue;
    }
    // The element's own searched store when its vector was made beforehand, else the field's.
    StoreMap one;
    auto store = stores.find(element_key(field, i));
    if (store == stores.end()) store = stores.find(field);
    if (store != stores.end()) one[field] = store->second;
    Value element = Value::object();
    element[field] = elements.items[i];
    check.elements.push_back(
        olvane::check_result_scored(element, labels_, {field}, one, settings_.min_score)
            .fields.at(0));
  }
  bool decided = false;
  for (const olvane::FieldCheck& element : check.elements) {
    const Value& label = element.checked;
    if (!label.is_null() &&
        std::find(check.checked.begin(), check.checked.end(), label) == check.checked.end()) {
      check.checked.push_back(label);
    }
    if (!decided && element.decision != olvane::Decision::kept) {
      check.decision = element.decision;
      decided = true;
    }
  }
  if (check.elements.empty()) check.decision = olvane::Decision::no_answer;
  if (check.decision == olvane::Decision::kept) check.score = 1.0;
  return check;
}

Checker::Ruled Checker::rule(const Value& prediction) const {
  Ruled ruled{prediction};
  ruled.left = prediction;  // not an object: check_result_scored says so
  if (!prediction.is_object()) return ruled;
  for (const std::string& field : fields_) {
    if (ruled.settled.count(field) != 0) continue;
    const auto value = prediction.find(field);
    if (value == prediction.end()) continue;  // missing: nothing to settle
    if (is_multi_label(field)) {
      Ruled::Elements& elements = ruled.multi[field];
      elements.value = *value;
      // A text is a list of one; so is any other value that is no list.
      elements.items = value->is_array() ? *value : Value::array({*value});
      for (const Value& item : elements.items) elements.settled.push_back(settled(field, item));
      ruled.left.erase(field);
      continue;
    }
    std::optional<olvane::FieldCheck> check = settled(field, *value);
    if (!check) continue;
    ruled.settled.emplace(field, std::move(*check));
    ruled.left.erase(field);
  }
  return ruled;
}

std::vector<QueryGroup> Checker::query_groups(const Ruled& ruled, const StoreMap& stores) const {
  Grouping grouping(stores);
  for (const olvane::LookUp& look_up : olvane::values_to_look_up(ruled.left, labels_, fields_)) {
    grouping.add(look_up.field, look_up.field, look_up.value);
  }
  for (const auto& [field, elements] : ruled.multi) {
    for (std::size_t i = 0; i < elements.items.size(); ++i) {
      if (elements.settled[i]) continue;
      Value element = Value::object();
      element[field] = elements.items[i];
      if (olvane::values_to_look_up(element, labels_, {field}).empty()) continue;  // a label
      grouping.add(field, element_key(field, i), elements.items[i]);
    }
  }
  return grouping.take();
}

olvane::ScoredCheck Checker::finish(const Ruled& ruled, const StoreMap& stores) const {
  olvane::ScoredCheck scored =
      olvane::check_result_scored(ruled.left, labels_, fields_, stores, settings_.min_score);
  for (olvane::FieldCheck& check : scored.fields) {
    const auto settled = ruled.settled.find(check.field);
    if (settled != ruled.settled.end()) {
      check = settled->second;
    } else if (const auto multi = ruled.multi.find(check.field); multi != ruled.multi.end()) {
      check = check_list(check.field, multi->second, stores);
    } else {
      continue;
    }
    scored.checked_result[check.field] = check.checked;
  }
  return scored;
}

olvane::ScoredCheck Checker::check(const Value& prediction, const StoreMap& stores) const {
  return finish(rule(prediction), stores);
}

std::vector<olvane::ScoredCheck> check_batch(const std::vector<Value>& predictions,
                                             const Checker& checker, const StoreMap& stores) {
  // Every group of every prediction, then the texts of each model sent together.
  std::vector<Checker::Ruled> ruled;
  std::vector<std::vector<QueryGroup>> groups;
  struct Batch {
    std::vector<std::string> texts;
    std::vector<std::pair<std::size_t, std::size_t>> owners;  // prediction, group
  };
  std::map<vectorstore::Embeddings*, Batch> batches;
  for (std::size_t p = 0; p < predictions.size(); ++p) {
    ruled.push_back(checker.rule(predictions[p]));
    groups.push_back(checker.query_groups(ruled[p], stores));
    for (std::size_t g = 0; g < groups[p].size(); ++g) {
      Batch& batch = batches[groups[p][g].model.get()];
      batch.texts.insert(batch.texts.end(), groups[p][g].texts.begin(), groups[p][g].texts.end());
      batch.owners.emplace_back(p, g);
    }
  }
  std::vector<StoreMap> searched(predictions.size(), stores);
  for (auto& [model, batch] : batches) {
    // Queries, as the stores' own search embeds them (embed_query), not documents.
    std::vector<std::vector<float>> vectors =
        palisk::run_blocking(model->async_embed_queries(batch.texts));
    if (vectors.size() != batch.texts.size()) {
      throw ValueError("the embedding model gave " + std::to_string(vectors.size()) +
                       " vectors for " + std::to_string(batch.texts.size()) + " texts");
    }
    std::size_t next = 0;
    for (const auto& [p, g] : batch.owners) {
      const QueryGroup& group = groups[p][g];
      const auto first = vectors.begin() + static_cast<std::ptrdiff_t>(next);
      next += group.texts.size();
      use_vectors(searched[p], group,
                  {std::make_move_iterator(first),
                   std::make_move_iterator(vectors.begin() + static_cast<std::ptrdiff_t>(next))});
    }
  }
  std::vector<olvane::ScoredCheck> checks;
  checks.reserve(predictions.size());
  for (std::size_t p = 0; p < predictions.size(); ++p) {
    checks.push_back(checker.finish(ruled[p], searched[p]));
  }
  return checks;
}

Value checked_record(Value record, const olvane::ScoredCheck& scored, bool with_scores) {
  for (const olvane::FieldCheck& check : scored.fields) {
    if (check.decision != olvane::Decision::missing) record[check.field] = check.checked;
  }
  if (with_scores) record["decisions"] = scored.decisions();
  return record;
}

PredictionChecker::PredictionChecker(Checker checker, StoreMap stores, Settings settings)
    : checker_(std::move(checker)), stores_(std::move(stores)), settings_(settings) {
  for (const std::string& field : checker_.fields()) tally_.fields[field];
}

void PredictionChecker::add(Value prediction) {
  waiting_.push_back(std::move(prediction));
  if (waiting_.size() >= settings_.batch) check_waiting();
}

std::vector<Value> PredictionChecker::flush() {
  check_waiting();
  return std::exchange(checked_, {});
}

void PredictionChecker::check_waiting() {
  if (waiting_.empty()) return;
  const auto checks = check_batch(waiting_, checker_, stores_);
  for (std::size_t i = 0; i < waiting_.size(); ++i) {
    count_result(tally_, checked_line(Value(), Value(), checks[i], Value()), checker_.fields());
    checked_.push_back(checked_record(std::move(waiting_[i]), checks[i], settings_.scores));
  }
  waiting_.clear();
}

}  // namespace tavrin::labeling
