#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>
#include <memory>
#include <utility>

#include "cli/commands.hpp"
#include "cli/common.hpp"
#include "cli/files.hpp"
#include "cli/llm.hpp"
#include "cli/numbers.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/prompts.hpp"

namespace tavrin::cli {
namespace {

struct AnalyzeOptions {
  LlmOptions llm;
  std::string table;
  std::string goal;
  std::size_t rows = 20;
};

Value first_rows(const frame::DataFrame& table, std::size_t count) {
  Value rows = Value::array();
  for (std::size_t i = 0; i < std::min(count, table.size()); ++i) {
    rows.push_back(row_object(table, i));
  }
  return rows;
}

void run_analyze(const AnalyzeOptions& options) {
  const Endpoint endpoint = require_endpoint(options.llm);
  require_utf8(options.goal, "--goal");
  const Value sample = first_rows(read_table(options.table), options.rows);
  // The analysis asks for a synchronous chat that answers (reply text, anything).
  auto chat = [&](const std::string& prompt, const std::string& url, const std::string& key) {
    Value reply = chat_once({url, key}, options.llm, prompt);
    return std::pair{answer_of(reply), std::move(reply)};
  };
  const Value analysis =
      prompts::llm_data_analyze(chat, endpoint.url, endpoint.key, sample, options.goal);
  std::cout << analysis.dump(-1, ' ', false, Value::error_handler_t::replace) << std::endl;
}

}  // namespace

void add_analyze_command(CLI::App& app) {
  auto options = std::make_shared<AnalyzeOptions>();
  CLI::App* command = app.add_subcommand(
      "analyze", "Ask the LLM, as a data-analysis expert, how to reach a goal with a CSV sample");
  command->add_option("table", options->table, "CSV file whose first rows are the sample")
      ->required();
  command->add_option("--goal", options->goal, "what the analysis should achieve")->required();
  command->add_option("--rows", options->rows, "how many rows from the top make the sample")
      ->transform(count_in(1, 1000))
      ->capture_default_str();
  add_llm_options(*command, options->llm);
  command->footer(
      "Example:\n"
      "  tavrin analyze examples/data/tickets.csv --goal 自动给工单分类 --rows 10\n"
      "  {\"subject\": \"客服工单\", \"role\": \"...\", \"steps\": [...]}");
  command->callback([options] { run_analyze(*options); });
}

}  // namespace tavrin::cli
