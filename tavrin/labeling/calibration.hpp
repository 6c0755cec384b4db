// A calibration of the confidences of a labelling job: from result lines that carry true
// labels, per field a fitted combination of the signals (logistic regression), a monotone map
// from it to the probability that the value is right (isotonic regression), and the lowest
// threshold whose precision reaches a target. A job run with it writes calibrated confidences
// and abstains (low_confidence) below each field's threshold.
//
//   Calibration calibration = calibrate({"test-results.jsonl"}, {.target_precision = 0.95});
//   calibration.fields.at("category").threshold   // -> 0.71, or nullopt when none reaches 95%
//   write_calibration("calibration.json", calibration);
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tavrin/core/value.hpp"
#include "tavrin/labeling/confidence.hpp"

namespace tavrin::labeling {

struct ResultLine;

/// The calibration of one target field.
struct FieldCalibration {
  std::vector<double> weights{};  // by feature_names()
  double intercept = 0;
  // The isotonic map from the combined score to a probability: increasing scores (each midway
  // between two blocks of the fit), each with the probability from it up to the next; below
  // the first, the first.
  std::vector<double> knots{};
  std::vector<double> probabilities{};
  // Calibrated confidences at or above it are accepted; nullopt when no threshold reached the
  // target precision (every value goes to review).
  std::optional<double> threshold{};

  // How the fit went, over the values it was made from.
  std::size_t values = 0;      // values with a true label and a confidence
  std::size_t right = 0;       // of them, right
  double coverage = 0;         // share of the values at or above the threshold
  double precision = 0;        // right among them (1 when none)
  double precision_bound = 0;  // its lower confidence bound, which the target is held to
  double ece_before = 0;       // expected calibration error of the fixed confidence
  double ece_after = 0;        // of the calibrated one, cross-validated
  double brier_before = 0;     // Brier score of the fixed confidence
  double brier_after = 0;      // of the calibrated one, cross-validated

  /// The fitted combination of `signals` (before the monotone map).
  double score(const Signals& signals) const;
  /// The calibrated probability that the value of `signals` is right; nullopt for a decision
  /// without a value.
  std::optional<double> confidence(const Signals& signals) const;
  /// Whether a value of calibrated `confidence` is accepted.
  bool accepts(double confidence) const { return threshold && confidence >= *threshold; }
};

struct CalibrationOptions {
  double target_precision = 0.95;
  // The precision held to the target is the lower bound of its Wilson interval at this
  // one-sided confidence, so that the threshold holds on records the fit did not see.
  double confidence_level = 0.95;
  std::vector<std::string> fields{};  // the fields to calibrate; empty: those of the results
  std::size_t folds = 5;              // of the cross-validated figures
};

/// A calibration of all the target fields of one kind of run.
struct Calibration {
  double target_precision = 0.95;
  double confidence_level = 0.95;
  // The settings of the run the results came from that a confidence depends on
  // (calibration_settings).
  Value settings = Value::object();
  std::map<std::string, FieldCalibration> fields{};

  /// Each field's threshold, for the fields that have one.
  std::map<std::string, double> thresholds() const;

  Value to_json() const;
  /// ValueError saying what is wrong with `json` (no calibration, a field's parts of unequal
  /// lengths, a threshold outside [0, 1]).
  static Calibration from_json(const Value& json);
};

/// The settings of a run (run_settings) that its confidences depend on: "target_fields",
/// "model", "template_sha256", "labels_sha256" and "embedding_models" (those present).
Value calibration_settings(const Value& run);

/// Fits a calibration to the results files at `paths` (the shards of one table), from every
/// value with a true label and a decision that leaves a value. The settings recorded beside
/// the files (run_settings_path) must agree; a file without them gives none. ValueError naming
/// the field when it has no such value, naming both files when their settings differ, and
/// those of read_results.
Calibration calibrate(const std::vector<std::string>& paths, const CalibrationOptions& options);

/// Throws ValueError, naming each difference, unless `calibration` was made from results with
/// the settings of `run` (a run's run_settings) for each of calibration_settings, and covers
/// each of its target fields. `calibration_path` names the file in the message.
void require_calibration_fits(const Calibration& calibration, const Value& run,
                              const std::string& calibration_path);

/// Reads a calibration written by write_calibration: ValueError naming the file when it is no
/// calibration; filesystem_error when it cannot be read.
Calibration read_calibration(const std::string& path);

/// Writes `calibration` to `path`, atomically.
void write_calibration(const std::string& path, const Calibration& calibration);

/// Writes into each field's decision of `line` (checked by `scored`) its "signals" and
/// "confidence": from `tokens` (the log-probabilities of the line's answer), the check, and
/// `examples` (the target values of the examples the prompt showed); `labels`: field name to
/// its allowed labels. With `calibration`, the calibrated confidence, and a value below its
/// field's threshold abstains: decision "low_confidence", checked value null, the decision and
/// value it had kept as "decision_before" and "checked_before". Without, fixed_confidence.
void write_confidences(ResultLine& line, const olvane::ScoredCheck& scored,
                       const std::vector<TokenLogprob>& tokens, const std::vector<Value>& examples,
                       const Value& labels, const Calibration* calibration);

/// One line per field for an operator: coverage at the threshold, precision, ECE before and
/// after, Brier score, and what happens when no threshold reached the target.
std::vector<std::string> calibration_lines(const Calibration& calibration);

}  // namespace tavrin::labeling
