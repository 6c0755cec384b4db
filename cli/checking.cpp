#include "cli/checking.hpp"

#include <algorithm>
#include <cstdio>
#include <set>
#include <utility>

#include "tavrin/core/check.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/olvane.hpp"

namespace tavrin::cli {
namespace {

const Value& field_or_null(const Value& record, const std::string& field) {
  static const Value kNull;
  const auto it = record.find(field);
  return it == record.end() ? kNull : *it;
}

// Takes from `pool` the first correction of a field not yet shown this round whose value was
// not shown before; fields take turns so one field cannot fill the summary.
std::vector<Correction> take_in_turns(const std::vector<const Correction*>& pool,
                                      std::size_t count) {
  std::vector<Correction> picked;
  std::set<std::pair<std::string, std::string>> seen;
  std::set<std::string> fields_this_round;
  bool progressed = true;
  while (picked.size() < count && progressed) {
    progressed = false;
    fields_this_round.clear();
    for (const Correction* c : pool) {
      if (picked.size() == count) break;
      if (fields_this_round.count(c->field) != 0) continue;
      if (!seen.insert({c->field, c->from.dump()}).second) continue;
      fields_this_round.insert(c->field);
      picked.push_back(*c);
      progressed = true;
    }
  }
  return picked;
}

}  // namespace

Value check_prediction(const Value& prediction, const Value& labels,
                       const std::vector<std::string>& fields, const StoreMap& stores,
                       CheckTally& tally, const CheckSettings& settings) {
  require_object(prediction, "prediction");
  const olvane::ScoredCheck scored =
      olvane::check_result_scored(prediction, labels, fields, stores, settings.min_score);
  Value out = prediction;
  for (const olvane::FieldCheck& check : scored.fields) {
    if (check.decision == olvane::Decision::missing) {
      ++tally.missing;
      continue;
    }
    ++tally.checked;
    out[check.field] = check.checked;
    if (check.decision == olvane::Decision::kept) {
      ++tally.kept;
      continue;
    }
    ++(check.decision == olvane::Decision::replaced ? tally.replaced : tally.abstained);
    tally.corrections.push_back({check.field, check.predicted, check.checked, std::nullopt,
                                 check.score, check.nearest ? Value(*check.nearest) : Value()});
  }
  if (settings.scores) out["decisions"] = scored.decisions();
  ++tally.records;
  return out;
}

bool matches_truth(const Value& predicted, const Value& truth) {
  return !predicted.is_null() && str(predicted) == str(truth);
}

void score_record(const Value& truth, const Value& predicted, const Value& checked,
                  std::vector<FieldScore>& scores) {
  for (FieldScore& score : scores) {
    const Value& true_label = field_or_null(truth, score.field);
    score.right_before += matches_truth(field_or_null(predicted, score.field), true_label);
    score.right_after += matches_truth(field_or_null(checked, score.field), true_label);
    ++score.total;
  }
}

FieldScore total_score(const std::vector<FieldScore>& scores) {
  FieldScore total{"all fields"};
  for (const FieldScore& s : scores) {
    total.right_before += s.right_before;
    total.right_after += s.right_after;
    total.total += s.total;
  }
  return total;
}

std::string percent(std::size_t part, std::size_t of) {
  if (of == 0) return "n/a";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%", 100.0 * static_cast<double>(part) / of);
  return text;
}

std::vector<Correction> pick_examples(const std::vector<Correction>& corrections,
                                      std::size_t count) {
  std::vector<const Correction*> right;
  std::vector<const Correction*> wrong;
  for (const Correction& c : corrections) {
    (c.right == false ? wrong : right).push_back(&c);
  }
  const bool show_wrong = !wrong.empty() && count > 1;
  std::vector<Correction> picked = take_in_turns(right, show_wrong ? count - 1 : count);
  if (show_wrong) picked.push_back(*wrong.front());
  return picked;
}

}  // namespace tavrin::cli
