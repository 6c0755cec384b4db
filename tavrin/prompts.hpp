// prompts: asks an LLM, as a data-analysis expert, to analyse a data sample for a goal and to
// answer with a JSON object of "subject", "role" and "steps".
//
//   auto chat = [](const std::string& prompt, const std::string& url, const std::string& key) {
//     return std::pair{std::string(R"({"subject": "销量", "role": "分析师", "steps": []})"), 0};
//   };
//   llm_data_analyze(chat, url, key, Value::array({1, 2}), "找出趋势")
//   // -> {"subject":"销量","role":"分析师","steps":[]}
#pragma once

#include <string>
#include <utility>

#include "tavrin/core/literal.hpp"
#include "tavrin/core/value.hpp"

namespace tavrin::prompts {

/// The prompt that llm_data_analyze sends: five pieces with nothing between them, the data in
/// its literal form (repr) and the goal unchanged; always 109 characters longer than the two.
/// `data` must be an array (else TypeError naming `data`).
std::string data_analysis_prompt(const Value& data, const std::string& goal);

/// 生成用于 LLM 数据分析的 Prompt
///
///     Args:
///         data (list): 需要分析的数据列表
///         goal (str): 分析目标描述
///
///     Returns:
///         str: 用于 LLM 的 Prompt
///
/// Calls `chat(prompt, llm_url, llm_key)` once, synchronously; its answer must decompose into
/// exactly two values (a pair, a tuple of two, an aggregate of two), the first the reply text.
/// Returns literal_eval of that text; its failures reach the caller unchanged.
template <class Chat>
Value llm_data_analyze(Chat&& chat, const std::string& llm_url, const std::string& llm_key,
                       const Value& data, const std::string& goal) {
  const std::string prompt = data_analysis_prompt(data, goal);
  [[maybe_unused]] auto&& [res, _] = std::forward<Chat>(chat)(prompt, llm_url, llm_key);
  return literal_eval(res);
}

}  // namespace tavrin::prompts
