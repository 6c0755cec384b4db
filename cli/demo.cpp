#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "cli/commands.hpp"
#include "cli/common.hpp"
#include "cli/files.hpp"
#include "cli/llm.hpp"
#include "cli/numbers.hpp"
#include "tavrin/brollin.hpp"
#include "tavrin/core/progress.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/labeling/calibration.hpp"
#include "tavrin/labeling/checker.hpp"
#include "tavrin/labeling/evaluation.hpp"
#include "tavrin/labeling/html_report.hpp"
#include "tavrin/labeling/job.hpp"
#include "tavrin/labeling/prompt.hpp"
#include "tavrin/labeling/report.hpp"
#include "tavrin/labeling/results.hpp"
#include "tavrin/labeling/stores.hpp"
#include "tavrin/tessick.hpp"

namespace tavrin::cli {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kTestRatio = 0.1;
constexpr std::size_t kExampleCount = 6;
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
  std::string first_error;  // of the failed requests
  labeling::JobTally tally;
  std::vector<labeling::Correction> corrections;
  fs::path out;
  double seconds = 0;
  double min_score = 0;
  std::vector<std::string> text_columns;  // of tickets.csv, joined into each record's text
};

// The columns of a sample's tickets that make a record's text: all but the id and the fields,
// so that a sample set names its own (question; subject and body).
std::vector<std::string> text_columns_of(const frame::DataFrame& table,
                                         const std::vector<std::string>& fields,
                                         const std::string& source) {
  std::vector<std::string> text;
  for (const std::string& column : table.columns()) {
    if (column != kIdColumn && std::find(fields.begin(), fields.end(), column) == fields.end()) {
      text.push_back(column);
    }
  }
  if (text.empty()) {
    throw UsageError(source + " has no text column: only \"" + kIdColumn +
                     "\" and the fields of labels.json");
  }
  return text;
}

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

std::string json_lines(const std::vector<Value>& records) {
  std::string text;
  for (const Value& record : records) {
    text += record.dump(-1, ' ', false, Value::error_handler_t::replace) + "\n";
  }
  return text;
}

// The bundled model output of each row of `test`, matched by id, checked as the job checks an
// answer and written to the results file `out`, as the job would have.
void check_bundled(std::vector<Value> records, const fs::path& file, const frame::DataFrame& test,
                   const labeling::LabelFile& labels, const StoreMap& stores, double min_score,
                   const fs::path& out) {
  std::map<std::string, Value> by_id;
  for (Value& record : records) {
    const auto id = record.find(kIdColumn);
    if (id == record.end()) continue;
    std::string key = str(*id);
    by_id[std::move(key)] = std::move(record);
  }
  const auto fields = labeling::label_fields(labels.labels);
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
  const labeling::Checker checker(
      labels.labels, fields,
      {.min_score = min_score, .multi_label = labeling::multi_label_fields(labels.notes)});
  const auto checks = labeling::check_batch(predictions, checker, stores);
  std::string lines;
  for (std::size_t i = 0; i < test.size(); ++i) {
    const Value truth = row_object(test, i);
    Value gold = Value::object();
    for (const std::string& field : fields) gold[field] = truth[field];
    labeling::ResultLine line =
        labeling::checked_line(truth[kIdColumn], predictions[i], checks[i], std::move(gold));
    // No model answered: each value's confidence comes from its check alone.
    labeling::write_confidences(line, checks[i], {}, {}, Value(), nullptr);
    lines += line.to_json().dump(-1, ' ', false, Value::error_handler_t::replace) + "\n";
  }
  write_file(out, lines);
}

// The labelling job of `tavrin label` over the test rows, its results file at `out`.
void ask_model(const Endpoint& endpoint, const DemoOptions& options, const SampleFiles& sample,
               const labeling::LabelFile& labels, const frame::DataFrame& test,
               const std::shared_ptr<vectorstore::Embeddings>& embeddings, const DemoRun& run,
               const fs::path& out) {
  labeling::LabelRun job;
  job.labels = sample.labels.string();
  job.label_file = labels;
  job.stores = (run.out / "stores").string();
  job.out = out.string();
  job.text_fields = run.text_columns;
  job.id_column = kIdColumn;
  job.examples = kDemoExamples;
  job.in_flight = options.in_flight;
  job.min_score = options.min_score;
  job.max_text_chars = 0;  // the sample's texts are short
  job.endpoint = chat_endpoint(endpoint, options.llm, labeling::ResponseFormat::plain);
  job.client = client_options(options.llm.retries, options.llm.timeout);
  job.embeddings = embeddings;
  fs::remove(job.out);  // the demo's own output of an earlier run: start afresh
  run_labelling(test, job);
}

// The tally, the corrections, and the model's and the checked values of each record (in
// test row order) of the results file `results`.
void read_back(const fs::path& results, const frame::DataFrame& test,
               const std::vector<std::string>& fields, DemoRun& run) {
  std::map<std::string, std::pair<Value, Value>> by_id;  // id -> predicted, checked
  labeling::read_results({results.string()}, [&](const labeling::ResultLine& line) {
    labeling::count_result(run.tally, line, fields);
    if (line.error && run.first_error.empty()) run.first_error = *line.error;
    for (auto& c : labeling::corrections_of(line, fields)) run.corrections.push_back(std::move(c));
    Value predicted = {{kIdColumn, line.id}};
    Value checked = predicted;
    for (const std::string& field : fields) {
      if (line.predicted.contains(field)) predicted[field] = line.predicted[field];
      if (line.checked.contains(field)) checked[field] = line.checked[field];
    }
    by_id[str(line.id)] = {std::move(predicted), std::move(checked)};
  });
  run.tally.total = test.size();
  std::vector<Value> predictions, checked;
  for (std::size_t i = 0; i < test.size(); ++i) {
    auto& [p, c] = by_id.at(str(test.iloc(i)[kIdColumn]));
    predictions.push_back(std::move(p));
    checked.push_back(std::move(c));
  }
  write_file(run.out / "predictions.jsonl", json_lines(predictions));
  write_file(run.out / "checked.jsonl", json_lines(checked));
}

std::string padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

std::string score_line(const std::string& field, const labeling::FieldTally& t) {
  return "    " + padded(field, 15) + padded(labeling::percent(t.predicted_right, t.gold), 9) +
         labeling::percent(t.checked_right, t.gold) + "\n";
}

std::string similarity(const std::optional<double>& score) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", score.value_or(0));
  return text;
}

std::string correction_line(const labeling::Correction& c) {
  return "    " + padded(c.field, 10) + in_quotes(str(c.from)) + " -> " + in_quotes(str(c.to)) +
         "   (similarity " + similarity(c.score) + (c.right == false ? ", still wrong" : "") +
         ")\n";
}

std::string abstention_line(const labeling::Correction& c, double min_score) {
  return "    " + padded(c.field, 10) + in_quotes(str(c.from)) + " -> null   (nearest " +
         in_quotes(str(c.nearest)) + " at " + similarity(c.score) + ", below " +
         similarity(min_score) + ")\n";
}

std::string summary_text(const DemoRun& run) {
  const labeling::FieldTally t = run.tally.all_fields();
  std::vector<labeling::Correction> replaced;
  std::vector<labeling::Correction> abstained;
  for (const auto& c : run.corrections) (c.to.is_null() ? abstained : replaced).push_back(c);
  std::ostringstream s;
  s << "\ntavrin demo: support tickets labelled by a model, then checked by retrieval\n"
    << "  rows             " << run.table_rows << " tickets -> " << run.train_rows << " train, "
    << run.test_rows << " test\n"
    << "  predictions      " << run.prediction_source << "\n";
  if (run.tally.failed > 0) {
    s << "  failed requests  " << run.tally.failed << " (their values count as wrong)\n";
  }
  const std::size_t checked =
      t.kept + t.normalized + t.replaced + t.asked + t.abstained + t.no_answer + t.invalid;
  s << "  fields checked   " << checked << " of " << checked + t.missing << " (" << t.missing
    << " left out by the model)\n"
    << "  kept             " << t.kept << " values that already were allowed labels\n"
    << "  normalized       " << t.normalized
    << " values that were labels written another way (case, plural, prefix)\n"
    << "  no answer        " << t.no_answer + t.invalid
    << " values that said there is none, or were no text (\"N/A\", 42), left null\n"
    << "  replaced         " << t.replaced << " values, each by the nearest allowed label\n"
    << "  abstained        " << t.abstained << " values too far from every label (similarity below "
    << similarity(run.min_score) << "), left null\n"
    << "  accuracy         before   after    (against the true labels; null counts as wrong)\n";
  for (const auto& [field, tally] : run.tally.fields) s << score_line(field, tally);
  s << score_line("all fields", t);
  const auto examples = labeling::pick_examples(replaced, kExampleCount);
  if (!examples.empty()) s << "  corrections, for example\n";
  for (const auto& c : examples) s << correction_line(c);
  if (!abstained.empty()) s << "  abstentions, for example\n";
  for (std::size_t i = 0; i < std::min<std::size_t>(2, abstained.size()); ++i) {
    s << abstention_line(abstained[i], run.min_score);
  }
  s << "  output           " << run.out.string() << "/: train.csv test.csv stores/ "
    << "results.jsonl predictions.jsonl checked.jsonl summary.txt report.html\n";
  s << "  report           " << (run.out / "report.html").string()
    << " (accuracy, confusions, calibration and examples; open it in a browser)\n";
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f s", run.seconds);
  s << "  time             " << seconds << "\n";
  return s.str();
}

void run_demo(const DemoOptions& options) {
  const auto start = Clock::now();
  const auto endpoint = resolve_endpoint(options.llm);
  require_output_folder(options.out, "--out");
  const SampleFiles sample(find_data_dir(options.data));
  const labeling::LabelFile label_file = read_label_file(sample.labels.string());
  const Value& labels = label_file.labels;
  const auto fields = chosen_fields(labels, "", sample.labels.string());
  const frame::DataFrame table = read_table(sample.tickets.string());
  require_columns(table, {kIdColumn}, sample.tickets.string());
  require_columns(table, fields, sample.tickets.string());
  const auto text_columns = text_columns_of(table, fields, sample.tickets.string());
  // Read before anything is written, so that a bad file leaves no half-made output.
  std::vector<Value> bundled;
  if (!endpoint) {
    bundled =
        parse_json_lines(read_input(sample.predictions.string()), sample.predictions.string());
  }
  const auto embeddings = embeddings_from(options.embed);
  const fs::path out = options.out;
  fs::create_directories(out);
  DemoRun run;
  run.out = out;
  run.min_score = options.min_score;
  run.text_columns = text_columns;

  announce(1, "splitting " + sample.tickets.string() + " into train and test");
  tessick::split_data(table, (out / "train.csv").string(), (out / "test.csv").string(), kTestRatio);
  const frame::DataFrame train = frame::read_csv((out / "train.csv").string());
  const frame::DataFrame test = frame::read_csv((out / "test.csv").string());
  run.table_rows = table.size();
  run.train_rows = train.size();
  run.test_rows = test.size();

  announce(2, "building the stores with " + embeddings->identity());
  brollin::data2faiss(labels, train, text_columns, fields, fields,
                      labeling::train_store_dir(out / "stores").string(),
                      labeling::field_stores_dir(out / "stores").string(), embeddings);

  const fs::path results = out / "results.jsonl";
  if (endpoint) {
    announce(3, "labelling the " + std::to_string(test.size()) + " test tickets with the model " +
                    options.llm.model + " (the job of tavrin label), checking every answer");
    ask_model(*endpoint, options, sample, label_file, test, embeddings, run, results);
    run.prediction_source = "model " + options.llm.model + ", asked by the labelling job";
  } else {
    announce(3, "checking the bundled model outputs (give --llm-url to ask a real model)");
    const StoreMap stores = usage_checked(
        [&] { return labeling::load_field_stores(out / "stores", labels, fields, embeddings); });
    check_bundled(std::move(bundled), sample.predictions, test, label_file, stores,
                  options.min_score, results);
    run.prediction_source = "bundled model outputs (" + sample.predictions.string() + ")";
  }

  announce(4, "reading the checked results back");
  read_back(results, test, fields, run);
  write_file(out / "report.html", labeling::html_report(labeling::evaluate_results(
                                                            {results.string()}, {.fields = fields}),
                                                        {.title = "tavrin demo"}));
  if (run.tally.failed > 0 && run.tally.failed == run.tally.done) {
    throw std::runtime_error("every request to the LLM failed; the first: " + run.first_error);
  }

  announce(5, "summary");
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const std::string summary = summary_text(run);
  write_file(out / "summary.txt", summary);
  std::cout << summary << std::flush;
  if (run.tally.failed > 0) {
    // Everything is written, but some of the work was not done.
    throw std::runtime_error(std::to_string(run.tally.failed) + " of " +
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
      ->transform(count_in(1, kMaxInFlight))
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
