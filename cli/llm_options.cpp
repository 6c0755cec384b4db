#include <CLI/CLI.hpp>

#include "cli/commands.hpp"
#include "cli/numbers.hpp"
#include "quellin/client.hpp"

namespace tavrin::cli {

void add_llm_options(CLI::App& command, LlmOptions& options) {
  command.add_option("--llm-url", options.url, "address of the chat-completion endpoint")
      ->envname("TAVRIN_LLM_URL");
  // No default shown and no validator: the key must never appear in any output. No envname
  // either: a key file given on the command line wins over TAVRIN_LLM_KEY (resolve_key).
  command.add_option("--llm-key", options.key,
                     "API key, sent as a bearer token (default: TAVRIN_LLM_KEY); other local "
                     "users can read a command line: prefer TAVRIN_LLM_KEY or --llm-key-file");
  command.add_option("--llm-key-file", options.key_file,
                     "file that holds the API key (one trailing line break is dropped)");
  command.add_option("--llm-model", options.model, "model name")->capture_default_str();
  command.add_option("--temperature", options.temperature, "sampling temperature")
      ->capture_default_str()
      ->transform(real_in(0.0, 2.0));
  add_request_limits(command, options.retries, options.timeout);
}

void add_request_limits(CLI::App& command, unsigned& retries, double& timeout) {
  command.add_option("--retries", retries, "retries of a failed request (0 for none)")
      ->capture_default_str()
      ->transform(count_in(0, 100));
  command
      .add_option("--timeout", timeout, "seconds a request may take in all, and may stay silent")
      ->capture_default_str()
      ->transform(real_in(quellin::kMinTimeoutSeconds, quellin::kMaxTimeoutSeconds));
}

namespace {

template <class Score>
CLI::Option* add_min_score(CLI::App& command, Score& min_score) {
  return command
      .add_option("--min-score", min_score,
                  "abstain (null) when the nearest label is less similar than this")
      ->transform(real_in(-1.0, 1.0));
}

}  // namespace

void add_min_score_option(CLI::App& command, std::optional<double>& min_score) {
  add_min_score(command, min_score);
}

void add_min_score_option(CLI::App& command, double& min_score) {
  add_min_score(command, min_score)->capture_default_str();
}

void add_no_answer_option(CLI::App& command, std::vector<std::string>& words) {
  command
      .add_option("--no-answer", words,
                  "more words that say there is no answer, comma-separated (besides n/a, none, "
                  "unknown, 未知, …): such a value is left null, never forced onto a label")
      ->delimiter(',');
}

void add_embed_options(CLI::App& command, EmbedOptions& options) {
  command
      .add_option("--embed-url", options.url,
                  "OpenAI-compatible embeddings API root, e.g. https://api.openai.com/v1 "
                  "(default: the offline HashingEmbeddings)")
      ->envname("TAVRIN_EMBED_URL");
  command.add_option("--embed-key", options.key,
                     "API key of the embedding endpoint (default: TAVRIN_EMBED_KEY); other local "
                     "users can read a command line: prefer TAVRIN_EMBED_KEY or --embed-key-file");
  command.add_option("--embed-key-file", options.key_file,
                     "file that holds the embedding endpoint's API key (one trailing line break "
                     "is dropped)");
  command.add_option("--embed-model", options.model, "embedding model name")
      ->envname("TAVRIN_EMBED_MODEL");
  command.add_option("--embed-batch", options.batch, "texts per embedding request")
      ->capture_default_str()
      ->transform(count_in(1, 100000));
}

}  // namespace tavrin::cli
