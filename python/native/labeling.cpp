#include "python/native/labeling.hpp"

#include <pybind11/stl.h>

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/native/values.hpp"
#include "tavrin/core/internal/atomic_file.hpp"
#include "tavrin/labeling/calibration.hpp"
#include "tavrin/labeling/evaluation.hpp"
#include "tavrin/labeling/export.hpp"
#include "tavrin/labeling/html_report.hpp"
#include "tavrin/labeling/report.hpp"
#include "tavrin/labeling/results.hpp"
#include "tavrin/labeling/review.hpp"

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

}  // namespace

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
                       {"format_note", tally.format_note},
                       {"fields", std::move(fields)},
                       {"summary", std::move(summary)}};
  return to_python(value);
}

namespace {

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
  if (!calibration.empty()) options.thresholds = labeling::read_calibration(calibration).thresholds();
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

}  // namespace

void bind_labeling(py::module_& module) {
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
  module.def("calibrate", &calibrate, py::arg("paths"), py::arg("out"),
             py::arg("target_precision"), py::arg("confidence_level"), py::arg("fields"));
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
