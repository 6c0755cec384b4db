// One labelling job from its settings alone, as `tavrin label` runs it: labels.json read, the
// fields chosen, the stores loaded and held to the labels and the text fields, the prompt's
// template and language settled, the calibration read, every setting checked before the first
// request, then every record of the table through the model (run_job_blocking).
//
//   LabelRun run{.labels = "labels.json", .stores = "stores", .out = "results.jsonl"};
//   run.endpoint = {.url = "https://host/v1/chat/completions", .key = key, .model = "qwen-max"};
//   LabelOutcome outcome = label_table("test.csv", run);   // a call again resumes
//   outcome.tally.done               // -> the records results.jsonl holds
//   describe_language(outcome)       // -> "zh (detected)"
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quellin/client.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/labeling/batch.hpp"
#include "tavrin/labeling/chat_model.hpp"
#include "tavrin/labeling/job.hpp"
#include "tavrin/labeling/labels.hpp"
#include "tavrin/labeling/prompt.hpp"
#include "tavrin/vectorstore/embeddings.hpp"

namespace tavrin::labeling {

/// Everything `tavrin label` takes, as library values.
struct LabelRun {
  std::string labels;  // labels.json path
  std::string stores;  // stores folder (either layout, stores.hpp)
  std::string out;     // results file (JSON Lines), appended to
  std::vector<std::string> text_fields{"question"};
  std::vector<std::string> fields{};  // empty: every field of labels.json
  std::string id_column = "id";
  bool typed_ids = false;  // ids as read_csv types them (records given as a path): 07 is 7
  std::size_t examples = 4;
  std::string prompt{};           // prompt template file; empty: the default template
  std::string prompt_language{};  // "zh", "en", or empty: detected
  std::size_t max_labels = 50;
  std::size_t in_flight = 16;
  std::optional<double> min_score{};
  std::vector<std::string> no_answer{};  // besides default_no_answer_words()
  Repair repair = Repair::nearest;
  std::size_t repair_choices = 5;
  Shard shard{};
  bool retry_failed = false;
  std::size_t max_failures = 100;
  std::size_t max_text_chars = 50000;
  // url, key, model, temperature, response_format, logprobs, the completion cap
  ChatEndpoint endpoint{};
  // The prompt and completion tokens this run may spend (budget.hpp); nullopt for no limit.
  // Every request then carries a completion cap: endpoint.max_completion_tokens, or
  // kDefaultMaxCompletionTokens when it names none.
  std::optional<std::uint64_t> budget_tokens{};
  // Every record's request through the endpoint's Batch API (batch.hpp); nullopt: online.
  std::optional<BatchSettings> batch{};
  quellin::ClientOptions client{};  // retries and time limits of each request
  std::string calibration{};        // calibration.json; empty: the fixed confidence
  std::shared_ptr<vectorstore::Embeddings> embeddings{};  // null: HashingEmbeddings
  // labels.json and the template already read by the caller (from standard input, a mapping, a
  // text); `labels` and `prompt` then only name them in messages.
  std::optional<LabelFile> label_file{};
  std::optional<PromptTemplate> prompt_template{};
};

/// What a run did.
struct LabelOutcome {
  JobTally tally;
  PromptLanguage language = PromptLanguage::zh;  // the prompt's language
  bool language_detected = false;  // detected from the labels and the first records, not named
};

/// What a run would send, found without sending anything (DryRun).
struct DryRun {
  std::size_t records = 0;          // of the shard, those the results file does not hold yet
  std::uint64_t prompt_tokens = 0;  // estimated for all of them, messages' overhead included
  // Actual prompt tokens over the estimate as the earlier runs into the results file found it,
  // which `prompt_tokens` is multiplied by; 0 when none did.
  double token_ratio = 0;
  // The completion tokens those requests may take at most (records times the cap), when a cap
  // is sent.
  std::optional<std::uint64_t> completion_bound{};
  std::vector<std::string> prompts{};  // the first prompts, in the order they would be sent
  PromptLanguage language = PromptLanguage::zh;
  bool language_detected = false;
};

/// The prompts of the records that label_table would ask about, built as the job builds them
/// (the embedding model is asked for their vectors; the chat endpoint is never asked), the
/// first `shown` of them kept, and their tokens estimated (estimate_prompt_tokens, corrected
/// by the ratio an earlier run recorded). Checks every setting as label_table does, and
/// writes nothing.
DryRun dry_run(const std::string& records_csv, const LabelRun& run, std::size_t shown = 3);

/// The prompt's language for a summary: "en (detected)", or "zh (<named_by>)" when the run
/// named it (a tool passes its option, "--prompt-language").
std::string describe_language(const LabelOutcome& outcome,
                              std::string_view named_by = "prompt_language");

/// The job started and ended early: a write of the results file failed, a run of failures
/// stopped it (JobStopped), one of the stop signals did (Interrupted), or another error after
/// its first progress. The results file resumes cleanly.
class LabelRunEnded : public std::runtime_error {
 public:
  LabelRunEnded(const std::string& what, LabelOutcome outcome, int signal_number,
                std::exception_ptr cause)
      : std::runtime_error(what),
        outcome_(std::move(outcome)),
        signal_number_(signal_number),
        cause_(std::move(cause)) {}

  /// The outcome as far as the results file holds it: the tally at the last record written.
  const LabelOutcome& outcome() const noexcept { return outcome_; }
  /// The signal that stopped the job (a tool exits with 128 + it), 0 for any other end.
  int signal_number() const noexcept { return signal_number_; }
  /// The error that ended the job, to rethrow as it was.
  std::exception_ptr cause() const noexcept { return cause_; }

 private:
  LabelOutcome outcome_;
  int signal_number_;
  std::exception_ptr cause_;
};

/// Labels the records of the CSV file `records_csv` (read a chunk at a time; the ids as the
/// text in the file unless `run.typed_ids`) and appends their results to `run.out`.
///
/// Before any request and before anything is written, every setting and input is checked: a
/// ValueError names the setting or file and the bad value (the results file, the labels file,
/// a field without labels, a bad shard or in_flight, text fields other than those the stores
/// were built on, the template, the prompt language, the calibration or one that does not fit
/// the run, the records file and its columns and ids, a store that is missing or holds other
/// labels). Then the job runs as run_job_blocking runs it, the prompt in `run.prompt_language`
/// or the language detect_prompt_language finds in the labels and the first 50 records.
/// `progress` is called on the calling thread after each record; each of `stop_signals`, and a
/// stop requested on `stop`, stops the job. A job that started and ended early throws
/// LabelRunEnded.
LabelOutcome label_table(const std::string& records_csv, const LabelRun& run,
                         JobProgress progress = {}, const std::vector<int>& stop_signals = {},
                         std::stop_token stop = {});

/// The same over the rows of `records` (`run.typed_ids` does not apply).
LabelOutcome label_table(frame::DataFrame records, const LabelRun& run, JobProgress progress = {},
                         const std::vector<int>& stop_signals = {}, std::stop_token stop = {});

}  // namespace tavrin::labeling
