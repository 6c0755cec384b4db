// `tavrin label`: the labelling job over a whole table, with resume, shards and a summary.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>

#include "cli/commands.hpp"
#include "cli/common.hpp"
#include "cli/files.hpp"
#include "quellin/client.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/labeling/chat_model.hpp"
#include "tavrin/labeling/job.hpp"
#include "tavrin/labeling/prompt.hpp"
#include "tavrin/labeling/report.hpp"

namespace tavrin::cli {
namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

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
  std::size_t max_labels = 50;
  std::size_t in_flight = 16;
  unsigned retries = 2;
  double timeout = 600;
  std::optional<double> min_score;
  std::string shard = "0/1";
  bool retry_failed = false;
  bool json_mode = false;
  double temperature = 0;
};

// Redraws one line on a terminal at most ten times a second; elsewhere shows only the last.
class ProgressDisplay {
 public:
  ProgressDisplay() : live_(::isatty(STDERR_FILENO) != 0), start_(Clock::now()) {}

  void update(const labeling::JobTally& tally) {
    last_ = tally;
    if (!live_) return;
    const Clock::time_point now = Clock::now();
    if (now - last_draw_ < std::chrono::milliseconds(100) && tally.done < tally.total) return;
    last_draw_ = now;
    std::cerr << "\r\033[K" << labeling::progress_line(tally, now - start_) << std::flush;
  }

  void finish() const {
    std::cerr << (live_ ? "\r\033[K" : "") << labeling::progress_line(last_, Clock::now() - start_)
              << '\n';
  }

 private:
  bool live_;
  Clock::time_point start_;
  Clock::time_point last_draw_;
  labeling::JobTally last_;
};

labeling::PromptTemplate read_template(const std::string& path) {
  if (path.empty()) return labeling::PromptTemplate();
  const std::string text = read_input(path);
  require_utf8(text, "--prompt " + in_quotes(path));
  try {
    return labeling::PromptTemplate(text, in_quotes(path));
  } catch (const ValueError& e) {
    throw UsageError(e.what());
  }
}

template <class Parse>
auto usage_checked(Parse parse) {
  try {
    return parse();
  } catch (const ValueError& e) {
    throw UsageError(e.what());
  }
}

quellin::ClientOptions client_options(const LabelOptions& options) {
  quellin::ClientOptions client;
  client.retry.max_retries = options.retries;
  const auto limit = std::chrono::milliseconds(static_cast<long long>(options.timeout * 1000));
  client.timeout.total = limit;
  client.timeout.sock_read = limit;
  return client;
}

void run_label(const LabelOptions& options) {
  require_output_file(options.out, "--out");
  const Value labels = read_labels(options.labels);
  const auto fields = chosen_fields(labels, options.fields, options.labels);
  labeling::JobSettings job;
  job.text_fields = split_names(options.text_fields, "--text-fields");
  job.id_column = options.id_column;
  job.out_path = options.out;
  job.in_flight = options.in_flight;
  job.min_score = options.min_score;
  job.shard = usage_checked([&] { return labeling::parse_shard(options.shard); });
  job.retry_failed = options.retry_failed;
  labeling::PromptSettings prompt;
  prompt.fields = fields;
  prompt.labels = labels;
  prompt.examples = options.examples;
  prompt.max_labels = options.max_labels;
  prompt.prompt_template = read_template(options.prompt);
  const Endpoint endpoint = require_endpoint(options.llm.url, options.llm.key);

  const frame::DataFrame records = read_table(options.records);
  const auto embeddings = default_embeddings();
  const StoreMap stores = load_field_stores(options.stores, labels, fields, embeddings);
  const auto train = options.examples > 0 ? load_train_store(options.stores, embeddings) : nullptr;
  const labeling::Prompter prompter =
      usage_checked([&] { return labeling::Prompter(prompt, train, stores); });

  asio::io_context io;
  // Destroyed as soon as the job ends: its idle kept-alive connections would keep io running.
  std::optional<quellin::Client> client(std::in_place, io.get_executor(), client_options(options));
  const labeling::Model model = labeling::chat_model(
      *client,
      {endpoint.url, endpoint.key, options.llm.model, options.temperature, options.json_mode});
  ProgressDisplay display;
  bool started = false;  // the job calls progress once before its first request
  std::optional<labeling::JobTally> tally;
  std::exception_ptr failure;
  asio::co_spawn(io,
                 labeling::run_job(records, prompter, stores, model, job,
                                   [&](const labeling::JobTally& t) {
                                     started = true;
                                     display.update(t);
                                   }),
                 [&](std::exception_ptr e, labeling::JobTally t) {
                   failure = e;
                   if (!e) tally = t;
                   client.reset();
                 });
  io.run();
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const ValueError& e) {
      if (!started) throw UsageError(e.what());
      throw;
    }
  }
  display.finish();
  std::cerr << "tavrin label: results in " << options.out << '\n';
  for (const std::string& line : labeling::summary_lines(*tally, options.out)) {
    std::cerr << line << '\n';
  }
  if (tally->failed > 0) {
    throw std::runtime_error(std::to_string(tally->failed) + " of " + std::to_string(tally->total) +
                             " records failed; their lines in " + options.out +
                             " carry an \"error\"");
  }
}

}  // namespace

void add_label_command(CLI::App& app) {
  auto options = std::make_shared<LabelOptions>();
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
  command->add_option("--out", options->out, "results file (JSON Lines), appended to")->required();
  command
      ->add_option("--text-fields", options->text_fields,
                   "columns joined into each record's text, comma-separated")
      ->capture_default_str();
  command->add_option("--fields", options->fields,
                      "fields to label, comma-separated (default: those of labels.json)");
  command->add_option("--id-column", options->id_column, "column of the unique record ids")
      ->capture_default_str();
  command
      ->add_option("--examples", options->examples,
                   "labelled examples from the training store per prompt (0 for none)")
      ->capture_default_str();
  command->add_option("--prompt", options->prompt,
                      "prompt template file with {fields}, {labels}, {examples}, {record}");
  command
      ->add_option("--max-labels", options->max_labels,
                   "a field with more labels lists only those nearest the record")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  command->add_option("--in-flight", options->in_flight, "requests awaiting an answer at once")
      ->capture_default_str()
      ->check(CLI::Range(1, 4096));
  command->add_option("--retries", options->retries, "retries of a failed request")
      ->capture_default_str()
      ->check(CLI::Range(0, 100));
  command->add_option("--timeout", options->timeout, "seconds a request may take, and stay silent")
      ->capture_default_str()
      ->check(CLI::Range(0.001, 86400.0));
  command
      ->add_option("--min-score", options->min_score,
                   "abstain (null) when the nearest label is less similar than this")
      ->check(CLI::Range(-1.0, 1.0));
  command
      ->add_option("--shard", options->shard,
                   "K/N: take the records at positions K, K+N, ... (N processes split a table)")
      ->capture_default_str();
  command->add_flag("--retry-failed", options->retry_failed,
                    "do again the records whose earlier result is an error");
  command->add_flag("--json-mode", options->json_mode,
                    "ask the endpoint for a JSON object answer (response_format)");
  command->add_option("--temperature", options->temperature, "sampling temperature")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 2.0));
  add_llm_options(*command, options->llm);
  command->footer(
      "Example:\n"
      "  tavrin build train.csv --labels examples/data/labels.json --out stores\n"
      "  tavrin label test.csv --labels examples/data/labels.json --stores stores \\\n"
      "    --out results.jsonl --llm-url https://api.example.com/v1/chat/completions\n"
      "  (TAVRIN_LLM_KEY holds the key; run the same command again to resume)");
  command->callback([options] { run_label(*options); });
}

}  // namespace tavrin::cli
