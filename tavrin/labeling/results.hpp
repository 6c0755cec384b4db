// The lines of a labelling job's results file, typed, and the tally of one or several results
// files (the shards of one table): what the job's summary and an evaluation read.
//
//   JobTally tally = tally_results({"part-0.jsonl", "part-1.jsonl"}, {"category"});
//   tally.done                                  // -> records in both files
//   tally.fields["category"].checked_right      // -> of those with a true label, right ones
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavrin/core/value.hpp"
#include "tavrin/labeling/job.hpp"

namespace tavrin::olvane {
struct ScoredCheck;
}  // namespace tavrin::olvane

namespace tavrin::labeling {

/// One line of a results file.
struct ResultLine {
  Value id;
  Value checked;    // field name to checked value; null for a failed record
  Value decisions;  // field name to {"decision", "score", ...}; null for a failed record
  Value predicted;  // the mapping read from the answer; null for a failed record
  Value gold;       // the record's true labels, when the table held them; else null
  std::optional<std::size_t> text_truncated_from;  // the text's characters, when it was cut
  Value answer;                                    // the model's answer text; null when none came
  unsigned attempts = 0;
  Value usage;                       // the reply's token counts; null for a failed record
  std::optional<std::string> error;  // why the record failed

  /// The line as the job writes it: "id", "checked", then "decisions", "predicted" (a record
  /// that did not fail), "gold" (when not null), "text_truncated_from" (when set), "answer",
  /// "attempts", "usage" (a record that did not fail) and "error".
  Value to_json() const;

  /// A line read back. A line whose "error" is not null failed (a text error as it is, any
  /// other value in its JSON form); any other must hold "checked", "predicted" and "decisions"
  /// objects, each decision an object with a text "decision", and "gold", when present, an
  /// object or null. ValueError saying what is wrong otherwise (e.g. "has no \"decisions\"
  /// object"), without the file's name, which the reader adds.
  static ResultLine from_json(const Value& line);
  /// The same, its members moved out of `line`.
  static ResultLine from_json(Value&& line);
};

/// The count `name` of a reply's `usage` ("prompt_tokens", "completion_tokens"); 0 when it is
/// not there or no count.
std::uint64_t token_count(const Value& usage, std::string_view name);

/// The prompt tokens the endpoint read from its cache (usage.prompt_tokens_details
/// .cached_tokens, billed at a discount); 0 when it does not say.
std::uint64_t cached_prompt_tokens(const Value& usage);

/// Whether `value` is the true label `truth`, compared as text (a CSV reader may have typed the
/// true label as a number); null is never right.
bool is_true_label(const Value& value, const Value& truth);

/// The true label of `field` in `line`: its "gold" entry, else the checked value of a field
/// whose decision is "reviewed" (a person's answer); nullptr when neither.
const Value* true_label_of(const ResultLine& line, const std::string& field);

/// The line of a record whose mapping `predicted` was checked as `scored` (check_result_scored
/// of that mapping), with `gold` its true labels or null; no answer, no attempt, no usage, no
/// confidence (write_confidences adds them).
ResultLine checked_line(Value id, Value predicted, const olvane::ScoredCheck& scored, Value gold);

/// Counts `line` into `tally`: done, failed, and per target field of `fields` its decision and,
/// when the line holds the field's true label (true_label_of), whether the predicted and the
/// checked values were it (is_true_label) and which (true, checked) pair it was; a failed
/// line's true labels count, its values are never right. The decisions "low_confidence" (a null
/// value) count as abstentions, "reviewed" values as true labels from review.
void count_result(JobTally& tally, const ResultLine& line, const std::vector<std::string>& fields);

/// Calls `each` with every line of the results files at `paths`, in order, as tally_results
/// reads them, with its errors.
void read_results(const std::vector<std::string>& paths,
                  const std::function<void(const ResultLine&)>& each);

/// The tally of every line of the results files at `paths`, as if they were one file (the
/// shards of one table): total is the lines counted. Blank lines are passed over, and so is a
/// last line without its line feed that is no JSON object (what a crash left in the middle of
/// a write). ValueError
/// naming the file and the line number for a line that is no result, or for an id that two
/// lines share (in one file or across files); std::filesystem::filesystem_error when a file
/// cannot be read.
JobTally tally_results(const std::vector<std::string>& paths,
                       const std::vector<std::string>& fields);

/// A predicted value that the check replaced by the nearest label, settled by asking the model,
/// or abstained on.
struct Correction {
  std::string field{};
  Value from{};                   // the predicted value
  Value to{};                     // the checked value; null when the check abstained
  std::optional<double> score{};  // the nearest label's similarity
  Value nearest{};                // the nearest label
  std::optional<bool> right{};    // whether `to` is the true label, when the line holds it
};

/// The corrections of `line`: its fields of `fields`, in that order, that were replaced, asked
/// or abstained on. None for a failed line.
std::vector<Correction> corrections_of(const ResultLine& line,
                                       const std::vector<std::string>& fields);

/// Up to `count` telling corrections for a summary: distinct values, fields taken in turn,
/// right ones first and one wrong one (if any) last, so that the examples stay honest.
std::vector<Correction> pick_examples(const std::vector<Correction>& corrections,
                                      std::size_t count);

}  // namespace tavrin::labeling
