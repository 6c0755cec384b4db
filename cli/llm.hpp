// Asking a model on behalf of the tool: the labelling prompt of the demo, many prompts in
// flight at once through llm_response, and the reply text of a decoded chat reply.
//
//   auto answers = ask_all(endpoint, "qwen3-max", {labelling_prompt(labels, "手机坏了")}, 8, {});
//   answers[0].value   // -> {"product":"手机","category":"售后服务","priority":"P2"}
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "cli/common.hpp"
#include "tavrin/core/value.hpp"

namespace tavrin::cli {

/// The prompt that asks a model to give one ticket an allowed label for every field of
/// `labels`, answering with a JSON object only.
std::string labelling_prompt(const Value& labels, const std::string& question);

/// The answer to one prompt: the parsed object, or why there is none.
struct Answer {
  Value value;        // an object when `error` is empty
  std::string error;  // one line; never holds the key
};

/// Called after each answer with the number answered so far.
using AnswerProgress = std::function<void(std::size_t answered)>;

/// Sends every prompt through llm_response with at most `in_flight` of them waiting at once,
/// and parses each answer text leniently (llm_postprocess strips code fences). A prompt whose
/// request fails or whose answer is no JSON object gets an Answer with `error` set; the others
/// still run. Answers are in prompt order.
std::vector<Answer> ask_all(const Endpoint& endpoint, const std::string& model,
                            const std::vector<std::string>& prompts, std::size_t in_flight,
                            const AnswerProgress& progress);

/// The answer text of a decoded chat-completion reply: "choices"[0]["message"]["content"].
/// A reply of another shape is a ValueError that says which part is missing.
std::string reply_text(const Value& reply);

}  // namespace tavrin::cli
