#include <CLI/CLI.hpp>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/common.hpp"
#include "cli/files.hpp"
#include "cli/numbers.hpp"
#include "tavrin/labeling/calibration.hpp"
#include "tavrin/labeling/evaluation.hpp"
#include "tavrin/labeling/html_report.hpp"

namespace tavrin::cli {
namespace {

struct ReportOptions {
  std::vector<std::string> results;
  std::string out;
  std::string fields;
  std::string title = "tavrin report";
  std::vector<std::string> thresholds;  // FIELD=CONFIDENCE
  std::string calibration;              // its fields' thresholds are marked
  bool compare = false;
  std::size_t limit = 20;
};

// "category=0.7" to its field and confidence in [0, 1].
std::pair<std::string, double> parse_threshold(const std::string& text) {
  const auto equals = text.rfind('=');
  const std::string field = equals == std::string::npos ? "" : text.substr(0, equals);
  double value = -1;
  try {
    std::size_t used = 0;
    value = std::stod(text.substr(equals + 1), &used);
    if (used != text.size() - equals - 1) value = -1;
  } catch (const std::exception&) {
  }
  if (field.empty() || !(value >= 0 && value <= 1)) {
    throw UsageError("--threshold must be FIELD=CONFIDENCE with a confidence in [0, 1], not " +
                     in_quotes(text));
  }
  return {field, value};
}

void run_compare(const ReportOptions& options) {
  if (options.results.size() != 2) {
    throw UsageError("--compare takes two results files, not " +
                     std::to_string(options.results.size()));
  }
  const auto fields =
      options.fields.empty() ? std::vector<std::string>{} : split_names(options.fields, "--fields");
  const auto comparison = usage_checked([&] {
    return labeling::compare_runs(options.results[0], options.results[1], fields, options.limit);
  });
  std::string text = "first " + options.results[0] + " | second " + options.results[1] + "\n";
  for (const std::string& line : labeling::comparison_lines(comparison)) text += line + "\n";
  std::cout << text << std::flush;
}

void run_report(const ReportOptions& options) {
  if (options.compare) return run_compare(options);
  require_output_file(options.out, "--out");
  labeling::EvaluationOptions evaluation_options;
  if (!options.fields.empty()) evaluation_options.fields = split_names(options.fields, "--fields");
  if (!options.calibration.empty()) {
    evaluation_options.thresholds =
        usage_checked([&] { return labeling::read_calibration(options.calibration); }).thresholds();
  }
  for (const std::string& t : options.thresholds) {  // given by hand: over the calibration's
    const auto [field, value] = parse_threshold(t);
    evaluation_options.thresholds[field] = value;
  }
  const auto evaluation = usage_checked(
      [&] { return labeling::evaluate_results(options.results, evaluation_options); });
  write_file(options.out, labeling::html_report(evaluation, {.title = options.title}));
  std::string text;
  for (const std::string& line : labeling::evaluation_lines(evaluation)) text += line + "\n";
  std::cout << text << "  report    " << options.out << "\n" << std::flush;
}

}  // namespace

void add_report_command(CLI::App& app) {
  auto options = std::make_shared<ReportOptions>();
  CLI::App* command = app.add_subcommand(
      "report", "An HTML page of a run's accuracy, calibration and cost from its results files");
  command
      ->add_option("results", options->results,
                   "results files (JSON Lines), the shards of one table")
      ->required()
      ->check(CLI::ExistingFile);
  command->add_option("--out", options->out, "the HTML page to write");
  command->add_option("--fields", options->fields,
                      "fields to evaluate, comma-separated (default: those of the decisions)");
  command->add_option("--title", options->title, "the page's title")->capture_default_str();
  command->add_option("--threshold", options->thresholds,
                      "FIELD=CONFIDENCE marked on the field's risk-coverage curve (repeatable)");
  command->add_option("--calibration", options->calibration,
                      "calibration.json of tavrin calibrate: each field's threshold is marked");
  command->add_flag("--compare", options->compare,
                    "compare two runs over the same records instead (no page)");
  command->add_option("--limit", options->limit, "differing values --compare lists")
      ->transform(count_in(0, 1000000))
      ->capture_default_str();
  command->footer(
      "Examples:\n"
      "  tavrin report part-0.jsonl part-1.jsonl --out report.html --threshold category=0.7\n"
      "  tavrin report --compare run-a.jsonl run-b.jsonl --limit 5");
  command->callback([options, command] {
    if (!options->compare && options->out.empty()) {
      throw UsageError("--out is required (or --compare A B)");
    }
    if (options->compare && command->count("--out") > 0) {
      throw UsageError("--compare writes no page: leave out --out");
    }
    run_report(*options);
  });
}

}  // namespace tavrin::cli
