// The subcommands of the `tavrin` tool; each adds itself, its options, its help with an
// example and its action to the application.
//
//   CLI::App app{"tavrin"};
//   add_split_command(app);   // `tavrin split tickets.csv --train train.csv --test test.csv`
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}  // namespace CLI

namespace tavrin::cli {

/// The exit status of a `label` run that its --budget-tokens stopped.
constexpr int kBudgetSpentStatus = 3;

/// The most requests --in-flight lets a job keep awaiting an answer at once.
constexpr std::size_t kMaxInFlight = 4096;

/// Where the LLM is, which model to ask and how, shared by the subcommands that talk to one.
struct LlmOptions {
  std::string url;
  std::string key;       // --llm-key; resolve_endpoint settles the key (common.hpp)
  std::string key_file;  // --llm-key-file
  std::string model = "qwen3-max";
  double temperature = 1;
  unsigned retries = 2;  // of a failed request, by the pooled client's policy
  double timeout = 600;  // seconds a request may take, and may stay silent
};

/// Adds --llm-url (read from TAVRIN_LLM_URL when left out), --llm-key, --llm-key-file,
/// --llm-model, --temperature, --retries and --timeout to `command`.
void add_llm_options(CLI::App& command, LlmOptions& options);

/// Adds --min-score, the similarity below which a field abstains (null) instead of taking the
/// nearest label, to `command`: unset by default, or `min_score` shown as the default.
void add_min_score_option(CLI::App& command, std::optional<double>& min_score);
void add_min_score_option(CLI::App& command, double& min_score);
/// --no-answer WORD,…: more words that say there is no answer.
void add_no_answer_option(CLI::App& command, std::vector<std::string>& words);

/// Which embedding model the stores are built and searched with: OpenAIEmbeddings at `url`
/// when it is given, else the offline HashingEmbeddings.
struct EmbedOptions {
  std::string url;
  std::string key;       // --embed-key; embeddings_from settles the key (common.hpp)
  std::string key_file;  // --embed-key-file
  std::string model;
  std::size_t batch = 64;
  unsigned retries = 2;  // of a failed request; a command that asks an LLM passes its own
  double timeout = 600;  // seconds a request may take, and may stay silent
};

/// Adds --embed-url, --embed-model (read from TAVRIN_EMBED_URL, TAVRIN_EMBED_MODEL when left
/// out), --embed-key, --embed-key-file and --embed-batch to `command`.
void add_embed_options(CLI::App& command, EmbedOptions& options);

/// Adds --retries and --timeout, the limits of each request of `command`, to `retries` and
/// `timeout` (add_llm_options adds them for the LLM's; a command without an LLM for the
/// embedding endpoint's).
void add_request_limits(CLI::App& command, unsigned& retries, double& timeout);

void add_split_command(CLI::App& app);
void add_build_command(CLI::App& app);
void add_check_command(CLI::App& app);
void add_ask_command(CLI::App& app);
void add_analyze_command(CLI::App& app);
void add_demo_command(CLI::App& app);
void add_label_command(CLI::App& app);
void add_calibrate_command(CLI::App& app);
void add_review_command(CLI::App& app);
void add_export_command(CLI::App& app);
void add_report_command(CLI::App& app);

}  // namespace tavrin::cli
