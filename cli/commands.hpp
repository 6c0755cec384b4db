// The subcommands of the `tavrin` tool; each adds itself, its options, its help with an
// example and its action to the application.
//
//   CLI::App app{"tavrin"};
//   add_split_command(app);   // `tavrin split tickets.csv --train train.csv --test test.csv`
#pragma once

#include <string>

namespace CLI {
class App;
}  // namespace CLI

namespace tavrin::cli {

/// Where the LLM is and which model to ask, shared by the subcommands that talk to one.
struct LlmOptions {
  std::string url;
  std::string key;
  std::string model = "qwen3-max";
};

/// Adds --llm-url, --llm-key (read from TAVRIN_LLM_URL / TAVRIN_LLM_KEY when left out) and
/// --llm-model to `command`.
void add_llm_options(CLI::App& command, LlmOptions& options);

void add_split_command(CLI::App& app);
void add_build_command(CLI::App& app);
void add_check_command(CLI::App& app);
void add_ask_command(CLI::App& app);
void add_analyze_command(CLI::App& app);
void add_demo_command(CLI::App& app);
void add_label_command(CLI::App& app);

}  // namespace tavrin::cli
