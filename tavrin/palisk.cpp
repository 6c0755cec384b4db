#include "tavrin/palisk.hpp"

#include <algorithm>
#include <string_view>

#include "quellin/quellin.hpp"
#include "tavrin/core/check.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/json.hpp"
#include "tavrin/core/literal.hpp"

namespace tavrin::palisk {

namespace {

constexpr std::string_view kJson = "application/json";

bool is_none(const std::optional<Value>& v) { return !v.has_value() || v->is_null(); }

Value user_messages(std::string prompt) {
  Value message = Value::object();
  message["role"] = "user";
  message["content"] = std::move(prompt);
  return Value::array({std::move(message)});
}

Value request_payload(std::string model, std::string prompt, Value temperature) {
  Value payload = Value::object();
  payload["model"] = std::move(model);
  payload["messages"] = user_messages(std::move(prompt));
  payload["temperature"] = std::move(temperature);
  return payload;
}

std::string bearer(std::string_view key) { return "Bearer " + std::string(key); }

// Every occurrence of `what`, left to right and without overlap, as str.replace(what, "").
void remove_all(std::string& text, std::string_view what) {
  std::size_t from = text.find(what);
  if (from == std::string::npos) return;
  std::size_t to = from;
  while (from != std::string::npos) {
    from += what.size();
    const std::size_t next = text.find(what, from);
    const std::size_t keep = (next == std::string::npos ? text.size() : next) - from;
    std::copy(text.begin() + from, text.begin() + from + keep, text.begin() + to);
    to += keep;
    from = next;
  }
  text.resize(to);
}

// One step of the walk to the answer text: `holder[key]`, where holder must be a mapping.
const Value& entry(const Value& holder, std::string_view holder_name, const char* key) {
  if (!holder.is_object()) {
    throw TypeError("cannot read \"" + std::string(key) + "\" from " + std::string(holder_name) +
                    ": it is " + std::string(kind_name(holder)) + ", not a mapping");
  }
  const auto found = holder.find(key);
  if (found == holder.end()) {
    throw KeyError(std::string(holder_name) + " has no key \"" + key + "\"");
  }
  return *found;
}

const Value& first_choice(const Value& choices) {
  if (!choices.is_array()) {
    throw TypeError("cannot take element 0 of \"choices\": it is " +
                    std::string(kind_name(choices)) + ", not a list");
  }
  if (choices.empty()) throw IndexError("\"choices\" is an empty list");
  return choices.front();
}

// raw_res["choices"][0]["message"]["content"]
const Value& answer_text(const Value& raw_res) {
  const Value& choice = first_choice(entry(raw_res, "the reply", "choices"));
  const Value& message = entry(choice, "\"choices\"[0]", "message");
  return entry(message, "\"message\"", "content");
}

Value parse_answer(const Value& res) {
  if (!res.is_string()) {
    throw TypeError("the answer must be text to parse as JSON, not " + std::string(kind_name(res)));
  }
  Value parsed = json_loads(res.get_ref<const std::string&>());
  if (!parsed.is_object() && !parsed.is_null()) {
    throw TypeError("the answer must be a JSON object or null, not " +
                    std::string(kind_name(parsed)));
  }
  return parsed;
}

}  // namespace

boost::asio::awaitable<Value> chat(std::string prompt, std::string url, std::string key,
                                   std::string model_name, double temper,
                                   std::optional<Value> headers, std::optional<Value> payload) {
  Value sent_payload = is_none(payload)
                           ? request_payload(std::move(model_name), std::move(prompt), temper)
                           : std::move(*payload);
  Value sent_headers = Value::object();
  if (is_none(headers)) {
    sent_headers["Content-Type"] = kJson;
    sent_headers["Authorization"] = bearer(key);
  } else {
    sent_headers = std::move(*headers);
  }
  co_return co_await quellin::async_call_api(std::move(url), std::move(sent_headers),
                                             std::move(sent_payload));
}

Value llm_postprocess(const std::string& response) {
  std::string processed_response = response;
  remove_all(processed_response, "```json");
  remove_all(processed_response, "```");
  std::erase(processed_response, '\n');
  std::erase(processed_response, ' ');
  // The parsers' failures are fall-backs, whatever their kind.
  try {
    return literal_eval(processed_response);
  } catch (const std::exception&) {
  }
  try {
    return json_loads(processed_response);
  } catch (const std::exception&) {
  }
  return processed_response;
}

boost::asio::awaitable<Value> llm_response(std::string base_url, std::string base_key,
                                           std::string prompt, std::string llm_name, bool is_json) {
  Value payload = request_payload(std::move(llm_name), std::move(prompt), 1);
  Value headers = Value::object();
  headers["Authorization"] = bearer(base_key);
  headers["Content-Type"] = kJson;
  const Value raw_res =
      co_await quellin::async_call_api(std::move(base_url), std::move(headers), std::move(payload));
  const Value& res = answer_text(raw_res);
  if (!is_json) co_return res;
  co_return parse_answer(res);
}

}  // namespace tavrin::palisk
