#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

#include "cli/commands.hpp"
#include "cli/common.hpp"
#include "cli/files.hpp"
#include "cli/llm.hpp"
#include "tavrin/palisk.hpp"

namespace tavrin::cli {
namespace {

struct AskOptions {
  LlmOptions llm;
  std::string prompt;
  bool text = false;
};

void run_ask(const AskOptions& options) {
  const Endpoint endpoint = require_endpoint(options.llm);
  const std::string prompt = options.prompt == "-" ? read_input("-") : options.prompt;
  require_utf8(prompt, options.prompt == "-" ? "the prompt on standard input" : "the prompt");
  const std::string text = answer_of(chat_once(endpoint, options.llm, prompt));
  const Value answer = options.text ? Value(text) : palisk::parse_answer(text);
  std::cout << answer.dump(-1, ' ', false, Value::error_handler_t::replace) << std::endl;
}

}  // namespace

void add_ask_command(CLI::App& app) {
  auto options = std::make_shared<AskOptions>();
  CLI::App* command = app.add_subcommand(
      "ask", "Send one prompt to the LLM and print the JSON object of its answer");
  command->add_option("prompt", options->prompt, "the prompt, or - to read it from stdin")
      ->required();
  add_llm_options(*command, options->llm);
  command->add_flag("--text", options->text,
                    "print the answer text as a JSON string instead of the mapping it holds "
                    "(found in fences and prose, strings kept as they are)");
  command->footer(
      "Example:\n"
      "  export TAVRIN_LLM_URL=https://dashscope.aliyuncs.com/compatible-mode/v1/chat/completions\n"
      "  export TAVRIN_LLM_KEY=...\n"
      "  tavrin ask '用 JSON 回答：{\"capital\": 中国的首都}'\n"
      "  {\"capital\":\"北京\"}");
  command->callback([options] { run_ask(*options); });
}

}  // namespace tavrin::cli
