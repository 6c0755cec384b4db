// Checking predictions against the label stores, and scoring them against true labels: what
// `tavrin check` and `tavrin demo` report.
//
//   CheckTally tally;
//   Value out = check_prediction(R"({"id":7,"category":"售后服务部"})"_json, labels,
//                                {"category"}, stores, tally);
//   // out == {"id":7,"category":"售后服务"}; tally.replaced == 1
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "cli/common.hpp"
#include "tavrin/core/value.hpp"

namespace tavrin::cli {

/// One predicted value that checking replaced, or abstained on (`to` is then null), with the
/// nearest label and its similarity. `right` is known only when the true label is.
struct Correction {
  std::string field;
  Value from;
  Value to;
  std::optional<bool> right;
  std::optional<double> score;
  Value nearest;
};

/// Counts over many checked predictions.
struct CheckTally {
  std::size_t records = 0;
  std::size_t checked = 0;    // fields that held a value and went through check_result
  std::size_t kept = 0;       // of those, values that already were allowed labels
  std::size_t replaced = 0;   // of those, values replaced by the nearest label
  std::size_t abstained = 0;  // of those, values no label was similar enough to (now null)
  std::size_t missing = 0;    // fields the prediction left out or set to null
  std::vector<Correction> corrections;
};

/// How check_prediction decides.
struct CheckSettings {
  std::optional<double> min_score;  // abstain (null) below this similarity
  bool scores = false;              // add "decisions": each field's decision and scores
};

/// A copy of `prediction` whose `fields` hold their checked values (olvane's scored check,
/// which agrees with check_result when no min_score is set). A field the prediction lacks or
/// holds as null stays as it is: there is nothing to search with. Throws what check_result
/// throws; a `prediction` that is not an object is a TypeError.
Value check_prediction(const Value& prediction, const Value& labels,
                       const std::vector<std::string>& fields, const StoreMap& stores,
                       CheckTally& tally, const CheckSettings& settings = {});

/// Whether a predicted value equals the true label, compared as text (a CSV reader may have
/// typed the true label as a number). A missing value is never right.
bool matches_truth(const Value& predicted, const Value& truth);

/// Accuracy of one field before and after checking.
struct FieldScore {
  std::string field;
  std::size_t right_before = 0;
  std::size_t right_after = 0;
  std::size_t total = 0;
};

/// Adds one record to `scores` (one entry per field, in field order): `truth` holds the true
/// labels, `predicted` and `checked` the values before and after checking.
void score_record(const Value& truth, const Value& predicted, const Value& checked,
                  std::vector<FieldScore>& scores);

/// The fields together.
FieldScore total_score(const std::vector<FieldScore>& scores);

/// "86.3%" for 863 of 1000; "n/a" when `of` is 0.
std::string percent(std::size_t part, std::size_t of);

/// Up to `count` telling corrections for a summary: distinct replaced values, fields taken in
/// turn, right corrections first and one wrong one (if any) last, so the summary stays honest.
std::vector<Correction> pick_examples(const std::vector<Correction>& corrections,
                                      std::size_t count);

}  // namespace tavrin::cli
