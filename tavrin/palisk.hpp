// palisk: the LLM chat client. `chat` sends one user prompt to a chat-completion endpoint and
// yields the decoded reply; `llm_response` does the same with its own defaults and takes the
// answer out of the reply, parsed as a JSON object; `llm_postprocess` turns a reply text that
// may sit in a Markdown fence into data.
//
//   Value answer = co_await llm_response(url, key, "以 JSON 回答……");   // -> {"产品":"手机"}
//   llm_postprocess("```json\n{\"a\": 1}\n```")                        // -> {"a":1}
//   Value reply = run_blocking(chat("你好", url, key));                // without an event loop
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "tavrin/core/value.hpp"

namespace tavrin::palisk {

/// 调用 LLM 模型进行对话
///
/// Sends `prompt` to the endpoint at `url` (used as given) with the bearer `key` and yields
/// the decoded reply unchanged. std::nullopt or a null Value for `headers` / `payload` stands
/// for the defaults: headers "Content-Type" then "Authorization"; payload "model",
/// "messages" (one "user" entry), "temperature" (always a float). Any other value is sent as
/// it is, and then `key` (for headers) or `prompt`, `model_name`, `temper` (for payload) play
/// no part. Nothing is built or sent before the awaitable is awaited; transport failures
/// (quellin::HttpError, TransportError, ...) reach the caller unchanged, with no retry.
boost::asio::awaitable<Value> chat(std::string prompt, std::string url, std::string key,
                                   std::string model_name = "qwen-max", double temper = 0.1,
                                   std::optional<Value> headers = std::nullopt,
                                   std::optional<Value> payload = std::nullopt);

/// Removes from `response`, in this order, every "```json", every "```", every line feed and
/// every blank, then yields literal_eval of the rest, else json_loads of it, else the cleaned
/// text itself. Never fails on a reply that cannot be parsed.
Value llm_postprocess(const std::string& response);

/// The body of a chat completion as chat sends it: "model", "messages" (one "user" entry
/// holding `prompt`), "temperature".
Value chat_payload(std::string model, std::string prompt, Value temperature);

/// The headers of a chat completion as chat sends them: "Content-Type" (application/json),
/// then "Authorization" ("Bearer " and `key`).
Value chat_headers(std::string_view key);

/// The answer of a chat-completion reply, `reply["choices"][0]["message"]["content"]`, as
/// llm_response takes it out: TypeError when a step is of the wrong kind, KeyError naming a
/// missing key, IndexError for an empty "choices". The answer may be of any kind (null when
/// the model called a tool instead).
const Value& answer_text(const Value& reply);

/// The answer of a chat-completion reply as text: answer_text's answer and errors, and a
/// TypeError ("the reply's answer is null, not text") when the answer is not a string.
std::string answer_string(const Value& reply);

/// The mapping that a model's free-text answer holds, every character of its strings kept.
///
/// Removes reasoning blocks (`<think>`…`</think>`; an answer that only closes one drops what
/// comes before the close), then yields the first brace-delimited span that reads as a JSON
/// object (json_loads) or a Python literal mapping (literal_eval). Prose, Markdown fences of
/// any language tag, and other text before and after it are passed over. Unlike
/// llm_postprocess it never removes blanks and never falls back to text: an answer that holds
/// no mapping is a ValueError quoting its start.
///
///   parse_answer("好的：\n```python\n{'topic': 'customer service'}\n```")
///   // -> {"topic":"customer service"}
Value parse_answer(std::string_view answer);

/// parse_answer for an answer to a question about `target_fields`: of the mappings in the
/// answer (those that no other mapping holds), the one holding the most target fields, the
/// last of those that hold equally many. A model that quotes the record before its answer
/// (`订单 {"产品": "电视"} → {"产品": "电视", "类别": "售后服务"}`) is read by its answer. The
/// same ValueError when the answer holds no mapping.
Value parse_answer(std::string_view answer, const std::vector<std::string>& target_fields);

/// Sends `prompt` with model `llm_name`, the integer temperature 1 and the headers
/// "Authorization" then "Content-Type", and yields the reply's "choices"[0]["message"]
/// ["content"]: parsed by json_loads when `is_json` (a JSON object or null, anything else is a
/// TypeError), else unchanged. A null on the way is a TypeError, a missing key a KeyError
/// naming it, an empty "choices" an IndexError. No fence stripping, no retry.
boost::asio::awaitable<Value> llm_response(std::string base_url, std::string base_key,
                                           std::string prompt, std::string llm_name = "qwen3-max",
                                           bool is_json = true);

/// Runs `op` to completion on a private io_context, for hosts without an event loop of their
/// own, and returns its value or rethrows its failure.
template <class T>
T run_blocking(boost::asio::awaitable<T> op) {
  boost::asio::io_context context;
  std::optional<T> value;
  std::exception_ptr failure;
  boost::asio::co_spawn(context, std::move(op), [&](std::exception_ptr e, T result) {
    failure = e;
    if (!e) value.emplace(std::move(result));
  });
  context.run();
  if (failure) std::rethrow_exception(failure);
  return std::move(*value);
}

}  // namespace tavrin::palisk
