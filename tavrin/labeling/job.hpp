// The labelling job: every record of a table through the model, each answer parsed, checked
// against the allowed labels with scores, and appended to a results file that a job run again
// resumes from.
//
//   JobSettings settings{.text_fields = {"question"}, .out_path = "results.jsonl"};
//   JobTally tally = co_await run_job(records, prompter, field_stores, model, settings);
//   // or, streamed: co_await run_job(frame::CsvStream("records.csv"), prompter, ...)
//   // results.jsonl: {"id":1,"checked":{"类别":"退款"},"decisions":{…},…,"error":null}
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "tavrin/core/value.hpp"
#include "tavrin/frame/csv_stream.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/labeling/prompt.hpp"

namespace tavrin::labeling {

struct Calibration;
class TokenBudget;

/// What the model answered to one prompt.
struct ModelReply {
  std::string answer;     // the answer text
  Value usage;            // the reply's "usage" (token counts), null when it has none
  unsigned attempts = 1;  // requests sent for it, retries included
  Value logprobs{};       // the reply's choices[0].logprobs, null when it has none
};

/// The model's endpoint failed for a prompt after its retries.
class ModelError : public std::runtime_error {
 public:
  ModelError(const std::string& what, unsigned attempts)
      : std::runtime_error(what), attempts_(attempts) {}
  unsigned attempts() const noexcept { return attempts_; }

 private:
  unsigned attempts_;
};

/// What the job asks the model.
struct ModelRequest {
  std::string prompt;
  // Field name to the labels the answer may give for it (those the prompt shows), for a model
  // that can restrict its answer to them; null when it is free.
  Value choices{};
  std::vector<std::string> multi_label{};  // fields of `choices` whose answer is a list of them
  // The record's id (id_key) for a request of one record, which a Batch API line carries as its
  // custom_id; empty for any other request (a question about one value).
  std::string custom_id{};
};

/// Asks the model one request; throws ModelError (or any other exception, counted as one
/// attempt) when no answer came.
using Model = std::function<boost::asio::awaitable<ModelReply>(ModelRequest request)>;

/// Which records of the table a process takes: positions `index`, `index + count`, ...
struct Shard {
  std::size_t index = 0;
  std::size_t count = 1;
};

/// "K/N" with 0 <= K < N; ValueError quoting `text` otherwise.
Shard parse_shard(std::string_view text);

/// Whether the record at `position` (from 0, over the whole table) is one of `shard`'s.
bool in_shard(std::size_t position, const Shard& shard);

/// Cuts `text` to its first `max_chars` characters (never half of one; 0: never): the
/// characters it had when it was cut, nullopt when it was not.
std::optional<std::size_t> truncate_text(std::string& text, std::size_t max_chars);

/// What to do with a value that is no label after the plain rules.
enum class Repair {
  nearest,  // the nearest label of the field's store (or null below min_score)
  ask,      // ask the model to choose among the nearest labels (repair.hpp)
};

struct JobSettings {
  std::vector<std::string> text_fields{};  // the columns joined into each record's text
  std::string id_column = "id";
  std::string out_path{};                      // the results file (JSON Lines)
  std::size_t in_flight = 16;                  // chat requests awaiting an answer at once
  std::optional<double> min_score{};           // abstain below this similarity
  std::vector<std::string> no_answer_words{};  // besides default_no_answer_words()
  Repair repair = Repair::nearest;
  std::size_t repair_choices = 5;  // labels the model chooses among when asked again
  Shard shard{};
  bool retry_failed = false;  // do again the records whose earlier result is an error
  // What answers (e.g. {"model": "qwen-max", "temperature": 0}), recorded with the settings of
  // the run: a resume with another is refused. run_job_blocking fills it in.
  Value model{};
  // Stop the job when this many records in a row failed with the same kind of error (0: never).
  std::size_t max_failures = 100;
  // Cut a record's text to this many characters (0: never), so that a record longer than the
  // model's context fails no request; its result line says so.
  std::size_t max_text_chars = 0;
  // Calibrated confidences, and values below each field's threshold abstained as
  // low_confidence; null for the fixed confidence. It must fit the run (calibration.hpp).
  std::shared_ptr<const Calibration> calibration{};
  // The tokens this run may spend (budget.hpp); null for no limit. Once a request would pass
  // it, nothing more is sent: the requests in flight end and are written, the records not sent
  // stay unwritten, and the job ends with the tally's budget spent.
  std::shared_ptr<TokenBudget> budget{};
};

/// The ValueErrors of run_job that `settings` alone cause (`in_flight` 0, a bad shard, no text
/// field or one listed twice), for a caller that refuses them before it loads anything.
void require_job_settings(const JobSettings& settings);

/// The job stopped before the records of its shard were done: `max_failures` records failed
/// in a row with the same kind of error (a dead endpoint, a wrong key). The records not asked
/// are not written, so that a run again takes them.
class JobStopped : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// What kind of failure `error` (a failed record's error) is, for a run of failures in a row:
/// its text up to the first ':' ("HTTP status 503 Service Unavailable"). Empty for a refusal of
/// one request's size (a status 413, or a 400 about the context, tokens or length), which says
/// nothing about the endpoint and fails that record only.
std::string failure_kind(std::string_view error);

/// Counts of one target field: its decisions over the answered results, and over the results
/// that carry the record's true label ("gold"), failed ones included, how often each value was
/// that label (a failed record's never is).
struct FieldTally {
  std::size_t kept = 0;
  std::size_t replaced = 0;
  std::size_t abstained = 0;
  std::size_t missing = 0;
  std::size_t no_answer = 0;
  std::size_t invalid = 0;
  std::size_t normalized = 0;
  std::size_t asked = 0;
  std::size_t low_confidence = 0;   // left null: the confidence was below the floor
  std::size_t reviewed = 0;         // a person's answer, which is then the true label
  std::size_t gold = 0;             // results with a true label for the field, failed included
  std::size_t predicted_right = 0;  // of them, the model's value was the true label (as text)
  std::size_t checked_right = 0;    // the checked value was the true label
  std::size_t gold_abstained = 0;   // the check left the value null (abstained, no answer, invalid)
  std::size_t gold_failed = 0;      // the record failed
  std::size_t gold_reviewed = 0;    // the true label is a person's answer, not the table's
  // Values with a true label by (true label, checked value) as text, the checked value nullopt
  // when it is null: the right ones under their label, the wrong ones as confusions.
  std::map<std::string, std::size_t> right_by_label{};
  std::map<std::pair<std::string, std::optional<std::string>>, std::size_t> confusions{};

  FieldTally& operator+=(const FieldTally& other);
};

/// Where a job stands, over the whole results file (earlier runs included).
struct JobTally {
  std::size_t total = 0;    // records of this shard
  std::size_t resumed = 0;  // already in the results file when the job began
  std::size_t done = 0;     // results in the file, failed ones included
  std::size_t failed = 0;   // results that carry an error
  std::size_t retries = 0;  // requests beyond the first, this run
  // Calls of the embedding models that block (each one request, or several when it carries
  // more texts than the model sends at once), and the texts they carried, this run.
  std::size_t embedding_calls = 0;
  std::size_t embedded_texts = 0;
  std::uint64_t prompt_tokens = 0;
  std::uint64_t completion_tokens = 0;
  std::uint64_t cached_tokens = 0;  // of the prompt tokens, those the endpoint had cached
  // estimate_prompt_tokens (budget.hpp) of the prompts whose replies gave their prompt tokens:
  // prompt_tokens over it corrects the next estimates.
  std::uint64_t estimated_prompt_tokens = 0;
  std::map<std::string, FieldTally> fields;  // each target field
  // Why the model gave up the response format it was asked for (run_job_blocking), or empty.
  std::string format_note{};
  // Replies of status 429 (a rate limit reached), and the time the job waited to stay under
  // the limits, this run (run_job_blocking).
  std::size_t rate_limited = 0;
  std::chrono::milliseconds paced{0};
  // The run's token budget, when it had one: the tokens it allows and used, and whether it
  // stopped the job.
  struct Budget {
    std::uint64_t limit = 0;
    std::uint64_t used = 0;
    bool spent = false;
  };
  std::optional<Budget> budget{};
  // The run's batches, when its requests went through the Batch API (batch.hpp).
  struct Batch {
    std::size_t created = 0;    // batches this run created
    std::size_t found = 0;      // batches of an earlier run waited for again
    std::size_t submitted = 0;  // requests this run submitted
    std::size_t again = 0;      // of them, records an expired or cancelled batch left
    std::size_t online = 0;     // records asked online after their batch left them
    // Tokens of the answers that came through a batch: billed at the batch rate.
    std::uint64_t prompt_tokens = 0;
    std::uint64_t completion_tokens = 0;
  };
  std::optional<Batch> batch{};

  /// The target fields together.
  FieldTally all_fields() const;
};

/// Called after each record with the tally so far (on the job's executor).
using JobProgress = std::function<void(const JobTally&)>;

/// Labels the records of `settings.shard` that the results file does not hold yet.
///
/// Runs on the awaiting coroutine's executor, which must not run two handlers at once (an
/// io_context run by one thread, or a strand). The job owns its arguments; its tasks are all
/// awaited before it returns, also when it fails or the awaiting coroutine is cancelled, which
/// stops it at once: the chat requests in flight are cancelled, the embedding calls in flight
/// are awaited (their time limits bound them), nothing more is written, and the results file
/// resumes cleanly. The cancelled job throws boost::system::system_error (operation_aborted).
///
/// Before any request, ValueError for: no text field, a text or target field listed twice, a
/// missing id or text column, a repeated id (over the whole table, so that shards agree), a
/// target field without a store, `in_flight` 0, a bad shard, a results file that is not one,
/// or a line of it (named by its number) that is not a result: a line without an error whose
/// "checked", "predicted" or "decisions" is missing or no object.
///
/// The settings that shape the result lines (run_settings) are recorded beside the results
/// file before any request; ValueError naming each difference when the file holds lines written
/// with other settings (record_run_settings).
///
/// Then the records are prepared 16 at a time: their texts embedded for the stores the prompts
/// search, awaited through a QueryEmbedder that gathers the texts of the records being prepared
/// and checked into few calls and embeds each text once per model, and their prompts built
/// (`prompter`). Each prompt goes to `model`, at most `in_flight` at once; the next prompts
/// are prepared while those wait, and an answer is checked while the next prompt is asked, so
/// no embedding holds a chat slot. The answer is read with palisk::parse_answer and checked
/// with olvane::check_result_scored against the prompter's labels and `field_stores` (a FAISS
/// store searched with the vector the QueryEmbedder made for the value: the same decisions and
/// scores), and one line is appended to the results file: "id", "checked", "decisions",
/// "predicted", "gold" (when the table holds the target columns), "answer", "attempts",
/// "usage", "error" (null, or why the record failed: the endpoint's error after its retries,
/// an answer that holds no mapping, or the embedding model's error naming its endpoint), and
/// "text_truncated_from" (the record's length in characters) for a text cut to
/// `max_text_chars`. A failure to write the results file ends the job with that error, the
/// file cut back to its last whole line; `max_failures` failures of one kind in a row end it
/// with JobStopped. Either way the records in flight are not written.
boost::asio::awaitable<JobTally> run_job(frame::DataFrame records, Prompter prompter,
                                         StoreMap field_stores, Model model, JobSettings settings,
                                         JobProgress progress = {});

/// The same job over the records of a CSV file, read as read_csv reads it but a chunk of rows
/// at a time, so that memory does not grow with the table: one whole pass checks the ids
/// before any request, a second labels the records. Only the set of ids grows with the
/// records. A file changed between the passes fails when a field no longer fits its column,
/// or when an id repeats one written.
boost::asio::awaitable<JobTally> run_job(frame::CsvStream records, Prompter prompter,
                                         StoreMap field_stores, Model model, JobSettings settings,
                                         JobProgress progress = {});

}  // namespace tavrin::labeling
