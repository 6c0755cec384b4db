#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>

#include "cli/commands.hpp"
#include "cli/common.hpp"
#include "cli/files.hpp"
#include "tavrin/core/json_lines.hpp"
#include "tavrin/labeling/checker.hpp"
#include "tavrin/labeling/report.hpp"
#include "tavrin/labeling/results.hpp"
#include "tavrin/labeling/stores.hpp"
#include "tavrin/olvane.hpp"

namespace tavrin::cli {
namespace {

struct CheckOptions {
  std::string predictions;
  std::string labels;
  std::string stores;
  std::string fields;
  std::optional<double> min_score;     // abstain (null) below this similarity
  std::vector<std::string> no_answer;  // more no-answer words
  bool scores = false;                 // add "decisions": each field's decision and scores
  EmbedOptions embed;
};

void run_check(const CheckOptions& options) {
  if (options.predictions == "-" && options.labels == "-") {
    throw UsageError("the predictions and --labels cannot both come from standard input");
  }
  const labeling::LabelFile label_file = read_label_file(options.labels);
  const Value& labels = label_file.labels;
  const auto fields = chosen_fields(labels, options.fields, options.labels);
  const std::string source = options.predictions == "-" ? "standard input" : options.predictions;
  const auto input = open_input(options.predictions);
  const auto embeddings = embeddings_from(options.embed);
  labeling::PredictionChecker checker(
      {labels,
       fields,
       {.min_score = options.min_score,
        .no_answer_words = options.no_answer,
        .multi_label = labeling::multi_label_fields(label_file.notes)}},
      usage_checked(
          [&] { return labeling::load_field_stores(options.stores, labels, fields, embeddings); }),
      {.scores = options.scores});
  const auto print_checked = [&] {
    for (const Value& record : checker.flush()) {
      std::cout << record.dump(-1, ' ', false, Value::error_handler_t::replace) << '\n';
    }
    std::cout.flush();
  };
  // A line that cannot be checked is reported in its place, after the lines before it, and
  // passed over; the others are still checked.
  std::size_t bad_lines = 0;
  const auto refuse = [&](const std::string& why) {
    print_checked();
    ++bad_lines;
    std::cerr << "tavrin check: " << why << '\n';
  };

  // Lines are checked as they come: a batch is checked when full or when the input has nothing
  // more at hand, so that a slow writer sees each answer at once.
  naming_embedding_endpoint(*embeddings, [&] {
    JsonLines lines(*input, source);
    while (true) {
      if (input->rdbuf()->in_avail() <= 0) print_checked();
      const auto line = lines.next();
      if (!line) break;
      Value record;
      try {
        record = lines.object(*line);
      } catch (const ValueError& e) {
        refuse(e.what());
        continue;
      }
      if (options.scores && record.contains("decisions")) {
        refuse(lines.where(*line) +
               " has a member \"decisions\" of its own, which --scores would overwrite");
        continue;
      }
      checker.add(std::move(record));
    }
    print_checked();
  });
  const labeling::JobTally& tally = checker.tally();
  std::cout.flush();
  const labeling::FieldTally all = tally.all_fields();
  std::cerr << "checked " << tally.done << " records: values " << labeling::values_line(all)
            << "\n";
  if (bad_lines > 0) {
    throw std::runtime_error(std::to_string(bad_lines) + " lines of " + source +
                             " could not be checked");
  }
}

}  // namespace

void add_check_command(CLI::App& app) {
  auto options = std::make_shared<CheckOptions>();
  CLI::App* command = app.add_subcommand(
      "check",
      "Check predicted labels (JSON Lines) against the label stores; checked JSON Lines to stdout");
  command->add_option("predictions", options->predictions, "JSON Lines file, or - for stdin")
      ->required();
  command->add_option("--labels", options->labels, "labels.json: field name to allowed labels")
      ->required();
  command
      ->add_option("--stores", options->stores,
                   "stores folder: <stores>/fields/<field> (tavrin build), or <stores>/<field>")
      ->required()
      ->check(CLI::ExistingDirectory);
  command->add_option("--fields", options->fields,
                      "fields to check, comma-separated (default: those of labels.json)");
  add_min_score_option(*command, options->min_score);
  add_no_answer_option(*command, options->no_answer);
  add_embed_options(*command, options->embed);
  add_request_limits(*command, options->embed.retries, options->embed.timeout);
  command->add_flag("--scores", options->scores,
                    "add \"decisions\": each field's decision, similarity and runner-up");
  command->footer(
      "Example:\n"
      "  echo '{\"id\": 7, \"category\": \"售后服务部\"}' |\n"
      "    tavrin check - --labels examples/data/labels.json --stores stores --fields category\n"
      "  {\"id\":7,\"category\":\"售后服务\"}");
  command->callback([options] { run_check(*options); });
}

}  // namespace tavrin::cli
