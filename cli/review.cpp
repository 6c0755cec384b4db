// `tavrin review`: the values a person should look at, and their answers written back.
// `tavrin export`: the input table with each record's checked values beside it.
#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/common.hpp"
#include "cli/files.hpp"
#include "cli/numbers.hpp"
#include "tavrin/labeling/export.hpp"
#include "tavrin/labeling/labels.hpp"
#include "tavrin/labeling/review.hpp"

namespace tavrin::cli {
namespace {

struct ReviewOptions {
  std::vector<std::string> results;
  std::string out;
  std::string apply;
  std::string records;
  std::string text_fields = "question";
  std::string id_column = "id";
  std::string fields;
  std::string labels;
  std::optional<double> below;
  std::size_t limit = 0;
};

void write_queue(const ReviewOptions& options) {
  require_output_file(options.out, "--out");
  labeling::ReviewOptions settings{.below = options.below, .limit = options.limit};
  if (!options.fields.empty()) settings.fields = split_names(options.fields, "--fields");
  std::vector<labeling::ReviewItem> items =
      usage_checked([&] { return labeling::review_queue(options.results, settings); });
  if (!options.records.empty()) {
    const auto text_fields = split_names(options.text_fields, "--text-fields");
    usage_checked(
        [&] { labeling::attach_texts(items, options.records, options.id_column, text_fields); });
  }
  labeling::write_review(options.out, items);
  std::cerr << "tavrin review: " << items.size() << " values to look at in " << options.out
            << (items.empty() ? "" : "; fill in the \"answer\" column, then tavrin review --apply")
            << '\n';
}

void apply_answers(const ReviewOptions& options) {
  const Value labels = options.labels.empty() ? Value() : read_label_file(options.labels).labels;
  const labeling::ReviewApplied applied = usage_checked([&] {
    return labeling::apply_review(options.results, labeling::read_review_answers(options.apply),
                                  labels);
  });
  std::cerr << "tavrin review: " << applied.answers << " answers written into " << applied.files
            << " results file" << (applied.files == 1 ? "" : "s") << " as reviewed true labels\n";
}

struct ExportOptions {
  std::vector<std::string> results;
  std::string records;
  std::string out;
  std::string id_column = "id";
  std::string fields;
};

void run_export(const ExportOptions& options) {
  require_output_file(options.out, "--out");
  labeling::ExportOptions settings{.id_column = options.id_column};
  if (!options.fields.empty()) settings.fields = split_names(options.fields, "--fields");
  const labeling::ExportCounts counts = usage_checked([&] {
    return labeling::export_labelled(options.results, options.records, options.out, settings);
  });
  std::cerr << "tavrin export: " << counts.rows << " records in " << options.out << ", "
            << counts.labelled << " with a result (" << counts.failed << " failed), "
            << counts.without_result << " without one";
  if (counts.unmatched > 0) {
    std::cerr << "; " << counts.unmatched << " results have an id the table lacks";
  }
  std::cerr << '\n';
}

}  // namespace

void add_review_command(CLI::App& app) {
  auto options = std::make_shared<ReviewOptions>();
  CLI::App* command = app.add_subcommand(
      "review",
      "Write the values a person should look at, lowest confidence first, or write their "
      "answers back into the results");
  command->add_option("results", options->results, "results files (the shards of one table)")
      ->required();
  command->add_option("--out", options->out,
                      "the review to write: CSV, or JSON Lines when it ends in .jsonl");
  command->add_option("--apply", options->apply,
                      "a review whose \"answer\" column a person filled in: each answer becomes "
                      "the checked value and the true label (decision reviewed)");
  command->add_option("--records", options->records,
                      "CSV file of the records, for each value's text");
  command
      ->add_option("--text-fields,--text", options->text_fields,
                   "columns of --records joined into the text")
      ->capture_default_str();
  command->add_option("--id-column", options->id_column, "column of the record ids")
      ->capture_default_str();
  command->add_option("--fields", options->fields, "fields to review, comma-separated");
  command->add_option("--labels", options->labels,
                      "labels.json: with --apply, an answer must be an allowed label");
  command
      ->add_option("--below", options->below,
                   "also every value whose confidence is below this, whatever its decision")
      ->transform(real_in(0, 1));
  command->add_option("--limit", options->limit, "the first so many values (0: all)")
      ->capture_default_str()
      ->transform(count_in(0, 1000000000));
  command->footer(
      "Example:\n"
      "  tavrin review results.jsonl --records records.csv --text question --out review.csv\n"
      "  tavrin review results.jsonl --apply review.csv --labels labels.json");
  command->callback([options] {
    if (options->out.empty() == options->apply.empty()) {
      throw UsageError("give either --out (write a review) or --apply (read one back)");
    }
    if (!options->apply.empty()) {
      apply_answers(*options);
    } else {
      write_queue(*options);
    }
  });
}

void add_export_command(CLI::App& app) {
  auto options = std::make_shared<ExportOptions>();
  CLI::App* command = app.add_subcommand(
      "export",
      "Write the input table with each target field's checked value, decision and confidence "
      "as new columns");
  command->add_option("results", options->results, "results files (the shards of one table)")
      ->required();
  command->add_option("--records", options->records, "CSV file of the records")->required();
  command->add_option("--out", options->out, "the labelled CSV file to write")->required();
  command->add_option("--id-column", options->id_column, "column of the record ids")
      ->capture_default_str();
  command->add_option("--fields", options->fields,
                      "fields to add, comma-separated (default: those of the results)");
  command->footer(
      "Example:\n"
      "  tavrin export part-0.jsonl part-1.jsonl --records records.csv --out labelled.csv");
  command->callback([options] { run_export(*options); });
}

}  // namespace tavrin::cli
