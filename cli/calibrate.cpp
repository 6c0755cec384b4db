// `tavrin calibrate`: a threshold per field chosen from results that carry true labels.
#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/common.hpp"
#include "cli/files.hpp"
#include "cli/numbers.hpp"
#include "tavrin/labeling/calibration.hpp"

namespace tavrin::cli {
namespace {

struct CalibrateOptions {
  std::vector<std::string> results;
  std::string out;
  std::string fields;
  double target_precision = 0.95;
  double confidence_level = 0.95;
};

void run_calibrate(const CalibrateOptions& options) {
  require_output_file(options.out, "--out");
  labeling::CalibrationOptions settings{.target_precision = options.target_precision,
                                        .confidence_level = options.confidence_level};
  if (!options.fields.empty()) settings.fields = split_names(options.fields, "--fields");
  const labeling::Calibration calibration =
      usage_checked([&] { return labeling::calibrate(options.results, settings); });
  labeling::write_calibration(options.out, calibration);
  std::cerr << "tavrin calibrate: " << options.out << " (target precision "
            << options.target_precision * 100 << "%)\n";
  for (const std::string& line : labeling::calibration_lines(calibration)) {
    std::cerr << line << '\n';
  }
}

}  // namespace

void add_calibrate_command(CLI::App& app) {
  auto options = std::make_shared<CalibrateOptions>();
  CLI::App* command = app.add_subcommand(
      "calibrate",
      "Fit each field's confidence to the true labels of results files and choose the lowest "
      "threshold that reaches a target precision");
  command->add_option("results", options->results, "results files (the shards of one table)")
      ->required();
  command->add_option("--out", options->out, "calibration.json to write")->required();
  command
      ->add_option("--target-precision", options->target_precision,
                   "the precision the values at or above each threshold must reach")
      ->capture_default_str()
      ->transform(real_in(0.000001, 1));
  command
      ->add_option("--confidence-level", options->confidence_level,
                   "how sure the precision must be: its Wilson lower bound at this level is "
                   "held to the target")
      ->capture_default_str()
      ->transform(real_in(0.5, 0.999999));
  command->add_option("--fields", options->fields,
                      "fields to calibrate, comma-separated (default: the run's target fields)");
  command->footer(
      "Example:\n"
      "  tavrin label test.csv ... --out test-results.jsonl --confidence auto\n"
      "  tavrin calibrate test-results.jsonl --target-precision 0.95 --out calibration.json\n"
      "  tavrin label records.csv ... --out results.jsonl --confidence auto \\\n"
      "    --calibration calibration.json");
  command->callback([options] { run_calibrate(*options); });
}

}  // namespace tavrin::cli
