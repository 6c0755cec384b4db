#include <CLI/CLI.hpp>
#include <memory>
#include <string>

#include "cli/commands.hpp"
#include "cli/common.hpp"
#include "cli/files.hpp"
#include "cli/numbers.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/tessick.hpp"

namespace tavrin::cli {
namespace {

struct SplitOptions {
  std::string table;
  std::string train;
  std::string test;
  double ratio = 0.1;
};

void run_split(const SplitOptions& options) {
  const frame::DataFrame table = read_table(options.table);
  require_output_file(options.train, "--train");
  require_output_file(options.test, "--test");
  require_distinct_outputs(options.train, "--train", options.test, "--test");
  tessick::split_data(table, options.train, options.test, options.ratio);
}

}  // namespace

void add_split_command(CLI::App& app) {
  auto options = std::make_shared<SplitOptions>();
  CLI::App* command = app.add_subcommand(
      "split", "Shuffle a CSV table with a fixed seed and cut it into a training and a test file");
  command->add_option("table", options->table, "CSV file whose first line names the columns")
      ->required();
  command->add_option("--train", options->train, "CSV file to write the training rows to")
      ->required();
  command->add_option("--test", options->test, "CSV file to write the test rows to")->required();
  command->add_option("--ratio", options->ratio, "share of the rows that goes to the test file")
      ->transform(real_in(0.0, 1.0))
      ->capture_default_str();
  command->footer(
      "Example:\n"
      "  tavrin split examples/data/tickets.csv --train train.csv --test test.csv\n"
      "  训练集数据量:2700，保存到: train.csv, 测试集数据量:300，保存到: test.csv");
  command->callback([options] { run_split(*options); });
}

}  // namespace tavrin::cli
