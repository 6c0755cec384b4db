// `tavrin label`: the labelling job over a whole table, with resume, shards and a summary.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <utility>

#include "cli/commands.hpp"
#include "cli/common.hpp"
#include "cli/files.hpp"
#include "cli/llm.hpp"
#include "cli/numbers.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/labeling/batch.hpp"
#include "tavrin/labeling/chat_model.hpp"
#include "tavrin/labeling/job.hpp"
#include "tavrin/labeling/label_run.hpp"
#include "tavrin/labeling/prompt.hpp"
#include "tavrin/labeling/repair.hpp"
#include "tavrin/labeling/report.hpp"
#include "tavrin/labeling/scheduler.hpp"

namespace tavrin::cli {
namespace {

struct LabelOptions {
  LlmOptions llm;
  std::string records;
  std::string labels;
  std::string stores;
  std::string out;
  std::string text_fields = "question";
  std::string fields;
  std::string id_column = "id";
  std::size_t examples = 4;
  std::string prompt;
  std::string prompt_language;  // empty: detected
  std::size_t max_labels = 50;
  std::size_t in_flight = 16;
  std::optional<double> min_score;
  std::vector<std::string> no_answer;
  std::string repair = "nearest";
  std::size_t repair_choices = 5;
  std::string shard = "0/1";
  std::size_t shards = 0;  // the count of an Indexed Job's shards, for --shard auto; 0: not given
  bool retry_failed = false;
  bool json_mode = false;
  std::string response_format = "plain";
  std::string confidence = "off";
  std::string calibration;
  bool typed_ids = false;
  std::size_t max_failures = 100;
  std::size_t max_text_chars = 50000;
  std::optional<std::uint64_t> budget_tokens;
  std::optional<std::uint64_t> max_completion_tokens;
  std::string max_tokens_field = "max_tokens";
  std::optional<double> rpm;
  std::optional<double> tpm;
  bool batch = false;
  std::size_t batch_size = labeling::kMaxBatchRequests;
  double batch_poll = 30;
  std::string batch_fallback = "resubmit";
  bool dry_run = false;
  EmbedOptions embed;
};

// Read here, as the tool reads every input it names: "-" is standard input, and a file's faults
// are named in the tool's words.
labeling::PromptTemplate read_template(const std::string& path) {
  const std::string text = read_input(path);
  return usage_checked([&] { return labeling::PromptTemplate(text, in_quotes(path)); });
}

void print_summary(const labeling::LabelOutcome& outcome, const std::string& out) {
  std::cerr << "tavrin label: results in " << out << '\n';
  std::cerr << "  prompt language: " << labeling::describe_language(outcome, "--prompt-language")
            << '\n';
  for (const std::string& line : labeling::summary_lines(outcome.tally, out)) {
    std::cerr << line << '\n';
  }
}

void print_batch_status(const labeling::BatchStatus& status) {
  std::cerr << "tavrin label: batch " << status.batch_id << " (" << status.file << ") "
            << status.status << ", " << status.completed << " of " << status.total
            << " requests completed, " << status.failed << " failed\n";
}

labeling::BatchSettings batch_settings(const LabelOptions& options) {
  labeling::BatchSettings batch;
  batch.max_requests = options.batch_size;
  batch.poll_interval = std::chrono::milliseconds(std::llround(options.batch_poll * 1000));
  batch.fallback = usage_checked([&] {
    try {
      return labeling::parse_batch_fallback(options.batch_fallback);
    } catch (const ValueError& e) {
      throw ValueError(std::string("--batch-fallback: ") + e.what());
    }
  });
  batch.on_status = print_batch_status;
  return batch;
}

labeling::LabelRun label_run(const LabelOptions& options) {
  labeling::LabelRun run;
  run.labels = options.labels;
  run.label_file = read_label_file(options.labels);
  run.stores = options.stores;
  run.text_fields = split_names(options.text_fields, "--text-fields");
  if (!options.fields.empty()) run.fields = split_names(options.fields, "--fields");
  run.id_column = options.id_column;
  run.typed_ids = options.typed_ids;
  run.examples = options.examples;
  if (!options.prompt.empty()) {
    run.prompt = options.prompt;
    run.prompt_template = read_template(options.prompt);
  }
  run.prompt_language = options.prompt_language;
  run.max_labels = options.max_labels;
  run.in_flight = options.in_flight;
  run.min_score = options.min_score;
  run.no_answer = options.no_answer;
  run.repair = usage_checked([&] { return labeling::parse_repair(options.repair); });
  run.repair_choices = options.repair_choices;
  run.shard = usage_checked([&] {
    try {
      return labeling::resolve_shard(
          options.shard, std::getenv,
          options.shards > 0 ? std::optional(options.shards) : std::nullopt);
    } catch (const ValueError& e) {
      throw ValueError(std::string("--shard: ") + e.what());
    }
  });
  run.out = labeling::shard_out_path(options.out, run.shard);
  run.retry_failed = options.retry_failed;
  run.max_failures = options.max_failures;
  run.max_text_chars = options.max_text_chars;
  const labeling::ResponseFormat format =
      response_format_option(options.response_format, options.json_mode);
  const labeling::Logprobs logprobs = usage_checked([&] {
    try {
      return labeling::parse_logprobs(options.confidence);
    } catch (const ValueError& e) {
      throw ValueError(std::string("--confidence: ") + e.what());
    }
  });
  run.endpoint = chat_endpoint(require_endpoint(options.llm), options.llm, format, logprobs);
  run.endpoint.max_completion_tokens = options.max_completion_tokens;
  run.endpoint.completion_cap_field = usage_checked([&] {
    try {
      return labeling::parse_completion_cap_field(options.max_tokens_field);
    } catch (const ValueError& e) {
      throw ValueError(std::string("--max-tokens-field: ") + e.what());
    }
  });
  run.budget_tokens = options.budget_tokens;
  run.endpoint.rate_limits.requests_per_minute = options.rpm;
  run.endpoint.rate_limits.tokens_per_minute = options.tpm;
  if (options.batch) run.batch = batch_settings(options);
  run.client = client_options(options.llm.retries, options.llm.timeout);
  run.calibration = options.calibration;
  run.embeddings = embeddings_from(options.embed);
  return run;
}

// The first prompts to standard output, what the run would spend to standard error.
void print_dry_run(const labeling::DryRun& dry) {
  for (std::size_t i = 0; i < dry.prompts.size(); ++i) {
    std::cout << "--- prompt " << i + 1 << " of " << dry.records << " ---\n"
              << dry.prompts[i] << "\n";
  }
  std::cerr << "tavrin label: dry run, nothing was sent\n"
            << "  records   " << dry.records
            << " of the shard to ask about (those the results file does not hold)\n"
            << "  tokens    about " << dry.prompt_tokens << " prompt tokens (from the prompts' "
            << (dry.token_ratio > 0 ? "lengths, times the " + std::to_string(dry.token_ratio) +
                                          " an earlier run's usage found)"
                                    : std::string("lengths)"));
  if (dry.completion_bound) {
    std::cerr << " + at most " << *dry.completion_bound << " completion tokens";
  }
  std::cerr << '\n';
}

void run_label(const LabelOptions& options) {
  require_output_file(options.out, "--out");
  const labeling::LabelRun run = label_run(options);
  require_output_file(run.out, "--out");  // with its shard
  require_table_file(options.records);
  if (options.dry_run) {
    print_dry_run(labeling::dry_run(options.records, run));
    return;
  }
  labeling::LabelOutcome outcome;
  try {
    outcome = run_labelling(options.records, run);
  } catch (const JobEnded& e) {
    print_summary(e.outcome(), run.out);
    throw;
  }
  print_summary(outcome, run.out);
  const labeling::JobTally& tally = outcome.tally;
  if (tally.budget && tally.budget->spent) {
    throw ExitError("the token budget of " + std::to_string(tally.budget->limit) +
                        " stopped the job; " + std::to_string(tally.total - tally.done) +
                        " records were not sent (run again with a larger --budget-tokens)",
                    kBudgetSpentStatus);
  }
  if (tally.failed > 0) {
    throw std::runtime_error(std::to_string(tally.failed) + " of " + std::to_string(tally.total) +
                             " records failed; their lines in " + run.out +
                             " carry an \"error\"; run again with --retry-failed to redo them");
  }
}

}  // namespace

void add_label_command(CLI::App& app) {
  auto options = std::make_shared<LabelOptions>();
  options->llm.temperature = 0;  // labels, not prose: the most likely answer
  CLI::App* command = app.add_subcommand(
      "label",
      "Label every record of a table with the LLM, check each value against the stores, and "
      "append one JSON line per record to --out (a run again resumes)");
  command->add_option("records", options->records, "CSV file of the records to label")->required();
  command->add_option("--labels", options->labels, "labels.json: field name to allowed labels")
      ->required();
  command
      ->add_option("--stores", options->stores,
                   "stores folder: <stores>/train and <stores>/fields/<field> (tavrin build), "
                   "or <stores>/<field>")
      ->required()
      ->check(CLI::ExistingDirectory);
  command
      ->add_option("--out", options->out,
                   "results file (JSON Lines), appended to; {shard} in it is the shard's K")
      ->required();
  command
      ->add_option("--text-fields,--text", options->text_fields,
                   "columns joined into each record's text, comma-separated")
      ->capture_default_str();
  command->add_option("--fields", options->fields,
                      "fields to label, comma-separated (default: those of labels.json)");
  command->add_option("--id-column", options->id_column, "column of the unique record ids")
      ->capture_default_str();
  command->add_flag("--typed-ids", options->typed_ids,
                    "write ids as read_csv types them (07 becomes 7), not as the text in the file");
  command
      ->add_option("--examples", options->examples,
                   "labelled examples from the training store per prompt (0 for none)")
      ->capture_default_str()
      ->transform(count_in(0, 1000));
  command->add_option("--prompt", options->prompt,
                      "prompt template file with {fields}, {labels}, {examples}, {record}");
  command
      ->add_option("--prompt-language", options->prompt_language,
                   "zh or en: the default template's language, and the language of {labels} "
                   "and {examples} in a --prompt template (default: zh when the labels or the "
                   "first records hold Chinese, else en)")
      ->check(CLI::IsMember({"zh", "en"}));
  command
      ->add_option("--max-labels", options->max_labels,
                   "a field with more labels lists only those nearest the record")
      ->capture_default_str()
      ->transform(count_in(1, 1000000));
  command->add_option("--in-flight", options->in_flight, "requests awaiting an answer at once")
      ->capture_default_str()
      ->transform(count_in(1, kMaxInFlight));
  add_min_score_option(*command, options->min_score);
  add_no_answer_option(*command, options->no_answer);
  command
      ->add_option("--repair", options->repair,
                   "a value that is no label and not near enough one (below --min-score; any, "
                   "without it): \"nearest\" takes the nearest label, \"ask\" asks the model "
                   "once more to choose among the nearest labels (or none)")
      ->capture_default_str();
  command
      ->add_option("--repair-choices", options->repair_choices,
                   "labels the model chooses among with --repair ask")
      ->capture_default_str()
      ->transform(count_in(1, 100));
  command
      ->add_option("--shard", options->shard,
                   "K/N: take the records at positions K, K+N, ... (N processes split a table); "
                   "auto: K and N of this task of a Slurm job array (SLURM_ARRAY_TASK_*) or a "
                   "Kubernetes Indexed Job (JOB_COMPLETION_INDEX, with --shards)")
      ->capture_default_str();
  command
      ->add_option("--shards", options->shards,
                   "with --shard auto in a Kubernetes Indexed Job: its completions, N")
      ->transform(count_in(1, 1000000));
  command
      ->add_option("--budget-tokens", options->budget_tokens,
                   "prompt + completion tokens this run may spend: every request then carries a "
                   "completion cap, none is sent that could pass the budget, and the job stops "
                   "cleanly there (exit status 3; a run again with a larger budget goes on)")
      ->transform(count_in(1, 1000000000000000));
  command
      ->add_option("--max-completion-tokens", options->max_completion_tokens,
                   "the most tokens an answer may take, sent in each request (default with "
                   "--budget-tokens: 256; else none is sent)")
      ->transform(count_in(1, 1000000000));
  command
      ->add_option("--max-tokens-field", options->max_tokens_field,
                   "the request field of that cap: max_tokens, or max_completion_tokens for "
                   "endpoints that want it")
      ->capture_default_str();
  command
      ->add_option("--rpm", options->rpm,
                   "requests a minute the endpoint allows (default: what its x-ratelimit-* "
                   "reply fields say): requests are paced to stay under it")
      ->transform(real_in(0.001, 1e9));
  command
      ->add_option("--tpm", options->tpm,
                   "tokens a minute the endpoint allows (default: what its x-ratelimit-* reply "
                   "fields say), each request counted at its prompt's estimate and its "
                   "completion cap")
      ->transform(real_in(1.0, 1e12));
  command->add_flag("--dry-run", options->dry_run,
                    "build the prompts and print the first three, and estimate the tokens of "
                    "the whole shard, sending nothing to the chat endpoint (the embedding "
                    "model still makes the prompts' vectors)");
  command->add_flag("--batch", options->batch,
                    "send the records through the endpoint's Batch API (<base>/files and "
                    "<base>/batches beside /chat/completions; about half the price, answers "
                    "within 24 hours); the job waits for its batches, and a run again after a "
                    "stop waits for them again, never submitting a record twice");
  command
      ->add_option("--batch-size", options->batch_size,
                   "requests a batch's file holds at most (it is also kept under 200 MB)")
      ->capture_default_str()
      ->transform(count_in(1, labeling::kMaxBatchRequests));
  command->add_option("--batch-poll", options->batch_poll, "seconds between two polls of a batch")
      ->capture_default_str()
      ->transform(real_in(0.01, 86400.0));
  command
      ->add_option("--batch-fallback", options->batch_fallback,
                   "the records an expired or cancelled batch did not answer: resubmit (in a "
                   "new batch) or online")
      ->capture_default_str();
  command->add_flag("--retry-failed", options->retry_failed,
                    "do again the records whose earlier result is an error");
  command
      ->add_option("--max-failures", options->max_failures,
                   "stop after this many records in a row failed with the same kind of error "
                   "(0: never); the records not asked are left for a run again")
      ->capture_default_str()
      ->transform(count_in(0, 1000000000));
  command
      ->add_option("--max-text-chars", options->max_text_chars,
                   "cut a record's text to this many characters (0: never); its line says so")
      ->capture_default_str()
      ->transform(count_in(0, 1000000000));
  command
      ->add_option("--response-format", options->response_format,
                   "what each request asks of the answer's form: plain (the prompt alone), "
                   "json-object, json-schema (a strict schema of the labels each prompt shows) "
                   "or auto (json-schema until the endpoint refuses it, then plain)")
      ->capture_default_str();
  command->add_flag("--json-mode", options->json_mode, "the same as --response-format json-object");
  command
      ->add_option("--confidence", options->confidence,
                   "where each value's confidence comes from besides the check and the "
                   "neighbours: off, logprobs (the answer's token log-probabilities; an endpoint "
                   "that refuses them fails the request) or auto (asked until refused)")
      ->capture_default_str();
  command->add_option("--calibration", options->calibration,
                      "calibration.json of `tavrin calibrate`: calibrated confidences, and values "
                      "below each field's threshold abstain as low_confidence");
  add_llm_options(*command, options->llm);
  add_embed_options(*command, options->embed);
  command->footer(
      "Example:\n"
      "  tavrin build train.csv --labels examples/data/labels.json --out stores\n"
      "  tavrin label test.csv --labels examples/data/labels.json --stores stores \\\n"
      "    --out results.jsonl --llm-url https://api.example.com/v1/chat/completions\n"
      "  (TAVRIN_LLM_KEY holds the key; run the same command again to resume)");
  command->callback([options] {
    // The job's limits bound its embedding requests as they bound its chat requests.
    options->embed.retries = options->llm.retries;
    options->embed.timeout = options->llm.timeout;
    run_label(*options);
  });
}

}  // namespace tavrin::cli
