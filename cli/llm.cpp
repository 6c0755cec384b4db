#include "cli/llm.hpp"

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <exception>
#include <utility>

#include "tavrin/core/errors.hpp"
#include "tavrin/palisk.hpp"

namespace tavrin::cli {
namespace {

namespace asio = boost::asio;

// What the workers of one ask_all share; they all run on one thread.
struct AskJob {
  const Endpoint& endpoint;
  const std::string& model;
  const std::vector<std::string>& prompts;
  const AnswerProgress& progress;
  std::vector<Answer> answers;
  std::size_t next = 0;
  std::size_t answered = 0;
};

std::string join_labels(const Value& values) {
  std::string joined;
  for (const Value& label : values) {
    if (!joined.empty()) joined += "、";
    joined += label.get<std::string>();
  }
  return joined;
}

Answer parse_answer(const Value& text) {
  Value parsed = palisk::llm_postprocess(text.is_string() ? text.get<std::string>() : text.dump());
  if (!parsed.is_object()) {
    return {Value(), "the model's answer is not a JSON object: " + in_quotes(text.dump())};
  }
  return {std::move(parsed), ""};
}

// Takes prompts off the shared queue until none is left.
asio::awaitable<void> ask_worker(AskJob& job) {
  while (job.next < job.prompts.size()) {
    const std::size_t i = job.next++;
    try {
      const Value text = co_await palisk::llm_response(job.endpoint.url, job.endpoint.key,
                                                       job.prompts[i], job.model, false);
      job.answers[i] = parse_answer(text);
    } catch (const std::exception& e) {
      job.answers[i] = {Value(), e.what()};
    }
    if (job.progress) job.progress(++job.answered);
  }
}

const Value& require_entry(const Value& parent, const char* key, const char* where) {
  if (!parent.is_object() || !parent.contains(key)) {
    throw ValueError(std::string("the reply has no \"") + key + "\" in " + where);
  }
  return parent[key];
}

}  // namespace

std::string labelling_prompt(const Value& labels, const std::string& question) {
  std::string prompt =
      "你是客服工单分类助手。请阅读下面的工单，为每个字段从允许的标签中选出一个。\n允许的标签：\n";
  std::string keys;
  for (const auto& [field, values] : labels.items()) {
    prompt += "- " + field + ": " + join_labels(values) + "\n";
    keys += (keys.empty() ? "" : ", ") + field;
  }
  prompt += "工单：" + question + "\n";
  prompt += "只输出一个 JSON 对象，键为 " + keys + "，值为所选标签，不要输出其他内容。";
  return prompt;
}

std::vector<Answer> ask_all(const Endpoint& endpoint, const std::string& model,
                            const std::vector<std::string>& prompts, std::size_t in_flight,
                            const AnswerProgress& progress) {
  AskJob job{endpoint, model, prompts, progress, std::vector<Answer>(prompts.size())};
  asio::io_context io;
  const std::size_t workers = std::max<std::size_t>(1, std::min(in_flight, prompts.size()));
  for (std::size_t w = 0; w < workers; ++w) {
    asio::co_spawn(io, ask_worker(job), [](const std::exception_ptr& e) {
      if (e) std::rethrow_exception(e);
    });
  }
  io.run();
  return std::move(job.answers);
}

std::string reply_text(const Value& reply) {
  const Value& choices = require_entry(reply, "choices", "the reply");
  if (!choices.is_array() || choices.empty()) {
    throw ValueError("the reply's \"choices\" is not a non-empty list");
  }
  const Value& message = require_entry(choices[0], "message", "its first choice");
  const Value& content = require_entry(message, "content", "its message");
  if (!content.is_string()) throw ValueError("the reply's message content is not text");
  return content.get<std::string>();
}

}  // namespace tavrin::cli
