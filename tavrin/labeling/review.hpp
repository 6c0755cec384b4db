// The values a person should look at, and their answers written back into the results: a
// review queue, lowest confidence first, and the labelled table the results make.
//
//   auto queue = review_queue({"results.jsonl"}, {});
//   attach_texts(queue, "records.csv", "id", {"question"});
//   write_review("review.csv", queue);          // a person fills in the "answer" column
//   apply_review({"results.jsonl"}, read_review_answers("review.csv"), labels);
//   // decision "reviewed"; the answer is the checked value and the true label
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "tavrin/core/value.hpp"

namespace tavrin::labeling {

/// One value to review.
struct ReviewItem {
  Value id;
  std::string field;
  std::string decision;  // abstained, invalid, low_confidence, replaced, asked, ...
  Value predicted;       // the model's value
  Value checked;         // what the check made of it (null when it abstained)
  Value runner_up;       // the other label nearest the value, when the store was searched
  std::optional<double> confidence{};
  std::string text{};  // the record's text, when attach_texts found it
};

struct ReviewOptions {
  std::vector<std::string> fields{};  // the fields to look at; empty: every field of the lines
  // Also every value whose confidence is below this, whatever its decision.
  std::optional<double> below{};
  std::size_t limit = 0;  // the first so many of the queue; 0: all
};

/// The values of the results files at `paths` a person should look at: those abstained on
/// (abstained, invalid, low_confidence) first, then those replaced or settled by asking, and
/// with `below` any value less confident, each group lowest confidence first (a value without
/// one first), then by file order. Failed records are left out: they are for --retry-failed.
/// Errors are read_results'.
std::vector<ReviewItem> review_queue(const std::vector<std::string>& paths,
                                     const ReviewOptions& options);

/// Sets the `text` of each item from the records table at `records_path` (read a chunk at a
/// time, ids as text): the columns `text_fields` joined as the job joins them. ValueError when
/// a column is missing; an id the table lacks keeps an empty text.
void attach_texts(std::vector<ReviewItem>& items, const std::string& records_path,
                  const std::string& id_column, const std::vector<std::string>& text_fields);

/// Writes the queue to `path`, atomically: JSON Lines when it ends in ".jsonl", else CSV, with
/// the columns id, field, text, decision, predicted, checked, runner_up, confidence and an empty
/// answer (values that are no text in their JSON form).
void write_review(const std::string& path, const std::vector<ReviewItem>& items);

/// A person's answer about one value.
struct ReviewAnswer {
  std::string id;  // as text
  std::string field;
  Value answer;          // a label; a list of labels for a multi-label field
  std::size_t line = 0;  // where it was read, for messages
};

/// The answers of a review file (CSV or JSON Lines as write_review writes them) whose "answer"
/// is not empty; a text answer that is a JSON list ("[\"a\", \"b\"]") is that list. ValueError
/// naming the file and line for a missing column or an id and field answered twice.
std::vector<ReviewAnswer> read_review_answers(const std::string& path);

struct ReviewApplied {
  std::size_t answers = 0;  // answers written into the results
  std::size_t files = 0;    // results files rewritten
};

/// Writes `answers` into the results files at `paths`: each field answered gets the decision
/// "reviewed" (its earlier decision and checked value kept as "decision_before" and
/// "checked_before"), the answer as its checked value and as its true label ("gold"). Each
/// file is rewritten atomically, and only when no job holds it. With `labels` (field name to its
/// allowed labels), an answer that is no allowed label is refused. ValueError, before any file
/// is written, for an answer whose id and field no results line holds, a label not allowed, or
/// a failed record; the file named.
ReviewApplied apply_review(const std::vector<std::string>& paths,
                           const std::vector<ReviewAnswer>& answers, const Value& labels);

}  // namespace tavrin::labeling
