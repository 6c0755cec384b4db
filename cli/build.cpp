#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <memory>

#include "cli/commands.hpp"
#include "cli/common.hpp"
#include "cli/files.hpp"
#include "tavrin/brollin.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/labeling/labels.hpp"
#include "tavrin/labeling/stores.hpp"

namespace tavrin::cli {
namespace {

struct BuildOptions {
  std::string table;
  std::string labels;
  std::string out;
  std::string text = "question";
  std::string fields;
  std::string metadata;
  EmbedOptions embed;
};

void run_build(const BuildOptions& options) {
  require_output_folder(options.out, "--out");
  const labeling::LabelFile label_file = read_label_file(options.labels);
  const Value& labels = label_file.labels;
  const auto fields = chosen_fields(labels, options.fields, options.labels);
  const auto text_columns = split_names(options.text, "--text-fields");
  const auto metadata_columns =
      options.metadata.empty() ? fields : split_names(options.metadata, "--metadata");

  const frame::DataFrame table = read_table(options.table);
  require_columns(table, text_columns, options.table);
  require_columns(table, metadata_columns, options.table);
  // Not an error: such rows still make examples, but a prompt shows their values as answers.
  for (const labeling::OffLabelRows& off : labeling::off_label_rows(label_file, table, fields)) {
    std::cerr << "warning: " << off.rows << " of " << off.of << " training rows have a "
              << in_quotes(off.field) << " that is no allowed label (e.g. "
              << in_quotes(off.example.is_string() ? off.example.get<std::string>()
                                                   : off.example.dump())
              << ")\n";
  }

  const std::filesystem::path out = options.out;
  const auto embeddings = embeddings_from(options.embed);
  naming_embedding_endpoint(*embeddings, [&] {
    brollin::data2faiss(labels, table, text_columns, metadata_columns, fields,
                        labeling::train_store_dir(out).string(),
                        labeling::field_stores_dir(out).string(), embeddings);
  });
  labeling::write_stores_manifest(out, {text_columns});
  std::cerr << "built " << 1 + fields.size() << " stores from " << table.size() << " rows in "
            << out.string() << '\n';
}

}  // namespace

void add_build_command(CLI::App& app) {
  auto options = std::make_shared<BuildOptions>();
  CLI::App* command = app.add_subcommand("build",
                                         "Build the training-data store and one store of allowed "
                                         "labels per field");
  command->add_option("table", options->table, "training CSV file")->required();
  command->add_option("--labels", options->labels, "labels.json: field name to allowed labels")
      ->required();
  command->add_option("--out", options->out, "stores folder: <out>/train and <out>/fields/<field>")
      ->required();
  command
      ->add_option("--text-fields,--text", options->text,
                   "columns joined into each row's text, comma-separated (recorded in "
                   "<out>/stores.json, so that label uses the same)")
      ->capture_default_str();
  command->add_option("--fields", options->fields,
                      "fields that get a store, comma-separated (default: those of labels.json)");
  command->add_option(
      "--metadata", options->metadata,
      "columns kept as metadata of each row, comma-separated (default: the fields)");
  add_embed_options(*command, options->embed);
  add_request_limits(*command, options->embed.retries, options->embed.timeout);
  command->footer(
      "Example:\n"
      "  tavrin build train.csv --labels examples/data/labels.json --out stores\n"
      "  FAISS 已保存至：stores/train\n"
      "  FAISS 已保存至：stores/fields/product   (one line per store)");
  command->callback([options] { run_build(*options); });
}

}  // namespace tavrin::cli
