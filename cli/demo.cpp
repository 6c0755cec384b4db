#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "cli/checking.hpp"
#include "cli/commands.hpp"
#include "cli/common.hpp"
#include "cli/files.hpp"
#include "cli/llm.hpp"
#include "tavrin/brollin.hpp"
#include "tavrin/core/progress.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/labeling/job.hpp"
#include "tavrin/labeling/prompt.hpp"
#include "tavrin/labeling/stores.hpp"
#include "tavrin/tessick.hpp"

namespace tavrin::cli {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kTestRatio = 0.1;
constexpr std::size_t kExampleCount = 6;
const char* const kTextColumn = "question";
const char* const kIdColumn = "id";

// Below this similarity to its nearest label a value is left null: with HashingEmbeddings,
// "N/A", "未知" and "其他" score about 0.2 against the bundled labels, near misses such as
// "售后" 0.5 and more.
constexpr double kDemoMinScore = 0.3;
constexpr std::size_t kDemoExamples = 4;

struct DemoOptions {
  LlmOptions llm;
  EmbedOptions embed;
  std::string data;
  std::string out = "tavrin-demo-out";
  std::size_t in_flight = 8;
  double min_score = kDemoMinScore;
};

// The bundled files of one sample set.
struct SampleFiles {
  fs::path tickets;
  fs::path labels;
  fs::path predictions;

  explicit SampleFiles(const fs::path& dir)
      : tickets(dir / "tickets.csv"),
        labels(dir / "labels.json"),
        predictions(dir / "predictions.jsonl") {}
};

// What one run found, for the summary.
struct DemoRun {
  std::size_t table_rows = 0;
  std::size_t train_rows = 0;
  std::size_t test_rows = 0;
  std::string prediction_source;
  std::size_t failed_requests = 0;
  std::string first_error;  // of the failed requests
  CheckTally tally;
  std::vector<FieldScore> scores;
  fs::path out;
  double seconds = 0;
  double min_score = 0;
  bool asked_model = false;
};

void announce(int step, const std::string& what) {
  std::cerr << "[" << step << "/5] " << what << std::endl;
}

// The sample data: --data, else the source tree the tool was built from, else the copy
// installed beside the tool.
fs::path find_data_dir(const std::string& given) {
  if (!given.empty()) {
    if (!fs::is_regular_file(SampleFiles(given).tickets)) {
      throw UsageError("--data " + in_quotes(given) + " holds no tickets.csv");
    }
    return given;
  }
  std::vector<fs::path> candidates = {TAVRIN_DEMO_DATA_DIR};
  std::error_code error;
  const fs::path exe = fs::read_symlink("/proc/self/exe", error);
  if (!error) candidates.push_back(exe.parent_path().parent_path() / "share/tavrin/data");
  for (const fs::path& dir : candidates) {
    if (fs::is_regular_file(SampleFiles(dir).tickets)) return dir;
  }
  throw UsageError(
      "no sample data found: give --data DIR, the folder of tickets.csv, "
      "labels.json and predictions.jsonl (examples/data in the source tree)");
}

// The bundled model outputs for the rows of `test`, matched by id.
std::vector<Value> bundled_predictions(std::vector<Value> records, const fs::path& file,
                                       const frame::DataFrame& test) {
  std::map<std::string, Value> by_id;
  for (Value& record : records) {
    const auto id = record.find(kIdColumn);
    if (id == record.end()) continue;
    std::string key = str(*id);
    by_id[std::move(key)] = std::move(record);
  }
  std::vector<Value> predictions;
  for (std::size_t i = 0; i < test.size(); ++i) {
    const std::string id = str(test.iloc(i)[kIdColumn]);
    const auto found = by_id.find(id);
    if (found == by_id.end()) {
      throw std::runtime_error(file.string() + " has no prediction for test row id " +
                               in_quotes(id) + ": it does not belong to this table");
    }
    predictions.push_back(found->second);
  }
  return predictions;
}

// The labelling job of `tavrin label` over the test rows; the model's predictions come back
// from its results file, in test row order (a failed record predicts nothing).
std::vector<Value> model_predictions(const Endpoint& endpoint, const DemoOptions& options,
                                     const Value& labels, const frame::DataFrame& test,
                                     const StoreMap& stores,
                                     const std::shared_ptr<vectorstore::Embeddings>& embeddings,
                                     DemoRun& run) {
  labeling::PromptSettings prompt;
  prompt.fields = labeling::label_fields(labels);
  prompt.labels = labels;
  prompt.examples = kDemoExamples;
  const labeling::Prompter prompter(
      prompt,
      usage_checked([&] { return labeling::load_train_store(run.out / "stores", embeddings); }),
      stores);
  labeling::JobSettings job;
  job.text_fields = {kTextColumn};
  job.id_column = kIdColumn;
  job.out_path = (run.out / "results.jsonl").string();
  job.in_flight = options.in_flight;
  job.min_score = options.min_score;
  fs::remove(job.out_path);  // the demo's own output of an earlier run: start afresh
  const labeling::JobTally tally =
      run_labelling(test, prompter, stores, endpoint, options.llm, false, job);
  std::map<std::string, Value> by_id;
  for (Value& line : parse_json_lines(read_input(job.out_path), job.out_path)) {
    Value prediction = {{kIdColumn, line[kIdColumn]}};
    if (!line["error"].is_null()) {
      ++run.failed_requests;
      if (run.first_error.empty()) run.first_error = line["error"].get<std::string>();
    }
    for (const std::string& field : prompt.fields) {
      const Value& predicted = line.value("predicted", Value::object());
      if (predicted.contains(field)) prediction[field] = predicted[field];
    }
    by_id[str(line[kIdColumn])] = std::move(prediction);
  }
  if (tally.total > 0 && tally.failed == tally.total) {
    throw std::runtime_error("every request to the LLM failed; the first: " + run.first_error);
  }
  std::vector<Value> predictions;
  for (std::size_t i = 0; i < test.size(); ++i) {
    predictions.push_back(by_id.at(str(test.iloc(i)[kIdColumn])));
  }
  return predictions;
}

std::string json_lines(const std::vector<Value>& records) {
  std::string text;
  for (const Value& record : records) {
    text += record.dump(-1, ' ', false, Value::error_handler_t::replace) + "\n";
  }
  return text;
}

std::string padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

std::string score_line(const FieldScore& score) {
  return "    " + padded(score.field, 15) + padded(percent(score.right_before, score.total), 9) +
         percent(score.right_after, score.total) + "\n";
}

std::string similarity(const std::optional<double>& score) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", score.value_or(0));
  return text;
}

std::string correction_line(const Correction& c) {
  return "    " + padded(c.field, 10) + in_quotes(str(c.from)) + " -> " + in_quotes(str(c.to)) +
         "   (similarity " + similarity(c.score) + (c.right == false ? ", still wrong" : "") +
         ")\n";
}

std::string abstention_line(const Correction& c, double min_score) {
  return "    " + padded(c.field, 10) + in_quotes(str(c.from)) + " -> null   (nearest " +
         in_quotes(str(c.nearest)) + " at " + similarity(c.score) + ", below " +
         similarity(min_score) + ")\n";
}

std::string summary_text(const DemoRun& run) {
  const CheckTally& t = run.tally;
  std::vector<Correction> replaced;
  std::vector<Correction> abstained;
  for (const Correction& c : t.corrections) (c.to.is_null() ? abstained : replaced).push_back(c);
  std::ostringstream s;
  s << "\ntavrin demo: support tickets labelled by a model, then checked by retrieval\n"
    << "  rows             " << run.table_rows << " tickets -> " << run.train_rows << " train, "
    << run.test_rows << " test\n"
    << "  predictions      " << run.prediction_source << "\n";
  if (run.failed_requests > 0) {
    s << "  failed requests  " << run.failed_requests << " (their fields count as missing)\n";
  }
  s << "  fields checked   " << t.checked << " of " << t.checked + t.missing << " (" << t.missing
    << " left out by the model)\n"
    << "  kept             " << t.kept << " values that already were allowed labels\n"
    << "  replaced         " << t.replaced << " values, each by the nearest allowed label\n"
    << "  abstained        " << t.abstained << " values too far from every label (similarity below "
    << similarity(run.min_score) << "), left null\n"
    << "  accuracy         before   after    (against the true labels; null counts as wrong)\n";
  for (const FieldScore& score : run.scores) s << score_line(score);
  s << score_line(total_score(run.scores));
  const auto examples = pick_examples(replaced, kExampleCount);
  if (!examples.empty()) s << "  corrections, for example\n";
  for (const Correction& c : examples) s << correction_line(c);
  if (!abstained.empty()) s << "  abstentions, for example\n";
  for (std::size_t i = 0; i < std::min<std::size_t>(2, abstained.size()); ++i) {
    s << abstention_line(abstained[i], run.min_score);
  }
  s << "  output           " << run.out.string() << "/: train.csv test.csv stores/ "
    << (run.asked_model ? "results.jsonl " : "") << "predictions.jsonl checked.jsonl summary.txt\n";
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f s", run.seconds);
  s << "  time             " << seconds << "\n";
  return s.str();
}

// Checks each prediction, marks each correction right or wrong, scores before and after.
std::vector<Value> check_all(const std::vector<Value>& predictions, const frame::DataFrame& test,
                             const Value& labels, const StoreMap& stores, DemoRun& run) {
  const auto fields = labeling::label_fields(labels);
  for (const std::string& field : fields) run.scores.push_back({field});
  std::vector<Value> checked;
  for (std::size_t i = 0; i < predictions.size(); ++i) {
    const Value truth = row_object(test, i);
    const std::size_t first_new = run.tally.corrections.size();
    checked.push_back(check_prediction(predictions[i], labels, fields, stores, run.tally,
                                       {.min_score = run.min_score, .scores = false}));
    for (std::size_t k = first_new; k < run.tally.corrections.size(); ++k) {
      Correction& c = run.tally.corrections[k];
      c.right = matches_truth(c.to, truth.at(c.field));
    }
    score_record(truth, predictions[i], checked.back(), run.scores);
  }
  return checked;
}

void run_demo(const DemoOptions& options) {
  const auto start = Clock::now();
  const auto endpoint = resolve_endpoint(options.llm.url, options.llm.key);
  require_output_folder(options.out, "--out");
  const SampleFiles sample(find_data_dir(options.data));
  const Value labels = read_labels(sample.labels.string());
  const auto fields = chosen_fields(labels, "", sample.labels.string());
  const frame::DataFrame table = read_table(sample.tickets.string());
  require_columns(table, {kIdColumn, kTextColumn}, sample.tickets.string());
  require_columns(table, fields, sample.tickets.string());
  // Read before anything is written, so that a bad file leaves no half-made output.
  std::vector<Value> bundled;
  if (!endpoint) {
    bundled =
        parse_json_lines(read_input(sample.predictions.string()), sample.predictions.string());
  }
  const fs::path out = options.out;
  fs::create_directories(out);
  DemoRun run;
  run.out = out;
  run.min_score = options.min_score;

  announce(1, "splitting " + sample.tickets.string() + " into train and test");
  tessick::split_data(table, (out / "train.csv").string(), (out / "test.csv").string(), kTestRatio);
  const frame::DataFrame train = frame::read_csv((out / "train.csv").string());
  const frame::DataFrame test = frame::read_csv((out / "test.csv").string());
  run.table_rows = table.size();
  run.train_rows = train.size();
  run.test_rows = test.size();

  const auto embeddings = embeddings_from(options.embed);
  announce(2, "building the stores with " + embeddings->identity());
  brollin::data2faiss(labels, train, {kTextColumn}, fields, fields,
                      labeling::train_store_dir(out / "stores").string(),
                      labeling::field_stores_dir(out / "stores").string(), embeddings);
  const StoreMap stores = usage_checked(
      [&] { return labeling::load_field_stores(out / "stores", labels, fields, embeddings); });

  std::vector<Value> predictions;
  if (endpoint) {
    announce(3, "labelling the " + std::to_string(test.size()) + " test tickets with the model " +
                    options.llm.model + " (the job of tavrin label)");
    run.asked_model = true;
    predictions = model_predictions(*endpoint, options, labels, test, stores, embeddings, run);
    run.prediction_source = "model " + options.llm.model + ", asked by the labelling job";
  } else {
    announce(3, "reading the bundled model outputs (give --llm-url to ask a real model)");
    predictions = bundled_predictions(std::move(bundled), sample.predictions, test);
    run.prediction_source = "bundled model outputs (" + sample.predictions.string() + ")";
  }
  write_file(out / "predictions.jsonl", json_lines(predictions));

  announce(4, "checking every prediction against the field stores");
  const auto checked = check_all(predictions, test, labels, stores, run);
  write_file(out / "checked.jsonl", json_lines(checked));

  announce(5, "summary");
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const std::string summary = summary_text(run);
  write_file(out / "summary.txt", summary);
  std::cout << summary << std::flush;
  if (run.failed_requests > 0) {
    // Everything is written, but some of the work was not done.
    throw std::runtime_error(std::to_string(run.failed_requests) + " of " +
                             std::to_string(run.test_rows) +
                             " requests to the LLM failed; the first: " + run.first_error);
  }
}

}  // namespace

void add_demo_command(CLI::App& app) {
  auto options = std::make_shared<DemoOptions>();
  options->llm.temperature = 0;  // as tavrin label
  CLI::App* command = app.add_subcommand(
      "demo",
      "Walk the whole road on the bundled support tickets: split, build stores, predict, check");
  command->add_option("--out", options->out, "folder for every file and store the demo writes")
      ->capture_default_str();
  command->add_option("--data", options->data,
                      "folder of tickets.csv, labels.json and predictions.jsonl "
                      "(default: the bundled sample)");
  add_llm_options(*command, options->llm);
  add_embed_options(*command, options->embed);
  command->add_option("--in-flight", options->in_flight, "requests to the model at once")
      ->check(CLI::Range(1, 4096))
      ->capture_default_str();
  add_min_score_option(*command, options->min_score);
  command->footer(
      "Without --llm-url the predictions come from a bundled file of model outputs.\n"
      "Examples:\n"
      "  tavrin demo --out /tmp/demo\n"
      "  TAVRIN_LLM_URL=https://host/v1/chat/completions TAVRIN_LLM_KEY=... tavrin demo");
  command->callback([options] {
    // The job's limits bound its embedding requests as they bound its chat requests.
    options->embed.retries = options->llm.retries;
    options->embed.timeout = options->llm.timeout;
    run_demo(*options);
  });
}

}  // namespace tavrin::cli
