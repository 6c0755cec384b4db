#include "tests/support/openai_server.hpp"

#include <cmath>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

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
    if (reply.body.empty() && reply.status == 200) {
      if (refuses_logprobs(request)) {
        reply.status = 400;
        reply.body = refusal_body("logprobs is not supported with this model.", "logprobs");
      } else if (refuses_format(request)) {
        reply.status = 400;
        reply.body = refusal_body(
            "Invalid parameter: 'response_format' of type 'json_schema' is not supported with "
            "this model.",
            "response_format");
      } else if (const std::string fault = checked_format(request); !fault.empty()) {
        reply.status = 400;
        reply.body = refusal_body("stand-in check: " + fault, nullptr);
      }
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
    std::string head = std::string(reply.http10 ? "HTTP/1.0 " : "HTTP/1.1 ") +
                       std::to_string(reply.status) + " " + reason_of(reply.status) +
                       "\r\nContent-Type: application/json\r\nContent-Length: " +
                       std::to_string(reply.body.size()) + "\r\n";
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

  Options options;
  asio::io_context context;
  tcp::acceptor acceptor{context, tcp::endpoint(asio::ip::address_v4::loopback(), 0)};
  mutable std::mutex mutex;
  std::deque<Scripted> scripted;
  std::vector<Request> log;
  std::vector<std::string> faults;
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

std::vector<std::string> OpenAiServer::format_faults() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->faults;
}

}  // namespace tavrin::testing
