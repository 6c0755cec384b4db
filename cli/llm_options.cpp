#include <CLI/CLI.hpp>

#include "cli/commands.hpp"

namespace tavrin::cli {

void add_llm_options(CLI::App& command, LlmOptions& options) {
  command.add_option("--llm-url", options.url, "address of the chat-completion endpoint")
      ->envname("TAVRIN_LLM_URL");
  // No default shown and no validator: the key must never appear in any output.
  command.add_option("--llm-key", options.key, "API key, sent as a bearer token")
      ->envname("TAVRIN_LLM_KEY");
  command.add_option("--llm-model", options.model, "model name")->capture_default_str();
}

}  // namespace tavrin::cli
