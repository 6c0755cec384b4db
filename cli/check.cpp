#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>

#include "cli/commands.hpp"
#include "cli/common.hpp"
#include "cli/files.hpp"
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
  std::optional<double> min_score;  // abstain (null) below this similarity
  bool scores = false;              // add "decisions": each field's decision and scores
  EmbedOptions embed;
};

// `record` with its fields of `scored` set to their checked values; a field the record lacks
// or holds as null stays as it is: there was nothing to search with.
Value checked_record(Value record, const olvane::ScoredCheck& scored, bool with_scores) {
  for (const olvane::FieldCheck& check : scored.fields) {
    if (check.decision != olvane::Decision::missing) record[check.field] = check.checked;
  }
  if (with_scores) record["decisions"] = scored.decisions();
  return record;
}

void run_check(const CheckOptions& options) {
  if (options.predictions == "-" && options.labels == "-") {
    throw UsageError("the predictions and --labels cannot both come from standard input");
  }
  const Value labels = read_labels(options.labels);
  const auto fields = chosen_fields(labels, options.fields, options.labels);
  const std::string source = options.predictions == "-" ? "standard input" : options.predictions;
  const std::string text = read_input(options.predictions);
  const auto embeddings = embeddings_from(options.embed);
  const StoreMap stores = usage_checked(
      [&] { return labeling::load_field_stores(options.stores, labels, fields, embeddings); });

  // A bad line is reported and passed over; the others are still checked.
  labeling::JobTally tally;
  std::size_t bad_lines = 0;
  naming_embedding_endpoint(*embeddings, [&] {
    read_json_lines(
        text, source,
        [&](Value record) {
          const olvane::ScoredCheck scored =
              olvane::check_result_scored(record, labels, fields, stores, options.min_score);
          labeling::count_result(tally, labeling::checked_line(Value(), Value(), scored, Value()),
                                 fields);
          std::cout << checked_record(std::move(record), scored, options.scores)
                           .dump(-1, ' ', false, Value::error_handler_t::replace)
                    << '\n';
        },
        [&](const std::string& why) {
          ++bad_lines;
          std::cout.flush();
          std::cerr << "tavrin check: " << why << '\n';
        });
  });
  std::cout.flush();
  const labeling::FieldTally all = tally.all_fields();
  std::cerr << "checked " << tally.done << " records: " << all.kept << " values kept, "
            << all.replaced << " replaced, " << all.abstained << " abstained, " << all.missing
            << " missing\n";
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
