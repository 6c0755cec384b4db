#include "tavrin/labeling/chat_model.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>
#include <stop_token>
#include <utility>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/this_coro.hpp>

#include "quellin/quellin.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/excerpt.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/labeling/budget.hpp"
#include "tavrin/labeling/response_schema.hpp"
#include "tavrin/labeling/results.hpp"
#include "tavrin/labeling/run_settings.hpp"
#include "tavrin/palisk.hpp"

namespace tavrin::labeling {
namespace {

// What a refused request's excerpt quotes: the error's message, when the body is an
// OpenAI-like error object, else the body.
constexpr std::size_t kRefusalExcerptBytes = 160;

std::string refusal_text(const quellin::HttpError& error) {
  std::string said = error.body();
  const Value body = Value::parse(error.body(), nullptr, false);
  if (body.is_object() && body.contains("error") && body["error"].is_object()) {
    const Value& message = body["error"].value("message", Value());
    if (message.is_string()) said = message.get<std::string>();
  }
  const std::string_view cut = internal::excerpt(said, kRefusalExcerptBytes);
  std::string text = "HTTP status " + std::to_string(error.status()) + " " + error.reason() + ": " +
                     std::string(cut) + (cut.size() < said.size() ? "..." : "");
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';  // one summary line
  }
  return text;
}

bool has_fields(const Value& choices) { return choices.is_object() && !choices.empty(); }

// The body of one request; a plain function: inside a coroutine, gcc 12 mishandles braced
// Values.
Value request_payload(const ChatEndpoint& endpoint, const ModelRequest& request, bool with_schema,
                      bool with_logprobs) {
  Value payload = palisk::chat_payload(endpoint.model, request.prompt, endpoint.temperature);
  if (endpoint.response_format == ResponseFormat::json_object) {
    payload["response_format"] = {{"type", "json_object"}};
  } else if (with_schema) {
    payload["response_format"] = response_format(request.choices, request.multi_label);
  }
  if (with_logprobs) {
    payload["logprobs"] = true;
    payload["top_logprobs"] = kTopLogprobs;
  }
  if (endpoint.max_completion_tokens) {
    payload[std::string(completion_cap_field_name(endpoint.completion_cap_field))] =
        *endpoint.max_completion_tokens;
  }
  return payload;
}

Value logprobs_of(const Value& reply) {
  const Value* choices =
      reply.is_object() && reply.contains("choices") ? &reply["choices"] : nullptr;
  if (choices == nullptr || !choices->is_array() || choices->empty()) return Value();
  const Value& first = (*choices)[0];
  return first.is_object() ? first.value("logprobs", Value()) : Value();
}

}  // namespace

ModelReply read_chat_reply(const Value& reply, const ChatEndpoint& endpoint, unsigned attempts) {
  try {
    ModelReply model_reply{without_key(palisk::answer_string(reply), endpoint.key),
                           reply.value("usage", Value()), attempts};
    if (endpoint.logprobs != Logprobs::off) model_reply.logprobs = logprobs_of(reply);
    return model_reply;
  } catch (const std::invalid_argument& e) {
    throw ModelError(e.what(), attempts);
  } catch (const std::out_of_range& e) {
    throw ModelError(e.what(), attempts);
  }
}

namespace {

// What a refused request gives up before it is sent again: the schema or the
// log-probabilities, when the automatic modes let it and the refusal names it; nothing
// otherwise (the refusal fails the request).
bool give_up_refused(Value& payload, const quellin::HttpError& error, const ChatEndpoint& endpoint,
                     FormatFallback& fallback) {
  if (endpoint.response_format == ResponseFormat::automatic &&
      payload.contains("response_format") &&
      refuses_response_format(error.status(), error.body())) {
    fallback.record(refusal_text(error));
    payload.erase("response_format");
    return true;
  }
  if (endpoint.logprobs == Logprobs::automatic && payload.contains("logprobs") &&
      refuses_logprobs(error.status(), error.body())) {
    fallback.record_logprobs(refusal_text(error));
    payload.erase("logprobs");
    payload.erase("top_logprobs");
    return true;
  }
  return false;
}

// The tokens a request counts against a tokens-a-minute limit, before it is sent: its prompt's
// estimate and the most its answer may take.
quellin::RequestTokens rate_cost(const ChatEndpoint& endpoint, const ModelRequest& request) {
  return {estimate_prompt_tokens(request.prompt) + kMessageOverheadTokens,
          endpoint.max_completion_tokens.value_or(0)};
}

std::uint64_t prompt_tokens_of(const Value& reply) {
  const Value usage = reply.is_object() ? reply.value("usage", Value()) : Value();
  return token_count(usage, "prompt_tokens");
}

// The body of a request as the model sends it while `fallback` has given up nothing or what
// it says.
Value first_payload(const ChatEndpoint& endpoint, const ModelRequest& request,
                    const FormatFallback& fallback) {
  const ResponseFormat format = endpoint.response_format;
  const bool with_schema = has_fields(request.choices) &&
                           (format == ResponseFormat::json_schema ||
                            (format == ResponseFormat::automatic && !fallback.happened()));
  const bool with_logprobs =
      endpoint.logprobs == Logprobs::required ||
      (endpoint.logprobs == Logprobs::automatic && !fallback.logprobs_refused());
  return request_payload(endpoint, request, with_schema, with_logprobs);
}

boost::asio::awaitable<ModelReply> ask(quellin::Client& client, const ChatEndpoint& endpoint,
                                       std::shared_ptr<FormatFallback> fallback,
                                       ModelRequest request) {
  Value payload = first_payload(endpoint, request, *fallback);
  const quellin::RequestTokens cost = rate_cost(endpoint, request);
  unsigned attempts = 0;
  // At most one resend for each thing the endpoint may refuse.
  for (int refusals = 0;; ++refusals) {
    quellin::CallInfo info;
    Value body = payload;
    try {
      const Value reply = co_await client.post(endpoint.url, palisk::chat_headers(endpoint.key),
                                               std::move(body), &info, cost);
      if (const auto& pacer = client.options().pacer) {
        pacer->correct(cost.prompt, prompt_tokens_of(reply));
      }
      co_return read_chat_reply(reply, endpoint, attempts + info.attempts);
    } catch (const quellin::HttpError& e) {
      if (refusals >= 2 || !give_up_refused(payload, e, endpoint, *fallback)) {
        throw ModelError(e.what(), attempts + info.attempts);
      }
    } catch (const ModelError&) {
      throw;
    } catch (const std::exception& e) {
      throw ModelError(e.what(), attempts + info.attempts);
    }
    attempts += info.attempts;
  }
}

// Records a fall-back beside the results file; a failure to do so loses only the note.
void note_fallback(const std::string& out_path, const FormatFallback& fallback) {
  if (fallback.note().empty() || out_path.empty()) return;
  try {
    add_run_note(out_path, "response_format_fallback", fallback.note());
  } catch (const std::exception&) {
  }
}

// The job with a client of its own, closed with its connections when the job ends, so that
// nothing keeps the context running.
template <class Records>
boost::asio::awaitable<JobTally> job_with_client(Records records, Prompter prompter,
                                                 StoreMap field_stores, ChatEndpoint endpoint,
                                                 quellin::ClientOptions options,
                                                 JobSettings settings, JobProgress progress) {
  options.max_connections_per_host =
      connection_limit(std::max(options.max_connections_per_host, settings.in_flight));
  settings.in_flight = std::min(settings.in_flight, options.max_connections_per_host);
  settings.model = model_settings(endpoint);
  const std::string out_path = settings.out_path;
  auto fallback = std::make_shared<FormatFallback>();
  if (progress && (endpoint.response_format == ResponseFormat::automatic ||
                   endpoint.logprobs == Logprobs::automatic)) {
    progress = [fallback, inner = std::move(progress)](const JobTally& tally) {
      if (fallback->note().empty()) return inner(tally);
      JobTally noted = tally;
      noted.format_note = fallback->note();
      inner(noted);
    };
  }
  const auto executor = co_await boost::asio::this_coro::executor;
  auto pacer = std::make_shared<quellin::Pacer>(executor, endpoint.rate_limits);
  options.pacer = pacer;
  quellin::Client client(executor, std::move(options));
  JobTally tally;
  std::exception_ptr failure;
  try {
    tally = co_await run_job(std::move(records), std::move(prompter), std::move(field_stores),
                             chat_model(client, std::move(endpoint), fallback), std::move(settings),
                             std::move(progress));
  } catch (...) {
    failure = std::current_exception();
  }
  note_fallback(out_path, *fallback);
  if (failure) std::rethrow_exception(failure);
  tally.format_note = fallback->note();
  tally.rate_limited = pacer->rate_limited();
  tally.paced = pacer->waited();
  co_return tally;
}

}  // namespace

JobTally run_until_stopped(boost::asio::awaitable<JobTally> job,
                           const std::vector<int>& stop_signals, const std::stop_token& stop) {
  namespace asio = boost::asio;
  asio::io_context context;
  asio::signal_set signals(context);
  for (const int number : stop_signals) signals.add(number);
  asio::cancellation_signal cancel;
  int caught = 0;
  if (!stop_signals.empty()) {
    signals.async_wait([&](const boost::system::error_code& error, int number) {
      if (error) return;
      caught = number;
      cancel.emit(asio::cancellation_type::terminal);
    });
  }
  std::optional<JobTally> tally;
  std::exception_ptr failure;
  asio::co_spawn(context, std::move(job),
                 asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr e, JobTally t) {
                   failure = e;
                   if (!e) tally = std::move(t);
                   signals.cancel();
                 }));
  // After the job is spawned, so that a stop already requested reaches it.
  const std::stop_callback on_stop(
      stop, [&] { asio::post(context, [&] { cancel.emit(asio::cancellation_type::terminal); }); });
  context.run();
  if (caught != 0) throw Interrupted(caught);
  if (failure) std::rethrow_exception(failure);
  return std::move(*tally);
}

namespace {

std::string signal_name(int number) {
  const char* abbreviation = ::sigabbrev_np(number);
  return abbreviation != nullptr ? std::string("SIG") + abbreviation
                                 : "signal " + std::to_string(number);
}

}  // namespace

std::string without_key(std::string_view text, std::string_view key) {
  if (key.empty()) return std::string(text);
  const Value headers = palisk::chat_headers(key);
  return quellin::redact_headers(text, {{"Authorization", headers.at("Authorization")}});
}

Interrupted::Interrupted(int signal_number)
    : std::runtime_error("the job was stopped by " + signal_name(signal_number) +
                         "; the results file holds every record done and resumes"),
      signal_number_(signal_number) {}

std::size_t connection_limit(std::size_t wanted, std::uint64_t open_file_limit) {
  const std::uint64_t allowed =
      open_file_limit > kReservedDescriptors ? open_file_limit - kReservedDescriptors : 1;
  return allowed < wanted ? static_cast<std::size_t>(allowed) : wanted;
}

std::size_t connection_limit(std::size_t wanted) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return wanted;
  return connection_limit(wanted, limit.rlim_cur);
}

JobTally run_job_blocking(frame::DataFrame records, Prompter prompter, StoreMap field_stores,
                          ChatEndpoint endpoint, quellin::ClientOptions client,
                          JobSettings settings, JobProgress progress,
                          const std::vector<int>& stop_signals, std::stop_token stop) {
  return run_until_stopped(
      job_with_client(std::move(records), std::move(prompter), std::move(field_stores),
                      std::move(endpoint), std::move(client), std::move(settings),
                      std::move(progress)),
      stop_signals, stop);
}

JobTally run_job_blocking(frame::CsvStream records, Prompter prompter, StoreMap field_stores,
                          ChatEndpoint endpoint, quellin::ClientOptions client,
                          JobSettings settings, JobProgress progress,
                          const std::vector<int>& stop_signals, std::stop_token stop) {
  return run_until_stopped(
      job_with_client(std::move(records), std::move(prompter), std::move(field_stores),
                      std::move(endpoint), std::move(client), std::move(settings),
                      std::move(progress)),
      stop_signals, stop);
}

Value chat_request_body(const ChatEndpoint& endpoint, const ModelRequest& request) {
  return first_payload(endpoint, request, FormatFallback());
}

Model chat_model(quellin::Client& client, ChatEndpoint endpoint,
                 std::shared_ptr<FormatFallback> fallback) {
  if (!fallback) fallback = std::make_shared<FormatFallback>();
  return [&client, endpoint = std::move(endpoint), fallback](ModelRequest request) {
    return ask(client, endpoint, fallback, std::move(request));
  };
}

std::string_view response_format_name(ResponseFormat format) {
  switch (format) {
    case ResponseFormat::plain:
      return "plain";
    case ResponseFormat::json_object:
      return "json_object";
    case ResponseFormat::json_schema:
      return "json_schema";
    case ResponseFormat::automatic:
      return "auto";
  }
  return "plain";
}

ResponseFormat parse_response_format(std::string_view text) {
  std::string name(text);
  std::replace(name.begin(), name.end(), '-', '_');
  for (const ResponseFormat format : {ResponseFormat::plain, ResponseFormat::json_object,
                                      ResponseFormat::json_schema, ResponseFormat::automatic}) {
    if (name == response_format_name(format)) return format;
  }
  throw ValueError("response format " + internal::in_quotes(text) +
                   " is none of plain, json-object, json-schema, auto");
}

std::string_view logprobs_name(Logprobs logprobs) {
  switch (logprobs) {
    case Logprobs::off:
      return "off";
    case Logprobs::required:
      return "logprobs";
    case Logprobs::automatic:
      return "auto";
  }
  return "off";
}

Logprobs parse_logprobs(std::string_view text) {
  for (const Logprobs logprobs : {Logprobs::off, Logprobs::required, Logprobs::automatic}) {
    if (text == logprobs_name(logprobs)) return logprobs;
  }
  throw ValueError("confidence source " + internal::in_quotes(text) +
                   " is none of off, logprobs, auto");
}

std::string_view completion_cap_field_name(CompletionCapField field) {
  return field == CompletionCapField::max_completion_tokens ? "max_completion_tokens"
                                                            : "max_tokens";
}

CompletionCapField parse_completion_cap_field(std::string_view text) {
  for (const CompletionCapField field :
       {CompletionCapField::max_tokens, CompletionCapField::max_completion_tokens}) {
    if (text == completion_cap_field_name(field)) return field;
  }
  throw ValueError("the completion cap's field must be max_tokens or max_completion_tokens, not " +
                   repr(Value(std::string(text))));
}

Value model_settings(const ChatEndpoint& endpoint) {
  const ResponseFormat format = endpoint.response_format;
  Value settings = Value::object();
  settings["model"] = endpoint.model;
  settings["temperature"] = endpoint.temperature;
  settings["json_mode"] = format == ResponseFormat::json_object;
  if (format == ResponseFormat::json_schema || format == ResponseFormat::automatic) {
    settings["response_format"] = std::string(response_format_name(format));
  }
  if (endpoint.logprobs != Logprobs::off) {
    settings["logprobs"] = std::string(logprobs_name(endpoint.logprobs));
  }
  return settings;
}

std::string FormatFallback::note() const {
  std::lock_guard lock(mutex_);
  if (schema_note_.empty() || logprobs_note_.empty()) return schema_note_ + logprobs_note_;
  return schema_note_ + "; " + logprobs_note_;
}

bool FormatFallback::happened() const {
  std::lock_guard lock(mutex_);
  return !schema_note_.empty();
}

bool FormatFallback::logprobs_refused() const {
  std::lock_guard lock(mutex_);
  return !logprobs_note_.empty();
}

void FormatFallback::record(const std::string& error) {
  std::lock_guard lock(mutex_);
  if (schema_note_.empty()) {
    schema_note_ = "json_schema refused by the endpoint (" + error +
                   "); plain prompting for the rest of the run";
  }
}

void FormatFallback::record_logprobs(const std::string& error) {
  std::lock_guard lock(mutex_);
  if (logprobs_note_.empty()) {
    logprobs_note_ = "logprobs refused by the endpoint (" + error +
                     "); no log-probabilities for the rest of the run";
  }
}

bool refuses_logprobs(unsigned status, std::string_view body) {
  return status == 400 && contains_ignoring_case(body, "logprobs");
}

bool refuses_response_format(unsigned status, std::string_view body) {
  if (status != 400) return false;
  return contains_ignoring_case(body, "response_format") ||
         contains_ignoring_case(body, "json_schema");
}

}  // namespace tavrin::labeling
