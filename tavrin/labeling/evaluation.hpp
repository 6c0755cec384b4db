// How well a labelling run did, from its results files (the shards of one table) in one
// streaming pass: accuracy, coverage, a confusion matrix, precision, recall and F1 per label,
// calibration of the confidences, the risk-coverage curve, similarity histograms, decisions,
// cost, and examples. What the HTML report (html_report.hpp) and `tavrin report` show.
//
//   Evaluation e = evaluate_results({"part-0.jsonl", "part-1.jsonl"});
//   e.all.accuracy()           // -> 0.91: checked values equal to their true label
//   e.fields[0].macro_f1       // -> 0.87 over the labels of the first field
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tavrin/core/value.hpp"
#include "tavrin/labeling/job.hpp"

namespace tavrin::labeling {

/// Precision, recall and F1 of one label, from the (true, checked) pairs of a tally.
struct LabelScore {
  std::string label;
  std::size_t support = 0;    // values whose true label it is
  std::size_t predicted = 0;  // checked values that are it
  std::size_t right = 0;      // both
  double precision = 0;       // right / predicted; 0 when never predicted
  double recall = 0;          // right / support; 0 when never the true label
  double f1 = 0;
};

/// The scores of every label that occurs in `t` as a true or a checked label, by label.
std::vector<LabelScore> label_scores(const FieldTally& t);

/// The mean F1 of `scores`; nullopt when there are none.
std::optional<double> macro_f1(const std::vector<LabelScore>& scores);

/// Up to `count` most frequent confusions of `t` (a wrong checked value that is not null),
/// most frequent first: "refund -> billing 12".
std::vector<std::string> top_confusions(const FieldTally& t, std::size_t count);

/// True against checked labels, the most frequent labels (as true or checked) in order of
/// frequency, the others summed as "other"; a last column counts the values left null.
struct ConfusionMatrix {
  std::vector<std::string> labels;  // rows and columns, "other" last when some were grouped
  bool grouped = false;             // whether the last label is "other"
  // cells[row][column]: rows the true labels, columns the checked ones and then null.
  std::vector<std::vector<std::size_t>> cells;
};

/// One bin of the reliability diagram: values whose confidence is in [lower, upper).
struct ReliabilityBin {
  double lower = 0;
  double upper = 0;
  std::size_t count = 0;
  std::size_t right = 0;
  double mean_confidence = 0;  // 0 when empty
  double accuracy = 0;         // right / count; 0 when empty
};

/// A point of the risk-coverage curve: the values whose confidence is at least `confidence`.
struct CurvePoint {
  double confidence = 0;
  std::size_t count = 0;  // values kept
  double coverage = 0;    // count over the values with a confidence and a true label
  double accuracy = 0;    // right among those kept
};

/// Counts of values by their similarity score in bins of equal width over [0, 1] (a score
/// below 0 counts in the first bin, above 1 in the last).
struct Histogram {
  std::vector<std::size_t> right;
  std::vector<std::size_t> wrong;
};

/// One value shown as an example.
struct EvaluationExample {
  Value id;
  std::string field;
  std::string decision;
  Value predicted;
  Value checked;
  Value truth;  // null when unknown
  std::optional<double> score;
  std::optional<double> confidence;
};

/// The figures of one field, or of all fields together.
struct FieldEvaluation {
  std::string field;        // "all fields" for the whole
  FieldTally tally;         // decisions and counts over the true labels (count_result)
  std::size_t values = 0;   // every record's value, a failed record's included
  std::size_t covered = 0;  // of them, checked values that are not null

  std::vector<LabelScore> labels;
  std::optional<double> macro_f1;
  ConfusionMatrix confusion;

  // Over the values with a confidence and a true label.
  std::size_t with_confidence = 0;  // values with a confidence, true label or not
  double mean_confidence = 0;       // of those
  std::vector<ReliabilityBin> reliability;
  std::optional<double> ece;  // expected calibration error; nullopt with no value to bin
  std::vector<CurvePoint> risk_coverage;
  std::optional<double> threshold;
  std::optional<CurvePoint> at_threshold;

  Histogram similarity;  // of replaced values with a true label

  std::vector<EvaluationExample> corrections;       // replaced and asked values
  std::vector<EvaluationExample> abstentions;       // abstained and low-confidence values
  std::vector<EvaluationExample> confident_errors;  // wrong values, most confident first

  double accuracy() const;  // checked right over values with a true label; 0 without any
  double coverage() const;  // covered over values; 0 without any
};

struct EvaluationOptions {
  std::vector<std::string> fields{};  // empty: the keys of the decisions, in first-seen order
  std::size_t matrix_labels = 12;     // labels the confusion matrix shows before "other"
  std::size_t examples = 8;           // of each kind, per field
  std::size_t histogram_bins = 20;
  std::size_t curve_points = 200;              // at most, besides the threshold's
  std::map<std::string, double> thresholds{};  // field to the confidence marked on its curve
};

/// Everything evaluate_results finds.
struct Evaluation {
  std::vector<std::string> files;
  std::size_t records = 0;
  std::size_t failed = 0;
  std::size_t retries = 0;  // requests beyond the first of each record
  std::uint64_t prompt_tokens = 0;
  std::uint64_t completion_tokens = 0;
  std::uint64_t cached_tokens = 0;  // of the prompt tokens, those the endpoint had cached
  std::vector<FieldEvaluation> fields;
  FieldEvaluation all;  // the fields together; its labels are "field: label" with several

  /// The figures as one JSON object (what the report embeds).
  Value to_json() const;
};

/// The evaluation of the results files at `paths`, read once as tally_results reads them (the
/// same errors: a line that is no result, an id in two lines, naming the files). Memory holds
/// the counts and, per value with a confidence and a true label, 4 bytes for the curve; never
/// the lines. ValueError when no field is found or a field of `options` is named twice.
Evaluation evaluate_results(const std::vector<std::string>& paths,
                            const EvaluationOptions& options = {});

/// A short text summary of `evaluation`, one entry a line: records, failures, retries and tokens,
/// then per field and for all fields accuracy, coverage, macro-F1, mean confidence and ECE.
std::vector<std::string> evaluation_lines(const Evaluation& evaluation);

/// Two runs over the same records, field by field, and the records whose checked values differ.
struct RunComparison {
  struct Side {
    std::string field;
    double accuracy = 0;
    std::size_t gold = 0;
    double coverage = 0;
    std::optional<double> mean_confidence;
    std::optional<double> ece;
  };
  struct Difference {
    Value id;
    std::string field;
    Value first;   // checked value of the first run
    Value second;  // of the second
    Value truth;   // null when unknown
  };
  std::vector<Side> first;              // per field, then all fields
  std::vector<Side> second;             // the same fields
  std::size_t common = 0;               // records in both runs
  std::size_t only_first = 0;           // records only in the first run
  std::size_t only_second = 0;          // only in the second
  std::size_t differing = 0;            // values of common records whose checked values differ
  std::vector<Difference> differences;  // the first `limit` of them, in the second run's order
};

/// The comparison as text lines: the figures of both runs side by side per field, the records in
/// only one run, and the differing values ("id 7  category  refund -> billing  (true: billing)").
std::vector<std::string> comparison_lines(const RunComparison& comparison);

/// Compares the runs in the results files `first` and `second` over `fields` (empty: those of
/// the first run). Holds the ids and the checked values of the first run to match the second.
RunComparison compare_runs(const std::string& first, const std::string& second,
                           const std::vector<std::string>& fields = {}, std::size_t limit = 20);

}  // namespace tavrin::labeling
