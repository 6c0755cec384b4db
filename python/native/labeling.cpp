#include "python/native/labeling.hpp"

#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "python/native/transport.hpp"
#include "python/native/values.hpp"
#include "python/native/vectorstore.hpp"
#include "tavrin/core/internal/atomic_file.hpp"
#include "tavrin/labeling/calibration.hpp"
#include "tavrin/labeling/evaluation.hpp"
#include "tavrin/labeling/export.hpp"
#include "tavrin/labeling/html_report.hpp"
#include "tavrin/labeling/label_run.hpp"
#include "tavrin/labeling/repair.hpp"
#include "tavrin/labeling/report.hpp"
#include "tavrin/labeling/results.hpp"
#include "tavrin/labeling/review.hpp"
#include "tavrin/labeling/scheduler.hpp"

namespace tavrin::python {
namespace {

using labeling::FieldTally;
using labeling::JobTally;
using Paths = std::vector<std::string>;

Value field_tally_value(const FieldTally& t) {
  Value confusions = Value::array();
  for (const auto& [pair, count] : t.confusions) {
    confusions.push_back({{"label", pair.first},
                          {"checked", pair.second ? Value(*pair.second) : Value(nullptr)},
                          {"count", count}});
  }
  return {{"kept", t.kept},
          {"replaced", t.replaced},
          {"abstained", t.abstained},
          {"missing", t.missing},
          {"no_answer", t.no_answer},
          {"invalid", t.invalid},
          {"normalized", t.normalized},
          {"asked", t.asked},
          {"low_confidence", t.low_confidence},
          {"reviewed", t.reviewed},
          {"gold", t.gold},
          {"predicted_right", t.predicted_right},
          {"checked_right", t.checked_right},
          {"gold_abstained", t.gold_abstained},
          {"gold_failed", t.gold_failed},
          {"gold_reviewed", t.gold_reviewed},
          {"confusions", std::move(confusions)}};
}

// {"limit", "used", "spent"} of the run's token budget; None without one.
Value budget_value(const JobTally& tally) {
  if (!tally.budget) return Value();
  return {
      {"limit", tally.budget->limit}, {"used", tally.budget->used}, {"spent", tally.budget->spent}};
}

// What the run's batches did; None when its requests went online.
Value batch_value(const JobTally& tally) {
  if (!tally.batch) return Value();
  const JobTally::Batch& b = *tally.batch;
  return {{"created", b.created},
          {"found", b.found},
          {"submitted", b.submitted},
          {"again", b.again},
          {"online", b.online},
          {"prompt_tokens", b.prompt_tokens},
          {"completion_tokens", b.completion_tokens}};
}

py::dict tally_dict(const JobTally& tally, const std::string& out_path) {
  Value fields = Value::object();
  for (const auto& [name, t] : tally.fields) fields[name] = field_tally_value(t);
  Value summary = Value::array();
  for (const std::string& line : labeling::summary_lines(tally, out_path)) summary.push_back(line);
  const Value value = {{"total", tally.total},
                       {"resumed", tally.resumed},
                       {"done", tally.done},
                       {"failed", tally.failed},
                       {"retries", tally.retries},
                       {"embedding_calls", tally.embedding_calls},
                       {"embedded_texts", tally.embedded_texts},
                       {"prompt_tokens", tally.prompt_tokens},
                       {"completion_tokens", tally.completion_tokens},
                       {"cached_tokens", tally.cached_tokens},
                       {"budget", budget_value(tally)},
                       {"batch", batch_value(tally)},
                       {"rate_limited", tally.rate_limited},
                       {"format_note", tally.format_note},
                       {"fields", std::move(fields)},
                       {"summary", std::move(summary)}};
  return to_python(value);
}

// A results file's lines as columns: the record's id, error, attempts and tokens, and per
// field (in the order the lines first name them) predicted, checked, decision, confidence and
// true label.
py::tuple result_columns(const Paths& paths) {
  std::vector<std::string> fields;
  std::map<std::string, std::size_t> field_index;
  std::vector<std::string> names = {"id", "error", "attempts", "prompt_tokens",
                                    "completion_tokens"};
  std::vector<Value> columns(names.size(), Value::array());
  std::size_t rows = 0;
  constexpr const char* kParts[] = {"predicted", "checked", "decision", "confidence", "gold"};
  const auto add_field = [&](const std::string& field) {
    field_index.emplace(field, fields.size());
    fields.push_back(field);
    for (const char* part : kParts) {
      names.push_back(field + "_" + part);
      columns.emplace_back(Value::array({}));
      columns.back().get_ref<Value::array_t&>().resize(rows);  // nulls for the lines before
    }
  };
  const auto member = [](const Value& object, const std::string& key) {
    return object.is_object() && object.contains(key) ? object[key] : Value(nullptr);
  };
  labeling::read_results(paths, [&](const labeling::ResultLine& line) {
    if (line.decisions.is_object()) {
      for (const auto& [field, _] : line.decisions.items()) {
        if (!field_index.contains(field)) add_field(field);
      }
    }
    columns[0].push_back(line.id);
    columns[1].push_back(line.error ? Value(*line.error) : Value(nullptr));
    columns[2].push_back(line.attempts);
    columns[3].push_back(member(line.usage, "prompt_tokens"));
    columns[4].push_back(member(line.usage, "completion_tokens"));
    for (std::size_t f = 0; f < fields.size(); ++f) {
      const std::string& field = fields[f];
      const Value decision = member(line.decisions, field);
      const Value* gold = labeling::true_label_of(line, field);
      Value* column = &columns[5 + f * 5];
      column[0].push_back(member(line.predicted, field));
      column[1].push_back(member(line.checked, field));
      column[2].push_back(line.error ? Value("failed") : member(decision, "decision"));
      column[3].push_back(member(decision, "confidence"));
      column[4].push_back(gold != nullptr ? *gold : Value(nullptr));
    }
    ++rows;
  });
  py::list python_columns(columns.size());
  for (std::size_t i = 0; i < columns.size(); ++i) python_columns[i] = to_python(columns[i]);
  return py::make_tuple(names, python_columns);
}

py::dict calibrate(const Paths& paths, const std::string& out, double target_precision,
                   double confidence_level, const std::vector<std::string>& fields) {
  labeling::CalibrationOptions options;
  options.target_precision = target_precision;
  options.confidence_level = confidence_level;
  options.fields = fields;
  labeling::Calibration calibration;
  {
    const py::gil_scoped_release release;
    calibration = labeling::calibrate(paths, options);
    if (!out.empty()) labeling::write_calibration(out, calibration);
  }
  py::dict result;
  result["thresholds"] = calibration.thresholds();
  result["lines"] = labeling::calibration_lines(calibration);
  result["calibration"] = to_python(calibration.to_json());
  return result;
}

std::vector<std::string> report(const Paths& paths, const std::string& out,
                                const std::string& title, const std::vector<std::string>& fields,
                                const std::map<std::string, double>& thresholds,
                                const std::string& calibration) {
  const py::gil_scoped_release release;
  labeling::EvaluationOptions options;
  options.fields = fields;
  if (!calibration.empty())
    options.thresholds = labeling::read_calibration(calibration).thresholds();
  for (const auto& [field, threshold] : thresholds) options.thresholds[field] = threshold;
  const labeling::Evaluation evaluation = labeling::evaluate_results(paths, options);
  if (!out.empty()) {
    internal::AtomicFile file(out);
    file.write(labeling::html_report(evaluation, {.title = title}));
    file.commit();
  }
  return labeling::evaluation_lines(evaluation);
}

std::size_t review(const Paths& paths, const std::string& out, std::optional<double> below,
                   const std::vector<std::string>& fields, std::size_t limit,
                   const std::string& records, const std::string& id_column,
                   const std::vector<std::string>& text_fields) {
  const py::gil_scoped_release release;
  auto queue = labeling::review_queue(paths, {.fields = fields, .below = below, .limit = limit});
  if (!records.empty()) labeling::attach_texts(queue, records, id_column, text_fields);
  labeling::write_review(out, queue);
  return queue.size();
}

py::dict apply_review(const Paths& paths, const std::string& answers, const py::handle labels) {
  const Value allowed = labels.is_none() ? Value(nullptr) : to_value(labels, "labels");
  labeling::ReviewApplied applied;
  {
    const py::gil_scoped_release release;
    applied = labeling::apply_review(paths, labeling::read_review_answers(answers), allowed);
  }
  py::dict result;
  result["answers"] = applied.answers;
  result["files"] = applied.files;
  return result;
}

py::dict export_labelled(const Paths& results, const std::string& records, const std::string& out,
                         const std::string& id_column, const std::vector<std::string>& fields) {
  labeling::ExportCounts counts;
  {
    const py::gil_scoped_release release;
    counts = labeling::export_labelled(results, records, out,
                                       {.id_column = id_column, .fields = fields});
  }
  py::dict result;
  result["rows"] = counts.rows;
  result["labelled"] = counts.labelled;
  result["failed"] = counts.failed;
  result["without_result"] = counts.without_result;
  result["unmatched"] = counts.unmatched;
  return result;
}

// The settings of tavrin.labeling.label (a dict of the tool's options by their Python names).
labeling::LabelRun label_run(const py::dict& settings) {
  const auto text = [&](const char* key) { return settings[key].cast<std::string>(); };
  const auto count = [&](const char* key) { return settings[key].cast<std::size_t>(); };
  const auto names = [&](const char* key) {
    return settings[key].cast<std::vector<std::string>>();
  };
  labeling::LabelRun run;
  run.labels = text("labels");
  run.stores = text("stores");
  run.out = text("out");
  run.text_fields = names("text_fields");
  run.fields = names("fields");
  run.id_column = text("id_column");
  run.typed_ids = settings["typed_ids"].cast<bool>();
  run.examples = count("examples");
  run.prompt = text("prompt");
  run.prompt_language = text("prompt_language");
  run.max_labels = count("max_labels");
  run.in_flight = count("in_flight");
  run.min_score = settings["min_score"].cast<std::optional<double>>();
  run.no_answer = names("no_answer");
  run.repair = labeling::parse_repair(text("repair"));
  run.repair_choices = count("repair_choices");
  run.shard = labeling::resolve_shard(text("shard"), std::getenv,
                                      settings["shards"].cast<std::optional<std::size_t>>());
  run.out = labeling::shard_out_path(run.out, run.shard);
  run.retry_failed = settings["retry_failed"].cast<bool>();
  run.max_failures = count("max_failures");
  run.max_text_chars = count("max_text_chars");
  run.endpoint.url = text("llm_url");
  run.endpoint.key = text("llm_key");
  run.endpoint.model = text("llm_model");
  run.endpoint.temperature = settings["temperature"].cast<double>();
  run.endpoint.response_format = labeling::parse_response_format(text("response_format"));
  try {
    run.endpoint.logprobs = labeling::parse_logprobs(text("confidence"));
  } catch (const ValueError& e) {
    throw ValueError(std::string("confidence: ") + e.what());
  }
  run.endpoint.max_completion_tokens =
      settings["max_completion_tokens"].cast<std::optional<std::uint64_t>>();
  run.endpoint.completion_cap_field =
      labeling::parse_completion_cap_field(text("max_tokens_field"));
  run.budget_tokens = settings["budget_tokens"].cast<std::optional<std::uint64_t>>();
  run.endpoint.rate_limits.requests_per_minute = settings["rpm"].cast<std::optional<double>>();
  run.endpoint.rate_limits.tokens_per_minute = settings["tpm"].cast<std::optional<double>>();
  if (settings["batch"].cast<bool>()) {
    labeling::BatchSettings batch;
    batch.max_requests = count("batch_size");
    const double poll = settings["batch_poll"].cast<double>();
    if (!(poll >= 0.001 && poll <= 86400)) {
      throw ValueError("batch_poll must be 0.001 to 86400 seconds, not " + std::to_string(poll));
    }
    batch.poll_interval = std::chrono::milliseconds(std::llround(poll * 1000));
    batch.fallback = labeling::parse_batch_fallback(text("batch_fallback"));
    run.batch = std::move(batch);
  }
  run.client =
      request_limits(settings["retries"].cast<unsigned>(), settings["timeout"].cast<double>());
  run.calibration = text("calibration");
  const py::object embeddings = settings["embeddings"];
  if (!embeddings.is_none()) run.embeddings = embeddings_of(embeddings);
  return run;
}

// The progress line on sys.stderr: redrawn on a terminal, else a line every ten seconds; the
// last one when the job ends.
class ProgressLine {
 public:
  explicit ProgressLine(bool shown) : shown_(shown) {
    if (shown_) terminal_ = py::module_::import("sys").attr("stderr").attr("isatty")().cast<bool>();
  }

  void operator()(const JobTally& tally) {
    if (!shown_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < (terminal_ ? std::chrono::milliseconds(200) : std::chrono::seconds(10))) {
      return;
    }
    last_ = now;
    write(tally, false);
  }

  void finish(const JobTally& tally) {
    if (shown_) write(tally, true);
  }

 private:
  void write(const JobTally& tally, bool last) {
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start_;
    const std::string line = labeling::progress_line(tally, elapsed);
    const py::gil_scoped_acquire gil;
    const py::object err = py::module_::import("sys").attr("stderr");
    err.attr("write")(terminal_ ? "\r" + line + (last ? "\n" : "") : line + "\n");
    err.attr("flush")();
  }

  bool shown_;
  bool terminal_ = false;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_{};
};

// The records: a CSV path, or a DataFrame's columns.
using Records = std::variant<std::string, frame::DataFrame>;

Records records_of(const py::handle records) {
  if (PyUnicode_Check(records.ptr())) return records.cast<std::string>();
  const auto columns = py::reinterpret_borrow<py::tuple>(records);
  return frame_from_columns(columns[0], columns[1]);
}

labeling::LabelOutcome run_label(Records records, const labeling::LabelRun& run,
                                 ProgressLine& progress, const std::vector<int>& stop_signals,
                                 std::stop_token stop) {
  const auto each = [&progress](const JobTally& tally) { progress(tally); };
  labeling::LabelOutcome outcome =
      std::holds_alternative<std::string>(records)
          ? labeling::label_table(std::get<std::string>(records), run, each, stop_signals, stop)
          : labeling::label_table(std::move(std::get<frame::DataFrame>(records)), run, each,
                                  stop_signals, stop);
  progress.finish(outcome.tally);
  return outcome;
}

py::dict outcome_dict(const labeling::LabelOutcome& outcome, const std::string& out) {
  py::dict tally = tally_dict(outcome.tally, out);
  tally["language"] = labeling::describe_language(outcome);
  return tally;
}

// Python's own SIGINT handler, put back after a job that stopped on SIGINT (the event loop's
// signal set leaves the default behind).
class PythonSigint {
 public:
  PythonSigint() { ::sigaction(SIGINT, nullptr, &saved_); }
  PythonSigint(const PythonSigint&) = delete;
  PythonSigint& operator=(const PythonSigint&) = delete;
  ~PythonSigint() { ::sigaction(SIGINT, &saved_, nullptr); }

 private:
  struct sigaction saved_ {};
};

bool on_main_thread() {
  const py::object threading = py::module_::import("threading");
  return threading.attr("current_thread")().is(threading.attr("main_thread")());
}

py::dict label(const py::handle records, const py::dict& settings, bool progress) {
  const labeling::LabelRun run = label_run(settings);
  Records table = records_of(records);
  ProgressLine line(progress);
  // Ctrl-C stops the job cleanly; only the main thread receives Python's signals.
  std::vector<int> stop_signals;
  if (on_main_thread()) stop_signals.push_back(SIGINT);
  const PythonSigint sigint;
  labeling::LabelOutcome outcome;
  {
    const py::gil_scoped_release release;
    outcome = run_label(std::move(table), run, line, stop_signals, {});
  }
  return outcome_dict(outcome, run.out);
}

// Jobs running on threads of their own, so that the interpreter's exit stops and awaits them
// before the objects they settle go.
class RunningJobs {
 public:
  static RunningJobs& get() {
    static auto* jobs = new RunningJobs();  // lives as long as the process: threads may end late
    return *jobs;
  }

  void started(const std::shared_ptr<std::stop_source>& job) {
    const std::lock_guard lock(mutex_);
    jobs_.push_back(job);
  }

  void ended(const std::shared_ptr<std::stop_source>& job) {
    const std::lock_guard lock(mutex_);
    std::erase(jobs_, job);
    changed_.notify_all();
  }

  void stop_all() {
    std::unique_lock lock(mutex_);
    for (const auto& job : jobs_) job->request_stop();
    changed_.wait(lock, [this] { return jobs_.empty(); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<std::stop_source>> jobs_;
};

class AwaitedJob {
 public:
  explicit AwaitedJob(std::shared_ptr<std::stop_source> stop) : stop_(std::move(stop)) {}
  void cancel() { stop_->request_stop(); }

 private:
  std::shared_ptr<std::stop_source> stop_;
};

AwaitedJob start_label(const py::handle records, const py::dict& settings, bool progress,
                       py::object settle) {
  auto run = std::make_shared<const labeling::LabelRun>(label_run(settings));
  auto table = std::make_shared<Records>(records_of(records));
  auto line = std::make_shared<ProgressLine>(progress);
  auto stop = std::make_shared<std::stop_source>();
  RunningJobs::get().started(stop);
  std::thread([run, table, line, stop, settle = share(std::move(settle))] {
    std::exception_ptr failure;
    labeling::LabelOutcome outcome;
    try {
      outcome = run_label(std::move(*table), *run, *line, {}, stop->get_token());
    } catch (...) {
      failure = std::current_exception();
    }
    settle_with(settle, failure, [&] { return py::object(outcome_dict(outcome, run->out)); });
    RunningJobs::get().ended(stop);
  }).detach();
  return AwaitedJob(stop);
}

}  // namespace

void bind_labeling(py::module_& module) {
  py::class_<AwaitedJob>(module, "AwaitedJob", "A labelling job running on a thread of its own.")
      .def("cancel", &AwaitedJob::cancel);
  module.def("label", &label, py::arg("records"), py::arg("settings"), py::arg("progress"));
  module.def("start_label", &start_label, py::arg("records"), py::arg("settings"),
             py::arg("progress"), py::arg("settle"));
  module.def("stop_jobs", [] {
    const py::gil_scoped_release release;
    RunningJobs::get().stop_all();
  });
  module.def(
      "tally_results",
      [](const Paths& paths, const std::vector<std::string>& fields) {
        JobTally tally;
        {
          const py::gil_scoped_release release;
          tally = labeling::tally_results(paths, fields);
        }
        return tally_dict(tally, paths.empty() ? std::string() : paths.front());
      },
      py::arg("paths"), py::arg("fields"));
  module.def("result_columns", &result_columns, py::arg("paths"));
  module.def("calibrate", &calibrate, py::arg("paths"), py::arg("out"), py::arg("target_precision"),
             py::arg("confidence_level"), py::arg("fields"));
  module.def("report", &report, py::arg("paths"), py::arg("out"), py::arg("title"),
             py::arg("fields"), py::arg("thresholds"), py::arg("calibration"));
  module.def("review", &review, py::arg("paths"), py::arg("out"), py::arg("below"),
             py::arg("fields"), py::arg("limit"), py::arg("records"), py::arg("id_column"),
             py::arg("text_fields"));
  module.def("apply_review", &apply_review, py::arg("paths"), py::arg("answers"),
             py::arg("labels"));
  module.def("export_labelled", &export_labelled, py::arg("results"), py::arg("records"),
             py::arg("out"), py::arg("id_column"), py::arg("fields"));
}

}  // namespace tavrin::python
