#include "tavrin/labeling/label_run.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>
#include <stop_token>
#include <utility>

#include "tavrin/brollin.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/excerpt.hpp"
#include "tavrin/frame/csv_stream.hpp"
#include "tavrin/labeling/budget.hpp"
#include "tavrin/labeling/calibration.hpp"
#include "tavrin/labeling/journal.hpp"
#include "tavrin/labeling/results.hpp"
#include "tavrin/labeling/run_settings.hpp"
#include "tavrin/labeling/stores.hpp"

namespace tavrin::labeling {
namespace {

using tavrin::internal::in_quotes;

// Records read to find the language of their texts.
constexpr std::ptrdiff_t kLanguageSampleRows = 50;
// Records whose prompts a dry run builds together (one pass over the training store).
constexpr std::size_t kDryRunBatch = 64;

// What a run settles before it reads its records.
struct Settled {
  LabelFile labels;
  std::vector<std::string> fields;
  JobSettings job;
  PromptTemplate prompt_template;
  std::optional<PromptLanguage> language;  // nullopt: detected from the records
  ChatEndpoint endpoint;                   // with the completion cap a budget needs
};

// Actual prompt tokens over their estimate, as the runs into a results file found it: the
// budget's bounds and the dry run's estimate start from it.
constexpr const char* kTokenRatioNote = "prompt_tokens_per_estimate";

double recorded_token_ratio(const std::string& out) {
  const Value ratio = run_note(out, kTokenRatioNote);
  return ratio.is_number() && ratio.get<double>() > 0 ? ratio.get<double>() : 0;
}

// The budget of `run`, its completion cap put into `endpoint`.
std::shared_ptr<TokenBudget> budget_of(const LabelRun& run, ChatEndpoint& endpoint) {
  if (endpoint.max_completion_tokens == std::uint64_t{0}) {
    throw ValueError("max_completion_tokens must be at least 1");
  }
  if (!run.budget_tokens) return nullptr;
  if (*run.budget_tokens == 0) throw ValueError("budget_tokens must be at least 1");
  if (!endpoint.max_completion_tokens) endpoint.max_completion_tokens = kDefaultMaxCompletionTokens;
  return std::make_shared<TokenBudget>(TokenBudget::Settings{
      *run.budget_tokens, *endpoint.max_completion_tokens, recorded_token_ratio(run.out)});
}

JobSettings job_settings(const LabelRun& run) {
  JobSettings job;
  job.text_fields = run.text_fields;
  job.id_column = run.id_column;
  job.out_path = run.out;
  job.in_flight = run.in_flight;
  job.min_score = run.min_score;
  job.no_answer_words = run.no_answer;
  job.repair = run.repair;
  job.repair_choices = run.repair_choices;
  job.shard = run.shard;
  job.retry_failed = run.retry_failed;
  job.max_failures = run.max_failures;
  job.max_text_chars = run.max_text_chars;
  return job;
}

std::shared_ptr<const Calibration> calibration_of(const std::string& path) {
  try {
    return std::make_shared<const Calibration>(read_calibration(path));
  } catch (const std::filesystem::filesystem_error& e) {
    throw ValueError("calibration " + in_quotes(path) + " cannot be read: " + e.code().message());
  }
}

// Everything but the records and the stores, cheapest first, so that a bad setting costs no
// loading.
Settled settle(const LabelRun& run) {
  if (run.out.empty()) throw ValueError("out must name the results file");
  Settled settled;
  settled.job = job_settings(run);
  require_job_settings(settled.job);
  if (run.max_labels == 0) throw ValueError("max_labels must be at least 1");
  if (run.repair_choices == 0) throw ValueError("repair_choices must be at least 1");
  if (!run.prompt_language.empty()) {
    settled.language = parse_prompt_language(run.prompt_language, "prompt_language");
  }
  settled.labels = run.label_file ? *run.label_file : read_label_file(run.labels);
  settled.fields = chosen_fields(settled.labels.labels, run.fields,
                                 run.labels.empty() ? "the labels" : run.labels);
  require_same_text_fields(run.stores, run.text_fields);
  if (run.prompt_template) {
    settled.prompt_template = *run.prompt_template;
  } else if (!run.prompt.empty()) {
    settled.prompt_template = read_prompt_template(run.prompt);
  }
  if (!run.calibration.empty()) settled.job.calibration = calibration_of(run.calibration);
  settled.endpoint = run.endpoint;
  settled.job.budget = budget_of(run, settled.endpoint);
  if (run.batch) require_batch_settings(*run.batch, settled.endpoint);
  return settled;
}

// The records file as a stream, its faults named by its path.
frame::CsvStream open_records(const std::string& path, const LabelRun& run) {
  // Ids as the text in the file ("07585557"), so that the results join back to their source.
  const std::vector<std::string> as_text =
      run.typed_ids ? std::vector<std::string>{} : std::vector{run.id_column};
  try {
    return frame::CsvStream(path, as_text);
  } catch (const ValueError& e) {
    std::string_view message = e.what();
    constexpr std::string_view kReaderName = "read_csv: ";
    if (message.starts_with(kReaderName)) message.remove_prefix(kReaderName.size());
    throw ValueError(path + ": " + std::string(message));
  } catch (const std::filesystem::filesystem_error& e) {
    throw ValueError("cannot read " + in_quotes(path) + ": " + e.code().message());
  }
}

// The prompt's language: the one named, or the one of the labels and the first records.
void settle_language(LabelOutcome& outcome, const Settled& settled,
                     const frame::DataFrame& first_records, const LabelRun& run) {
  outcome.language_detected = !settled.language;
  outcome.language = settled.language
                         ? *settled.language
                         : detect_prompt_language(settled.labels, first_records, run.text_fields);
}

// The stores of the run and the prompter over them, in `language`.
std::pair<StoreMap, Prompter> prompter_of(Settled& settled, const LabelRun& run,
                                          PromptLanguage language) {
  const std::shared_ptr<vectorstore::Embeddings> embeddings =
      run.embeddings ? run.embeddings : std::make_shared<vectorstore::HashingEmbeddings>();
  StoreMap stores =
      load_field_stores(run.stores, settled.labels.labels, settled.fields, embeddings);
  auto train = run.examples > 0 ? load_train_store(run.stores, embeddings) : nullptr;
  PromptSettings prompt;
  prompt.fields = std::move(settled.fields);
  prompt.labels = std::move(settled.labels.labels);
  prompt.notes = std::move(settled.labels.notes);
  prompt.examples = run.examples;
  prompt.max_labels = run.max_labels;
  prompt.language = language;
  prompt.prompt_template = std::move(settled.prompt_template);
  Prompter prompter(std::move(prompt), std::move(train), stores);
  return {std::move(stores), std::move(prompter)};
}

template <class Records>
LabelOutcome run_settled(Records records, const frame::DataFrame& first_records, Settled settled,
                         const LabelRun& run, JobProgress progress,
                         const std::vector<int>& stop_signals, const std::stop_token& stop) {
  LabelOutcome outcome;
  settle_language(outcome, settled, first_records, run);
  auto [stores, prompter] = prompter_of(settled, run, outcome.language);

  // The job shows its progress once before its first request: an error before it is a bad
  // input, one after it ends a job that started.
  bool started = false;
  JobTally last;
  JobProgress watched = [&](const JobTally& tally) {
    started = true;
    last = tally;
    if (progress) progress(tally);
  };
  try {
    outcome.tally =
        run.batch
            ? run_batch_job_blocking(std::move(records), std::move(prompter), std::move(stores),
                                     settled.endpoint, run.client, std::move(settled.job),
                                     *run.batch, std::move(watched), stop_signals, stop)
            : run_job_blocking(std::move(records), std::move(prompter), std::move(stores),
                               settled.endpoint, run.client, std::move(settled.job),
                               std::move(watched), stop_signals, stop);
  } catch (const Interrupted& e) {
    outcome.tally = std::move(last);
    throw LabelRunEnded(e.what(), std::move(outcome), e.signal_number(), std::current_exception());
  } catch (const std::exception& e) {
    if (!started) throw;
    outcome.tally = std::move(last);
    throw LabelRunEnded(e.what(), std::move(outcome), 0, std::current_exception());
  }
  if (outcome.tally.estimated_prompt_tokens > 0) {
    add_run_note(run.out, kTokenRatioNote,
                 static_cast<double>(outcome.tally.prompt_tokens) /
                     static_cast<double>(outcome.tally.estimated_prompt_tokens));
  }
  return outcome;
}

// The ids (id_key) of the results file's lines that a run again passes over: all of them, or
// with retry_failed those without an error. None when there is no file yet.
std::set<std::string> done_ids(const LabelRun& run) {
  std::set<std::string> ids;
  if (!std::filesystem::exists(run.out)) return ids;
  read_results({run.out}, [&](const ResultLine& line) {
    if (!(run.retry_failed && line.error)) ids.insert(id_key(line.id));
  });
  return ids;
}

// The record's true labels, as the job reads them, from the target fields the table holds.
Value gold_in(const frame::DataFrame::Row& row, const std::vector<std::string>& columns) {
  Value gold = Value::object();
  for (const std::string& column : columns) {
    if (!row[column].is_null()) gold[column] = row[column];
  }
  return gold.empty() ? Value() : gold;
}

// Adds the prompts of `texts` to the dry run.
void estimate(DryRun& dry, const Prompter& prompter, const std::vector<std::string>& texts,
              const std::vector<Value>& golds, std::size_t shown) {
  for (std::string& prompt : prompter.prompts_for(texts, golds)) {
    dry.prompt_tokens += estimate_prompt_tokens(prompt) + kMessageOverheadTokens;
    if (dry.prompts.size() < shown) dry.prompts.push_back(std::move(prompt));
  }
}

}  // namespace

DryRun dry_run(const std::string& records_csv, const LabelRun& run, std::size_t shown) {
  Settled settled = settle(run);
  frame::CsvStream records = open_records(records_csv, run);
  LabelOutcome outcome;
  settle_language(outcome, settled, records.next(kLanguageSampleRows), run);
  records.rewind();
  const std::uint64_t completion_cap = settled.endpoint.max_completion_tokens.value_or(0);
  const std::vector<std::string> fields = settled.fields;
  auto [stores, prompter] = prompter_of(settled, run, outcome.language);
  const std::set<std::string> done = done_ids(run);
  DryRun dry;
  dry.language = outcome.language;
  dry.language_detected = outcome.language_detected;
  dry.token_ratio = recorded_token_ratio(run.out);
  std::vector<std::string> gold_columns;
  for (const std::string& field : fields) {
    if (std::find(records.columns().begin(), records.columns().end(), field) !=
        records.columns().end()) {
      gold_columns.push_back(field);
    }
  }
  std::size_t position = 0;
  for (frame::DataFrame chunk = records.next(kDryRunBatch); chunk.size() > 0;
       chunk = records.next(kDryRunBatch)) {
    std::vector<std::string> texts;
    std::vector<Value> golds;
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      if (!in_shard(position++, run.shard)) continue;
      const frame::DataFrame::Row row = chunk.iloc(i);
      if (done.contains(id_key(row[run.id_column]))) continue;
      ++dry.records;
      std::string text = brollin::row_text(row, run.text_fields);
      truncate_text(text, run.max_text_chars);
      texts.push_back(std::move(text));
      golds.push_back(gold_in(row, gold_columns));
    }
    estimate(dry, prompter, texts, golds, shown);
  }
  if (dry.token_ratio > 0) {
    dry.prompt_tokens = static_cast<std::uint64_t>(
        std::ceil(static_cast<double>(dry.prompt_tokens) * dry.token_ratio));
  }
  if (completion_cap > 0) dry.completion_bound = completion_cap * dry.records;
  return dry;
}

std::string describe_language(const LabelOutcome& outcome, std::string_view named_by) {
  return std::string(language_name(outcome.language)) + " (" +
         (outcome.language_detected ? std::string("detected") : std::string(named_by)) + ")";
}

LabelOutcome label_table(const std::string& records_csv, const LabelRun& run, JobProgress progress,
                         const std::vector<int>& stop_signals, std::stop_token stop) {
  Settled settled = settle(run);
  frame::CsvStream records = open_records(records_csv, run);
  const frame::DataFrame first_records = records.next(kLanguageSampleRows);
  records.rewind();
  return run_settled(std::move(records), first_records, std::move(settled), run,
                     std::move(progress), stop_signals, stop);
}

LabelOutcome label_table(frame::DataFrame records, const LabelRun& run, JobProgress progress,
                         const std::vector<int>& stop_signals, std::stop_token stop) {
  Settled settled = settle(run);
  const frame::DataFrame first_records = records.iloc(0, kLanguageSampleRows);
  return run_settled(std::move(records), first_records, std::move(settled), run,
                     std::move(progress), stop_signals, stop);
}

}  // namespace tavrin::labeling
