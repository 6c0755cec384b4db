#include "tests/support/openai_server.hpp"

#include <cmath>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <tuple>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <nlohmann/json.hpp>

namespace tavrin::testing {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Json = nlohmann::ordered_json;

namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::size_t content_length(std::string_view head) {
  const std::string text = lower(head);
  const auto at = text.find("\r\ncontent-length:");
  return at == std::string::npos ? 0 : std::stoul(text.substr(at + 17));
}

std::string request_path(std::string_view head) {
  const auto start = head.find(' ') + 1;
  return std::string(head.substr(start, head.find(' ', start) - start));
}

std::string reason_of(unsigned status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    case 408:
      return "Request Timeout";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

std::string error_body(unsigned status) {
  return Json({{"error", {{"message", reason_of(status)}, {"code", status}}}}).dump();
}

// A deterministic vector per text, so that equal texts get equal vectors.
Json embedding_of(const std::string& text, std::size_t dimensions) {
  Json vector = Json::array();
  std::uint32_t hash = 2166136261u;
  for (unsigned char c : text) hash = (hash ^ c) * 16777619u;
  for (std::size_t i = 0; i < dimensions; ++i) {
    hash = hash * 1103515245u + 12345u;
    vector.push_back(static_cast<double>(hash % 2001) / 1000.0 - 1.0);
  }
  return vector;
}

// The labels each field has in a prompt: its lines "- field: a、b、c" (or "a, b, c").
Json listed_labels(const std::string& prompt) {
  Json fields = Json::object();
  std::size_t start = 0;
  while (start < prompt.size()) {
    std::size_t end = prompt.find('\n', start);
    if (end == std::string::npos) end = prompt.size();
    const std::string line = prompt.substr(start, end - start);
    start = end + 1;
    const auto colon = line.find(": ");
    if (!line.starts_with("- ") || colon == std::string::npos) continue;
    Json labels = Json::array();
    const std::string list = line.substr(colon + 2);
    for (std::size_t at = 0; at <= list.size();) {
      std::size_t next = list.find("、", at);
      if (next == std::string::npos) next = list.size();
      labels.push_back(list.substr(at, next - at));
      at = next + std::string_view("、").size();
    }
    // "- field（note）: …" or "- field (note): …": the name is what comes before the note.
    std::string name = line.substr(2, colon - 2);
    for (const char* note : {"（", " ("}) name = name.substr(0, name.find(note));
    fields[name] = labels;
  }
  return fields;
}

bool allows_null(const Json& property) {
  const Json& type = property.value("type", Json());
  return type.is_array() && std::find(type.begin(), type.end(), "null") != type.end();
}

// What is wrong with the response_format of a chat request, or "" when nothing is (or it asks
// for no schema).
std::string format_fault(const Json& request) {
  const Json& format = request.value("response_format", Json());
  if (format.is_null() || format.value("type", "") != "json_schema") return "";
  const Json& json_schema = format.value("json_schema", Json());
  if (!json_schema.is_object() || json_schema.value("strict", false) != true) return "not strict";
  if (json_schema.value("name", "").empty()) return "no name";
  const Json& schema = json_schema.value("schema", Json());
  if (!schema.is_object() || schema.value("type", "") != "object") return "not an object schema";
  if (schema.value("additionalProperties", true) != false) return "additional properties allowed";
  const Json& properties = schema.value("properties", Json::object());
  const Json& messages = request.value("messages", Json::array());
  const Json listed = listed_labels(
      messages.empty() ? std::string() : messages.back().value("content", std::string()));
  Json names = Json::array(), expected = Json::array();
  for (const auto& [name, labels] : properties.items()) names.push_back(name);
  for (const auto& [name, labels] : listed.items()) expected.push_back(name);
  if (names != expected) return "properties " + names.dump() + ", prompt lists " + expected.dump();
  if (schema.value("required", Json()) != names) return "not all properties required";
  for (const auto& [name, property] : properties.items()) {
    if (!allows_null(property)) return name + " does not allow null";
    if (property.contains("enum")) {
      Json labels = listed[name];
      labels.push_back(nullptr);
      if (property["enum"] != labels) return name + " enum " + property["enum"].dump();
    }
    const Json& items = property.value("items", Json());
    if (items.is_object() && items.contains("enum") && items["enum"] != listed[name]) {
      return name + " items enum " + items["enum"].dump();
    }
  }
  return "";
}

std::string refusal_body(const std::string& message, const char* param) {
  return Json({{"error",
                {{"message", message},
                 {"type", "invalid_request_error"},
                 {"param", param == nullptr ? Json() : Json(param)},
                 {"code", nullptr}}}})
      .dump();
}

// The tokens of `answer`, a character each, at the stand-in's probabilities.
Json logprobs_of(const std::string& answer) {
  Json content = Json::array();
  for (std::size_t at = 0; at < answer.size();) {
    std::size_t length = 1;
    while (at + length < answer.size() &&
           (static_cast<unsigned char>(answer[at + length]) & 0xC0) == 0x80) {
      ++length;
    }
    const std::string token = answer.substr(at, length);
    const double logprob = std::log(OpenAiServer::kTokenProbability);
    content.push_back(
        {{"token", token},
         {"logprob", logprob},
         {"top_logprobs",
          {{{"token", token}, {"logprob", logprob}},
           {{"token", "~"}, {"logprob", std::log(OpenAiServer::kAlternativeProbability)}}}}});
    at += length;
  }
  return {{"content", content}};
}

// The stand-in's tokens: a character each.
std::size_t characters(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// The first `tokens` characters of `text`.
std::string first_characters(const std::string& text, std::size_t tokens) {
  std::size_t at = 0;
  for (std::size_t seen = 0; at < text.size(); ++at) {
    if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80 && seen++ == tokens) break;
  }
  return text.substr(0, at);
}

// The normal answer to a request for `path`: status and body.
std::pair<unsigned, std::string> normal_answer(const std::string& path, const std::string& body) {
  const Json request = Json::parse(body, nullptr, false);
  if (request.is_discarded() || !request.is_object()) return {400, error_body(400)};
  if (path.ends_with("/chat/completions")) {
    const Json& messages = request.value("messages", Json::array());
    if (!messages.is_array() || messages.empty() || !messages.back().contains("content")) {
      return {400, error_body(400)};
    }
    const Json& content = messages.back()["content"];
    const std::string prompt = content.is_string() ? content.get<std::string>() : content.dump();
    // An answer longer than the request's cap is cut there, as an endpoint does.
    std::string answer = prompt;
    for (const char* cap : {"max_tokens", "max_completion_tokens"}) {
      if (request.contains(cap) && request[cap].is_number_unsigned()) {
        answer = first_characters(answer, request[cap].get<std::size_t>());
      }
    }
    Json reply = Json::parse(OpenAiServer::chat_reply(answer));
    if (answer.size() < prompt.size()) {
      reply["choices"][0]["finish_reason"] = "length";
      reply["usage"]["prompt_tokens"] = characters(prompt);
      reply["usage"]["total_tokens"] = characters(prompt) + characters(answer);
    }
    if (request.value("logprobs", false)) reply["choices"][0]["logprobs"] = logprobs_of(answer);
    return {200, reply.dump()};
  }
  if (path.ends_with("/embeddings")) {
    Json inputs = request.value("input", Json());
    if (inputs.is_string()) inputs = Json::array({inputs});
    if (!inputs.is_array()) return {400, error_body(400)};
    const std::size_t dimensions = request.value("dimensions", std::size_t{4});
    Json data = Json::array();
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      if (!inputs[i].is_string()) return {400, error_body(400)};
      data.push_back({{"object", "embedding"},
                      {"index", i},
                      {"embedding", embedding_of(inputs[i].get<std::string>(), dimensions)}});
    }
    return {200,
            Json({{"object", "list"},
                  {"data", data},
                  {"model", request.value("model", "stand-in")},
                  {"usage", {{"prompt_tokens", inputs.size()}, {"total_tokens", inputs.size()}}}})
                .dump()};
  }
  return {404, error_body(404)};
}

// What the files and batches answer: a body, its type, and how long the reply is held.
struct Stored {
  unsigned status = 200;
  std::string body;
  std::string content_type = "application/json";
  std::chrono::milliseconds hold{0};
};

Stored refused(unsigned status, const std::string& message, const char* param) {
  return {status, refusal_body(message, param)};
}

Stored json_reply(const Json& value) { return {200, value.dump()}; }

std::int64_t unix_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The value of the header field `name` among the lines of `head` after its first one.
std::optional<std::string> header_value(std::string_view head, std::string_view name) {
  const std::string wanted = lower(name);
  for (std::size_t at = head.find("\r\n"); at < head.size();) {
    const std::size_t start = at + 2;
    const std::size_t end = std::min(head.find("\r\n", start), head.size());
    const std::string_view line = head.substr(start, end - start);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && lower(line.substr(0, colon)) == wanted) {
      return std::string(trimmed(line.substr(colon + 1)));
    }
    at = end;
  }
  return std::nullopt;
}

// A header value such as `form-data; name="file"; filename="a \"b\".jsonl"`: the value before
// the first ';' (lower case) and its parameters, names in lower case, quoted strings unquoted.
struct HeaderValue {
  std::string value;
  std::map<std::string, std::string> parameters;
};

std::optional<HeaderValue> parse_header_value(std::string_view text) {
  HeaderValue out;
  std::size_t at = std::min(text.find(';'), text.size());
  out.value = lower(trimmed(text.substr(0, at)));
  while (at < text.size()) {
    ++at;  // past the ';'
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    if (at == text.size()) break;  // a ';' at the end
    const std::size_t equals = text.find('=', at);
    if (equals == std::string_view::npos || equals > text.find(';', at)) return std::nullopt;
    const std::string name = lower(trimmed(text.substr(at, equals - at)));
    if (name.empty()) return std::nullopt;
    at = equals + 1;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    std::string value;
    const bool quoted = at < text.size() && text[at] == '"';
    if (quoted) {
      for (++at;; ++at) {
        if (at >= text.size()) return std::nullopt;  // a quote that never closes
        if (text[at] == '"') break;
        if (text[at] == '\\' && at + 1 < text.size()) ++at;
        value += text[at];
      }
      ++at;
    }
    const std::size_t end = std::min(text.find(';', at), text.size());
    const std::string_view tail = trimmed(text.substr(at, end - at));
    if (quoted && !tail.empty()) return std::nullopt;  // bytes after a quoted string
    if (!quoted) value = tail;
    at = end;
    out.parameters[name] = std::move(value);
  }
  return out;
}

struct FormPart {
  std::string name;
  std::optional<std::string> filename;
  std::string body;
};

// The parts of a multipart/form-data body (RFC 7578 over RFC 2046), given its Content-Type;
// nullopt for anything else, e.g. a body whose closing delimiter never comes.
std::optional<std::vector<FormPart>> parse_form(std::string_view content_type,
                                                std::string_view body) {
  const std::optional<HeaderValue> type = parse_header_value(content_type);
  if (!type || type->value != "multipart/form-data") return std::nullopt;
  const auto boundary = type->parameters.find("boundary");
  if (boundary == type->parameters.end() || boundary->second.empty() ||
      boundary->second.size() > 70) {
    return std::nullopt;
  }
  const std::string delimiter = "--" + boundary->second;
  const std::string inner = "\r\n" + delimiter;
  // A preamble, if any, ends with the CRLF before the first delimiter.
  std::size_t at = 0;
  if (!body.starts_with(delimiter)) {
    at = body.find(inner);
    if (at == std::string_view::npos) return std::nullopt;
    at += 2;
  }
  std::vector<FormPart> parts;
  for (;;) {
    std::size_t after = at + delimiter.size();
    if (body.substr(after, 2) == "--") return parts;  // an epilogue may follow
    while (after < body.size() && (body[after] == ' ' || body[after] == '\t')) ++after;
    if (body.substr(after, 2) != "\r\n") return std::nullopt;
    const std::size_t start = after + 2;
    const std::size_t next = body.find(inner, start);
    if (next == std::string_view::npos) return std::nullopt;
    const std::string_view part = body.substr(start, next - start);
    // The part's header fields end with an empty line, which comes first when it has none.
    std::string fields = "\r\n";
    std::string_view content = part.substr(std::min<std::size_t>(2, part.size()));
    if (!part.starts_with("\r\n")) {
      const std::size_t fields_end = part.find("\r\n\r\n");
      if (fields_end == std::string_view::npos) return std::nullopt;
      fields += part.substr(0, fields_end);
      content = part.substr(fields_end + 4);
    }
    const std::optional<std::string> disposition = header_value(fields, "content-disposition");
    const std::optional<HeaderValue> parsed =
        disposition ? parse_header_value(*disposition) : std::nullopt;
    if (!parsed || parsed->value != "form-data" || !parsed->parameters.contains("name")) {
      return std::nullopt;
    }
    FormPart form_part{parsed->parameters.at("name"), std::nullopt, std::string(content)};
    if (const auto filename = parsed->parameters.find("filename");
        filename != parsed->parameters.end()) {
      form_part.filename = filename->second;
    }
    parts.push_back(std::move(form_part));
    at = next + 2;
  }
}

struct StoredFile {
  std::string id;
  std::string filename;
  std::string purpose;
  std::int64_t created_at = 0;
  std::string bytes;
};

Json file_object(const StoredFile& file) {
  return {{"id", file.id},
          {"object", "file"},
          {"bytes", file.bytes.size()},
          {"created_at", file.created_at},
          {"filename", file.filename},
          {"purpose", file.purpose}};
}

// One valid input line of a batch and the answer it gets once the batch runs.
struct BatchLine {
  std::string custom_id;
  unsigned status = 200;
  Json body;
};

struct Batch {
  Json object;  // the batch object as retrieves show it
  std::vector<std::string> custom_ids;
  std::vector<BatchLine> lines;
  Json errors = Json::array();  // what validation found, shown once the batch has failed
  std::size_t total = 0;        // input lines
  bool expires = false;
  std::size_t in_progress_shown = 0;
};

}  // namespace

std::string OpenAiServer::chat_reply(std::string_view content) {
  const std::size_t tokens = characters(std::string(content));
  return Json({{"id", "chatcmpl-stand-in"},
               {"object", "chat.completion"},
               {"model", "stand-in"},
               {"choices",
                {{{"index", 0},
                  {"message", {{"role", "assistant"}, {"content", content}}},
                  {"finish_reason", "stop"}}}},
               {"usage",
                {{"prompt_tokens", tokens},
                 {"completion_tokens", tokens},
                 {"total_tokens", 2 * tokens}}}})
      .dump();
}

struct OpenAiServer::Impl {
  explicit Impl(Options o) : options(o) {}

  asio::awaitable<void> accept_loop() {
    for (;;) {
      tcp::socket socket = co_await acceptor.async_accept(asio::use_awaitable);
      ++accepted;
      asio::co_spawn(context, serve(std::move(socket)), asio::detached);
    }
  }

  std::optional<Scripted> next_scripted() {
    std::lock_guard lock(mutex);
    if (scripted.empty()) return std::nullopt;
    Scripted answer = std::move(scripted.front());
    scripted.pop_front();
    return answer;
  }

  // Serves requests on one connection until either side closes it.
  asio::awaitable<void> serve(tcp::socket socket) {
    std::string buffer;
    asio::steady_timer idle(context);
    try {
      for (std::size_t served = 0;; ++served) {
        if (options.close_after_requests != 0 && served == options.close_after_requests) break;
        if (options.close_when_idle.count() > 0) {
          idle.expires_after(options.close_when_idle);
          idle.async_wait([&socket](const boost::system::error_code& ec) {
            if (!ec) socket.close();
          });
        }
        const std::size_t head_end = co_await asio::async_read_until(
            socket, asio::dynamic_buffer(buffer), "\r\n\r\n", asio::use_awaitable);
        idle.cancel();
        const std::size_t total =
            head_end + content_length(std::string_view(buffer).substr(0, head_end));
        if (buffer.size() < total) {
          co_await asio::async_read(socket, asio::dynamic_buffer(buffer),
                                    asio::transfer_exactly(total - buffer.size()),
                                    asio::use_awaitable);
        }
        Request request{buffer.substr(0, head_end), buffer.substr(head_end, total - head_end)};
        buffer.erase(0, total);
        {
          std::lock_guard lock(mutex);
          log.push_back(request);
        }
        ++completed;
        if (!co_await answer(socket, request)) break;
      }
    } catch (const boost::system::system_error&) {
      // The client closed the connection, or the idle timer did.
    }
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
  }

  // Writes the reply to `request`; false when the connection is to be closed.
  asio::awaitable<bool> answer(tcp::socket& socket, const Request& request) {
    Scripted reply = next_scripted().value_or(Scripted{.delay = options.delay});
    if (reply.silent) {
      // Holds the connection until the client gives up on it.
      std::string rest;
      co_await asio::async_read(socket, asio::dynamic_buffer(rest), asio::use_awaitable);
    }
    if (!reply.interim.empty()) {
      co_await asio::async_write(socket, asio::buffer(reply.interim), asio::use_awaitable);
    }
    if (reply.delay.count() > 0) {
      asio::steady_timer wait(context, reply.delay);
      co_await wait.async_wait(asio::use_awaitable);
    }
    if (reply.no_reply) co_return !reply.close_after;
    std::string content_type = "application/json";
    std::optional<Stored> stored;
    if (reply.body.empty() && reply.status == 200) stored = files_and_batches(request);
    if (stored) {
      reply.status = stored->status;
      reply.body = std::move(stored->body);
      content_type = stored->content_type;
      if (stored->hold.count() > 0) {
        // The batch exists already: a client that dies meanwhile never hears of it.
        asio::steady_timer hold(context, stored->hold);
        co_await hold.async_wait(asio::use_awaitable);
      }
    } else {
      if (reply.body.empty() && reply.status == 200 && options.tokens_per_minute > 0 &&
          request_path(request.head).ends_with("/chat/completions")) {
        take_rate(request, reply);
      }
      if (reply.body.empty() && reply.status == 200) {
        if (auto refusal = refusal_of(request)) std::tie(reply.status, reply.body) = *refusal;
      }
      if (reply.body.empty()) {
        if (reply.status == 200) {
          auto [status, body] = normal_answer(request_path(request.head), request.body);
          reply.status = status;
          reply.body = std::move(body);
        } else {
          reply.body = error_body(reply.status);
        }
      }
    }
    std::string head = std::string(reply.http10 ? "HTTP/1.0 " : "HTTP/1.1 ") +
                       std::to_string(reply.status) + " " + reason_of(reply.status) +
                       "\r\nContent-Type: " + content_type +
                       "\r\nContent-Length: " + std::to_string(reply.body.size()) + "\r\n";
    for (const auto& [name, value] : reply.headers) head += name + ": " + value + "\r\n";
    head += "\r\n";
    if (reply.reset_mid_body) {
      head += reply.body.substr(0, reply.body.size() / 2);
      co_await asio::async_write(socket, asio::buffer(head), asio::use_awaitable);
      socket.set_option(asio::socket_base::linger(true, 0));
      socket.close();
      co_return false;
    }
    head += reply.body;
    co_await asio::async_write(socket, asio::buffer(head), asio::use_awaitable);
    co_return !reply.close_after;
  }

  // Takes the tokens of a chat request from the bucket, or refuses it with a 429; either way
  // the reply says what is left.
  void take_rate(const Request& request, Scripted& reply) {
    const Json body = Json::parse(request.body, nullptr, false);
    std::uint64_t cost = 0;
    if (body.is_object() && body.contains("messages") && body["messages"].is_array() &&
        !body["messages"].empty() && body["messages"].back().value("content", Json()).is_string()) {
      const std::uint64_t prompt =
          characters(body["messages"].back()["content"].get<std::string>());
      cost = prompt + (body.contains("max_tokens") && body["max_tokens"].is_number_unsigned()
                           ? body["max_tokens"].get<std::uint64_t>()
                           : prompt);
    }
    const auto limit = static_cast<double>(options.tokens_per_minute);
    const double per_ms = limit / static_cast<double>(options.rate_window.count());
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex);
    if (rate_updated == std::chrono::steady_clock::time_point{}) rate_level = limit;
    rate_level = std::min(
        limit, rate_level +
                   per_ms * std::chrono::duration<double, std::milli>(now - rate_updated).count());
    rate_updated = now;
    if (rate_level >= static_cast<double>(cost)) {
      rate_level -= static_cast<double>(cost);
    } else {
      ++refused_for_rate;
      reply.status = 429;
      reply.body = Json({{"error",
                          {{"message", "Rate limit reached for tokens per min"},
                           {"type", "tokens"},
                           {"param", nullptr},
                           {"code", "rate_limit_exceeded"}}}})
                       .dump();
    }
    const auto full_in = static_cast<long long>(std::ceil((limit - rate_level) / per_ms));
    reply.headers.emplace_back("x-ratelimit-limit-tokens",
                               std::to_string(options.tokens_per_minute));
    reply.headers.emplace_back("x-ratelimit-remaining-tokens",
                               std::to_string(static_cast<long long>(std::floor(rate_level))));
    reply.headers.emplace_back("x-ratelimit-reset-tokens", std::to_string(full_in) + "ms");
  }

  // The 400 that an option makes of a chat request (refuse_logprobs, refuse_response_format,
  // check_response_format), if any.
  std::optional<std::pair<unsigned, std::string>> refusal_of(const Request& request) {
    if (refuses_logprobs(request)) {
      return std::pair{400u,
                       refusal_body("logprobs is not supported with this model.", "logprobs")};
    }
    if (refuses_format(request)) {
      return std::pair{400u, refusal_body("Invalid parameter: 'response_format' of type "
                                          "'json_schema' is not supported with this model.",
                                          "response_format")};
    }
    if (const std::string fault = checked_format(request); !fault.empty()) {
      return std::pair{400u, refusal_body("stand-in check: " + fault, nullptr)};
    }
    return std::nullopt;
  }

  bool refuses_logprobs(const Request& request) const {
    if (!options.refuse_logprobs) return false;
    const Json body = Json::parse(request.body, nullptr, false);
    return body.is_object() && body.contains("logprobs");
  }

  bool refuses_format(const Request& request) const {
    if (!options.refuse_response_format) return false;
    const Json body = Json::parse(request.body, nullptr, false);
    return body.is_object() && body.contains("response_format");
  }

  // The fault check_response_format finds in `request`, kept; "" when none.
  std::string checked_format(const Request& request) {
    if (!options.check_response_format) return "";
    const Json body = Json::parse(request.body, nullptr, false);
    if (!body.is_object()) return "";
    std::string fault = format_fault(body);
    if (!fault.empty()) {
      std::lock_guard lock(mutex);
      faults.push_back(fault);
    }
    return fault;
  }

  // The reply to a request for the files or batches; nullopt for a path that is neither.
  std::optional<Stored> files_and_batches(const Request& request) {
    const std::string target = request_path(request.head);
    const std::string method = request.head.substr(0, request.head.find(' '));
    const std::size_t question = target.find('?');
    const std::string path = target.substr(0, question);
    const std::string query = question == std::string::npos ? "" : target.substr(question + 1);
    const bool files_path = path == "/v1/files" || path.starts_with("/v1/files/");
    const bool batches_path = path == "/v1/batches" || path.starts_with("/v1/batches/");
    if (!files_path && !batches_path) return std::nullopt;
    if (method == "POST" && path == "/v1/files") return upload(request);
    if (method == "POST" && path == "/v1/batches") return create_batch(request.body);
    if (method == "GET" && path == "/v1/batches") return list_batches(query);
    const std::size_t id_start = files_path ? 10 : 12;
    const std::size_t slash = path.find('/', id_start);
    const std::string id = path.substr(id_start, slash - id_start);
    const std::string rest = slash == std::string::npos ? "" : path.substr(slash);
    std::lock_guard lock(mutex);
    if (files_path && method == "GET" && (rest.empty() || rest == "/content")) {
      const auto file = files.find(id);
      if (file == files.end()) return refused(404, "No such File object: " + id, "id");
      if (rest.empty()) return json_reply(file_object(file->second));
      return Stored{200, file->second.bytes, "application/octet-stream"};
    }
    if (batches_path &&
        ((method == "GET" && rest.empty()) || (method == "POST" && rest == "/cancel"))) {
      const auto batch = std::find_if(batches.begin(), batches.end(),
                                      [&](const Batch& b) { return b.object["id"] == id; });
      if (batch == batches.end()) return refused(404, "No such Batch object: " + id, "batch_id");
      if (rest.empty()) {
        step(*batch);
        return json_reply(batch->object);
      }
      return cancel(*batch);
    }
    return refused(404, "Invalid URL (" + method + " " + path + ")", nullptr);
  }

  Stored upload(const Request& request) {
    const std::optional<std::string> type = header_value(request.head, "content-type");
    const auto parts = type ? parse_form(*type, request.body) : std::nullopt;
    if (!parts) {
      return refused(400, "stand-in: the body is not multipart/form-data in parts that close",
                     nullptr);
    }
    const FormPart* purpose = nullptr;
    const FormPart* file = nullptr;
    for (const FormPart& part : *parts) {
      if (part.name == "purpose" && !part.filename) purpose = &part;
      if (part.name == "file" && part.filename) file = &part;
    }
    if (purpose == nullptr)
      return refused(400, "Missing required parameter: 'purpose'.", "purpose");
    if (purpose->body != "batch") {
      return refused(400,
                     "Invalid value for 'purpose': '" + purpose->body.substr(0, 40) +
                         "'; the stand-in takes only 'batch'.",
                     "purpose");
    }
    if (file == nullptr) return refused(400, "Missing required parameter: 'file'.", "file");
    std::lock_guard lock(mutex);
    ++uploads;
    return json_reply(file_object(add_file(*file->filename, "batch", file->body)));
  }

  // A file of the stand-in's; the mutex is held.
  const StoredFile& add_file(std::string filename, std::string purpose, std::string bytes) {
    std::string id = "file-" + std::to_string(++file_count);
    StoredFile file{id, std::move(filename), std::move(purpose), unix_now(), std::move(bytes)};
    return files.emplace(std::move(id), std::move(file)).first->second;
  }

  Stored create_batch(const std::string& text) {
    const Json request = Json::parse(text, nullptr, false);
    if (request.is_discarded() || !request.is_object()) {
      return refused(400, "stand-in: the body is not a JSON object", nullptr);
    }
    for (const char* key : {"input_file_id", "endpoint", "completion_window"}) {
      if (!request.contains(key) || !request[key].is_string()) {
        return refused(400, std::string("Missing required parameter: '") + key + "'.", key);
      }
    }
    const auto file_id = request["input_file_id"].get<std::string>();
    const auto endpoint = request["endpoint"].get<std::string>();
    const auto window = request["completion_window"].get<std::string>();
    if (endpoint != "/v1/chat/completions" && endpoint != "/v1/embeddings") {
      return refused(400, "Invalid value for 'endpoint': '" + endpoint.substr(0, 40) + "'.",
                     "endpoint");
    }
    if (window != "24h") {
      return refused(400,
                     "Invalid value for 'completion_window': '" + window.substr(0, 40) +
                         "'. Supported values are: '24h'.",
                     "completion_window");
    }
    const Json metadata = request.value("metadata", Json());
    if (!metadata.is_null() && !metadata.is_object()) {
      return refused(400, "Invalid type for 'metadata': expected an object.", "metadata");
    }
    std::string input;
    {
      std::lock_guard lock(mutex);
      const auto file = files.find(file_id);
      if (file == files.end())
        return refused(404, "No such File object: " + file_id, "input_file_id");
      if (file->second.purpose != "batch") {
        return refused(400, "Invalid 'input_file_id': '" + file_id + "' is not a batch input file.",
                       "input_file_id");
      }
      input = file->second.bytes;
    }
    // Outside the mutex: the answers go through checked_format, which takes it.
    Batch batch = read_input(input, endpoint);
    std::lock_guard lock(mutex);
    batch.expires = batches.empty() && options.batch_expire_after.has_value();
    const std::int64_t now = unix_now();
    batch.object = {{"id", "batch_" + std::to_string(batches.size() + 1)},
                    {"object", "batch"},
                    {"endpoint", endpoint},
                    {"errors", nullptr},
                    {"input_file_id", file_id},
                    {"completion_window", window},
                    {"status", "validating"},
                    {"output_file_id", nullptr},
                    {"error_file_id", nullptr},
                    {"created_at", now},
                    {"in_progress_at", nullptr},
                    {"expires_at", now + 86400},
                    {"finalizing_at", nullptr},
                    {"completed_at", nullptr},
                    {"failed_at", nullptr},
                    {"expired_at", nullptr},
                    {"cancelling_at", nullptr},
                    {"cancelled_at", nullptr},
                    {"request_counts", {{"total", batch.total}, {"completed", 0}, {"failed", 0}}},
                    {"metadata", metadata}};
    batches.push_back(std::move(batch));
    Stored reply = json_reply(batches.back().object);
    reply.hold = options.batch_create_delay;
    return reply;
  }

  static std::vector<std::string> input_lines(const std::string& input) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < input.size();) {
      const std::size_t end = std::min(input.find('\n', at), input.size());
      std::string line = input.substr(at, end - at);
      if (line.ends_with('\r')) line.pop_back();
      lines.push_back(std::move(line));
      at = end + 1;
    }
    return lines;
  }

  // The custom_ids, the answers to the valid lines, and what makes the others invalid.
  Batch read_input(const std::string& input, const std::string& endpoint) {
    Batch batch;
    std::set<std::string> seen;
    const std::vector<std::string> lines = input_lines(input);
    for (std::size_t number = 1; number <= lines.size(); ++number) {
      const auto fault = [&](const char* code, const std::string& message, const char* param) {
        batch.errors.push_back({{"code", code},
                                {"line", number},
                                {"message", message},
                                {"param", param == nullptr ? Json() : Json(param)}});
      };
      const Json line = Json::parse(lines[number - 1], nullptr, false);
      if (line.is_discarded() || !line.is_object()) {
        fault("invalid_json_line", "This line is not parseable as valid JSON.", nullptr);
        continue;
      }
      if (!line.contains("custom_id") || !line["custom_id"].is_string()) {
        fault("missing_required_parameter", "Missing required parameter: 'custom_id'.",
              "custom_id");
        continue;
      }
      const auto custom_id = line["custom_id"].get<std::string>();
      batch.custom_ids.push_back(custom_id);
      if (!seen.insert(custom_id).second) {
        fault("duplicate_custom_id",
              "The custom_id for this request is a duplicate of another request. The custom_id "
              "parameter must be unique for each request in a batch.",
              "custom_id");
      } else if (line.value("method", Json()) != Json("POST")) {
        fault("invalid_method", "The method of a batch request must be 'POST'.", "method");
      } else if (line.value("url", Json()) != Json(endpoint)) {
        fault("mismatched_endpoint",
              "The url of this request does not match the batch's endpoint " + endpoint + ".",
              "url");
      } else if (!line.contains("body") || !line["body"].is_object()) {
        fault("invalid_body", "The body of a batch request must be an object.", "body");
      } else {
        batch.lines.push_back(answer_line(custom_id, endpoint, line["body"]));
      }
    }
    if (lines.empty()) {
      batch.errors.push_back({{"code", "empty_file"},
                              {"line", nullptr},
                              {"message", "The batch input file is empty."},
                              {"param", nullptr}});
    }
    batch.total = lines.size();
    return batch;
  }

  // What the endpoint would answer the line's body with, or the failure batch_failed_ids asks.
  BatchLine answer_line(const std::string& custom_id, const std::string& endpoint,
                        const Json& body) {
    const auto& failing = options.batch_failed_ids;
    if (std::find(failing.begin(), failing.end(), custom_id) != failing.end()) {
      return {custom_id, 400, Json::parse(refusal_body("stand-in: this request failed", nullptr))};
    }
    const Request as_sent{"", body.dump()};
    std::optional<std::pair<unsigned, std::string>> answer;
    if (endpoint.ends_with("/chat/completions")) answer = refusal_of(as_sent);
    if (!answer) answer = normal_answer(endpoint, as_sent.body);
    return {custom_id, answer->first, Json::parse(answer->second)};
  }

  // Moves a batch one status on, as one retrieve sees it; the mutex is held.
  void step(Batch& batch) {
    Json& object = batch.object;
    const auto status = object["status"].get<std::string>();
    if (status == "validating") {
      if (!batch.errors.empty()) {
        object["status"] = "failed";
        object["failed_at"] = unix_now();
        object["errors"] = {{"object", "list"}, {"data", batch.errors}};
        return;
      }
      object["status"] = "in_progress";
      object["in_progress_at"] = unix_now();
      if (options.batch_polls_in_progress > 0) {
        batch.in_progress_shown = 1;
        return;
      }
    } else if (status == "in_progress") {
      if (batch.in_progress_shown < options.batch_polls_in_progress) {
        ++batch.in_progress_shown;
        return;
      }
    } else {
      if (status == "finalizing") finish(batch, "completed");
      if (status == "cancelling") finish(batch, "cancelled");
      return;
    }
    if (batch.expires) {
      finish(batch, "expired");
    } else {
      object["status"] = "finalizing";
      object["finalizing_at"] = unix_now();
    }
  }

  Stored cancel(Batch& batch) {
    const auto status = batch.object["status"].get<std::string>();
    if (status == "validating" || status == "in_progress" || status == "finalizing") {
      batch.object["status"] = "cancelling";
      batch.object["cancelling_at"] = unix_now();
    } else if (status != "cancelling") {
      return refused(400, "Cannot cancel a batch with status '" + status + "'.", nullptr);
    }
    return json_reply(batch.object);
  }

  // Ends a batch as `status` (completed, expired or cancelled) with its output and error
  // files; the mutex is held.
  void finish(Batch& batch, const std::string& status) {
    std::size_t answered = 0;
    if (status == "completed") answered = batch.lines.size();
    if (status == "expired") answered = std::min(*options.batch_expire_after, batch.lines.size());
    std::vector<Json> output, failures;
    for (std::size_t i = 0; i < batch.lines.size(); ++i) {
      const BatchLine& line = batch.lines[i];
      const std::string number = std::to_string(++batch_requests);
      Json entry = {{"id", "batch_req_" + number}, {"custom_id", line.custom_id}};
      if (i < answered) {
        entry["response"] = {
            {"status_code", line.status}, {"request_id", "req_" + number}, {"body", line.body}};
        entry["error"] = nullptr;
        (line.status == 200 ? output : failures).push_back(std::move(entry));
      } else {
        const bool expired = status == "expired";
        entry["response"] = nullptr;
        entry["error"] = {
            {"code", expired ? "batch_expired" : "batch_cancelled"},
            {"message", expired ? "This request could not be executed before the completion window "
                                  "expired."
                                : "This request could not be executed because the batch was "
                                  "cancelled."}};
        failures.push_back(std::move(entry));
      }
    }
    // Real batches do not keep the input's order; a client must go by custom_id.
    std::reverse(output.begin(), output.end());
    std::reverse(failures.begin(), failures.end());
    const auto id = batch.object["id"].get<std::string>();
    batch.object["output_file_id"] = results_file(id + "_output.jsonl", output);
    batch.object["error_file_id"] = results_file(id + "_error.jsonl", failures);
    batch.object["request_counts"]["completed"] = output.size();
    batch.object["request_counts"]["failed"] = failures.size();
    batch.object["status"] = status;
    batch.object[status + "_at"] = unix_now();
  }

  // The id of a file of `lines` as JSON Lines, or null when there are none.
  Json results_file(const std::string& name, const std::vector<Json>& lines) {
    if (lines.empty()) return nullptr;
    std::string bytes;
    for (const Json& line : lines) bytes += line.dump() + "\n";
    return add_file(name, "batch_output", std::move(bytes)).id;
  }

  Stored list_batches(const std::string& query) {
    std::size_t limit = 20;
    std::optional<std::string> after;
    for (std::size_t at = 0; at < query.size();) {
      const std::size_t end = std::min(query.find('&', at), query.size());
      const std::string pair = query.substr(at, end - at);
      at = end + 1;
      const std::size_t equals = std::min(pair.find('='), pair.size());
      const std::string name = pair.substr(0, equals);
      const std::string value = equals < pair.size() ? pair.substr(equals + 1) : "";
      if (name == "after") after = value;
      if (name != "limit") continue;
      const bool digits = !value.empty() && value.size() <= 3 &&
                          std::all_of(value.begin(), value.end(),
                                      [](unsigned char c) { return std::isdigit(c) != 0; });
      limit = digits ? std::stoul(value) : 0;
      if (limit < 1 || limit > 100) {
        return refused(400,
                       "Invalid 'limit': '" + value.substr(0, 40) +
                           "'. Expected an integer between 1 and 100.",
                       "limit");
      }
    }
    std::lock_guard lock(mutex);
    // Newest first: down from the end of the batches in the order they were created.
    std::size_t next = batches.size();
    if (after) {
      const auto found = std::find_if(batches.begin(), batches.end(),
                                      [&](const Batch& b) { return b.object["id"] == *after; });
      if (found == batches.end()) return refused(404, "No such Batch object: " + *after, "after");
      next = static_cast<std::size_t>(found - batches.begin());
    }
    Json data = Json::array();
    while (next > 0 && data.size() < limit) data.push_back(batches[--next].object);
    return json_reply({{"object", "list"},
                       {"data", data},
                       {"first_id", data.empty() ? Json() : data.front()["id"]},
                       {"last_id", data.empty() ? Json() : data.back()["id"]},
                       {"has_more", next > 0}});
  }

  Options options;
  asio::io_context context;
  tcp::acceptor acceptor{context, tcp::endpoint(asio::ip::address_v4::loopback(), 0)};
  mutable std::mutex mutex;
  std::deque<Scripted> scripted;
  std::vector<Request> log;
  std::vector<std::string> faults;
  double rate_level = 0;  // tokens left in the bucket of tokens_per_minute
  std::chrono::steady_clock::time_point rate_updated{};
  std::size_t refused_for_rate = 0;
  std::map<std::string, StoredFile> files;
  std::size_t file_count = 0;  // uploads and the files batches write, for their ids
  std::size_t uploads = 0;
  std::vector<Batch> batches;      // in the order they were created
  std::size_t batch_requests = 0;  // lines answered, for their ids
  std::atomic<std::size_t> accepted{0};
  std::atomic<std::size_t> completed{0};
  std::thread thread;
};

OpenAiServer::OpenAiServer() : OpenAiServer(Options{}) {}

OpenAiServer::OpenAiServer(Options options) : impl_(std::make_unique<Impl>(options)) {
  asio::co_spawn(impl_->context, impl_->accept_loop(), asio::detached);
  impl_->thread = std::thread([impl = impl_.get()] { impl->context.run(); });
}

OpenAiServer::~OpenAiServer() {
  impl_->context.stop();
  impl_->thread.join();
}

void OpenAiServer::script(std::vector<Scripted> answers) {
  std::lock_guard lock(impl_->mutex);
  for (auto& answer : answers) impl_->scripted.push_back(std::move(answer));
}

std::string OpenAiServer::url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(impl_->acceptor.local_endpoint().port()) +
         std::string(path);
}

std::size_t OpenAiServer::connections() const { return impl_->accepted; }

std::size_t OpenAiServer::requests() const { return impl_->completed; }

std::vector<OpenAiServer::Request> OpenAiServer::received() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->log;
}

std::size_t OpenAiServer::rate_limited() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->refused_for_rate;
}

std::vector<std::string> OpenAiServer::format_faults() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->faults;
}

std::size_t OpenAiServer::files_uploaded() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->uploads;
}

std::size_t OpenAiServer::batches_created() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->batches.size();
}

std::vector<std::string> OpenAiServer::batch_custom_ids(std::size_t batch_index) const {
  std::lock_guard lock(impl_->mutex);
  return impl_->batches.at(batch_index).custom_ids;
}

}  // namespace tavrin::testing
