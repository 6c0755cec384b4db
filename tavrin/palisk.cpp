#include "tavrin/palisk.hpp"

#include <algorithm>
#include <string_view>

#include "quellin/quellin.hpp"
#include "tavrin/core/check.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/json.hpp"
#include "tavrin/core/literal.hpp"
#include "tavrin/internal/reply_scan.hpp"

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

Value parse_json_answer(const Value& res) {
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

namespace internal {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_word_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_word_char(char c) { return is_word_start(c) || is_digit(c); }
bool is_quote(char c) { return c == '\'' || c == '"'; }

bool is_string_prefix(std::string_view word) {
  std::string lower(word);
  for (char& c : lower) c = static_cast<char>(c | 0x20);
  for (std::string_view prefix : {"r", "u", "b", "f", "br", "rb", "fr", "rf"}) {
    if (lower == prefix) return true;
  }
  return false;
}

// Just past the string literal that opens at text[quote] (one or three quote characters; a
// backslash always escapes the next character), or npos when it does not end.
std::size_t skip_string(std::string_view text, std::size_t quote) {
  const char q = text[quote];
  const bool is_triple = text.size() - quote >= 3 && text[quote + 1] == q && text[quote + 2] == q;
  const std::size_t closer = is_triple ? 3 : 1;
  for (std::size_t i = quote + closer; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == q &&
               (!is_triple || (i + 2 < text.size() && text[i + 1] == q && text[i + 2] == q))) {
      return i + closer;
    }
  }
  return std::string_view::npos;
}

// Just past a number and any letters stuck to it (0x1F, 1e-5, 1_000, 2j, 1if).
std::size_t skip_number(std::string_view text, std::size_t i) {
  for (++i; i < text.size(); ++i) {
    const char c = text[i];
    const bool exponent_sign = (c == '+' || c == '-') && (text[i - 1] | 0x20) == 'e';
    if (!is_word_char(c) && c != '.' && !exponent_sign) break;
  }
  return i;
}

// Whether the name that starts at `i` is followed by an opening parenthesis.
bool is_call_ahead(std::string_view text, std::size_t i) {
  while (i < text.size() &&
         (static_cast<unsigned char>(text[i]) >= 0x80 || is_word_char(text[i]))) {
    ++i;
  }
  i = text.find_first_not_of(" \t\f\r", i);
  return i != std::string_view::npos && text[i] == '(';
}

}  // namespace

bool may_be_literal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    // Outside strings, non-ASCII text can only be a name; the one name a literal may hold is
    // a call of set, which the parser recognises under NFKC folding (ｓｅｔ()).
    if (static_cast<unsigned char>(c) >= 0x80) return is_call_ahead(text, i);
    if (c == '#') {  // a comment runs to the end of its line
      i = text.find_first_of("\r\n", i);
    } else if (is_quote(c)) {
      i = skip_string(text, i);
    } else if (is_digit(c) || (c == '.' && i + 1 < text.size() && is_digit(text[i + 1]))) {
      i = skip_number(text, i);
    } else if (is_word_start(c)) {
      const std::size_t begin = i;
      while (i < text.size() && is_word_char(text[i])) ++i;
      const std::string_view word = text.substr(begin, i - begin);
      if (i < text.size() && is_quote(text[i]) && is_string_prefix(word)) {
        i = skip_string(text, i);
      } else if (word != "True" && word != "False" && word != "None" && word != "set") {
        return false;
      }
    } else {
      ++i;
    }
  }
  return true;
}

bool may_be_json(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\n\r");
  return first != std::string_view::npos &&
         std::string_view("{[\"-0123456789tfnNI").find(text[first]) != std::string_view::npos;
}

}  // namespace internal

Value chat_payload(std::string model, std::string prompt, Value temperature) {
  Value payload = Value::object();
  payload["model"] = std::move(model);
  payload["messages"] = user_messages(std::move(prompt));
  payload["temperature"] = std::move(temperature);
  return payload;
}

Value chat_headers(std::string_view key) {
  Value headers = Value::object();
  headers["Content-Type"] = kJson;
  headers["Authorization"] = bearer(key);
  return headers;
}

// raw_res["choices"][0]["message"]["content"]
const Value& answer_text(const Value& raw_res) {
  const Value& choice = first_choice(entry(raw_res, "the reply", "choices"));
  const Value& message = entry(choice, "\"choices\"[0]", "message");
  return entry(message, "\"message\"", "content");
}

boost::asio::awaitable<Value> chat(std::string prompt, std::string url, std::string key,
                                   std::string model_name, double temper,
                                   std::optional<Value> headers, std::optional<Value> payload) {
  Value sent_payload = is_none(payload)
                           ? chat_payload(std::move(model_name), std::move(prompt), temper)
                           : std::move(*payload);
  Value sent_headers = is_none(headers) ? chat_headers(key) : std::move(*headers);
  co_return co_await quellin::async_call_api(std::move(url), std::move(sent_headers),
                                             std::move(sent_payload));
}

Value llm_postprocess(const std::string& response) {
  std::string processed_response = response;
  if (processed_response.find('`') != std::string::npos) {  // else there is no fence to remove
    remove_all(processed_response, "```json");
    remove_all(processed_response, "```");
  }
  // Removing every line feed and then every blank is one pass, as neither removal can create
  // an occurrence of the other; it takes no branch per character, which blanks would defeat.
  char* kept = processed_response.data();
  for (const char c : processed_response) {
    *kept = c;
    kept += c != '\n' && c != ' ';
  }
  processed_response.resize(static_cast<std::size_t>(kept - processed_response.data()));
  // The parsers' failures are fall-backs, whatever their kind. A parser that certainly refuses
  // the text is not asked: the result is the same, without the cost of an exception.
  if (internal::may_be_literal(processed_response)) {
    try {
      return literal_eval(processed_response);
    } catch (const std::exception&) {
    }
  }
  if (internal::may_be_json(processed_response)) {
    try {
      return json_loads(processed_response);
    } catch (const std::exception&) {
    }
  }
  return processed_response;
}

boost::asio::awaitable<Value> llm_response(std::string base_url, std::string base_key,
                                           std::string prompt, std::string llm_name, bool is_json) {
  Value payload = chat_payload(std::move(llm_name), std::move(prompt), 1);
  Value headers = Value::object();
  headers["Authorization"] = bearer(base_key);
  headers["Content-Type"] = kJson;
  const Value raw_res =
      co_await quellin::async_call_api(std::move(base_url), std::move(headers), std::move(payload));
  const Value& res = answer_text(raw_res);
  if (!is_json) co_return res;
  co_return parse_json_answer(res);
}

}  // namespace tavrin::palisk
