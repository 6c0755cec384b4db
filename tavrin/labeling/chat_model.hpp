// The model of a labelling job behind an OpenAI-compatible chat-completion endpoint, asked
// through a pooled, retrying quellin::Client.
//
//   quellin::Client client(io.get_executor());
//   Model model = chat_model(client, {.url = url, .key = key, .model = "qwen-max"});
//   ModelReply reply = co_await model({"只输出 JSON：…"});   // reply.answer, usage, attempts
//   // .response_format = ResponseFormat::automatic: each request carries the schema of its
//   // labels until the endpoint refuses one; then plain prompts, and fallback->note() says why.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "quellin/client.hpp"
#include "quellin/pacing.hpp"
#include "tavrin/labeling/job.hpp"

namespace tavrin::labeling {

/// What a request asks of the form of its answer ("response_format").
enum class ResponseFormat {
  plain,        // nothing: the prompt alone asks for JSON
  json_object,  // {"type": "json_object"}
  json_schema,  // the strict schema of the labels the prompt shows (response_format())
  automatic,    // json_schema until the endpoint refuses it, then plain for the rest of the run
};

/// "plain", "json_object", "json_schema" or "auto".
std::string_view response_format_name(ResponseFormat format);

/// The format `text` names: a name of response_format_name, or the same with '-' for '_'
/// ("json-schema"). ValueError quoting `text` and listing the names otherwise.
ResponseFormat parse_response_format(std::string_view text);

/// Whether a request asks for the token log-probabilities of its answer (`logprobs`, with the
/// `top_logprobs` alternatives), which the confidence of each value is then made with.
enum class Logprobs {
  off,        // not asked: the confidence comes from the check and the neighbours
  required,   // asked; an endpoint that refuses them fails the request
  automatic,  // asked until the endpoint refuses them, then not for the rest of the run
};

/// "off", "logprobs" or "auto".
std::string_view logprobs_name(Logprobs logprobs);

/// The mode `text` names (a name of logprobs_name); ValueError quoting it otherwise.
Logprobs parse_logprobs(std::string_view text);

/// The alternatives asked per token: enough to see the labels competing for the first one.
inline constexpr unsigned kTopLogprobs = 5;

/// The request field that caps an answer's tokens: "max_tokens", which OpenAI-compatible
/// endpoints take, or "max_completion_tokens", which OpenAI's reasoning models want instead.
enum class CompletionCapField { max_tokens, max_completion_tokens };

/// "max_tokens" or "max_completion_tokens".
std::string_view completion_cap_field_name(CompletionCapField field);

/// The field `text` names (a name of completion_cap_field_name); ValueError quoting it otherwise.
CompletionCapField parse_completion_cap_field(std::string_view text);

/// The completion cap of a run with a token budget that names none: a labelled record's JSON
/// answer with room to spare.
inline constexpr std::uint64_t kDefaultMaxCompletionTokens = 256;

/// Where and how to ask.
struct ChatEndpoint {
  std::string url;  // the chat-completions address, used as given
  std::string key;  // sent as a bearer token; never in a message
  std::string model;
  double temperature = 0;
  ResponseFormat response_format = ResponseFormat::plain;
  Logprobs logprobs = Logprobs::off;
  // The most tokens an answer may take, sent in each request as `completion_cap_field`, so that
  // its cost is bounded before it is sent; nullopt sends none. Not part of model_settings: a
  // resume may change it.
  std::optional<std::uint64_t> max_completion_tokens{};
  CompletionCapField completion_cap_field = CompletionCapField::max_tokens;
  // Requests and tokens a minute given by hand; the rest is learnt from the replies'
  // x-ratelimit-* fields unless rate_limits.follow_replies is off. A job paces its requests by
  // them (quellin::Pacer).
  quellin::RateLimits rate_limits{};
};

/// What answers, as the run's settings record it: {"model", "temperature", "json_mode"}, and
/// "response_format" when it asks for a schema (a plain or JSON-object run records what runs
/// recorded before formats were chosen, so that their results files resume), and "logprobs"
/// when it asks for them.
Value model_settings(const ChatEndpoint& endpoint);

/// Whether a chat model gave up what the automatic modes ask (the schema, the log-probabilities),
/// and why; shared by every request of the model. Safe to read from another thread while the
/// model runs.
class FormatFallback {
 public:
  /// "json_schema refused by the endpoint (HTTP status 400 ...: <excerpt>); plain prompting for
  /// the rest of the run", the same of logprobs ("...; no log-probabilities for the rest of the
  /// run"), both joined by "; ", or empty while everything asked is still sent.
  std::string note() const;
  bool happened() const;
  bool logprobs_refused() const;
  /// Records the refusal `error` (a status and its message) of the schema; a later one changes
  /// nothing.
  void record(const std::string& error);
  /// The same for the log-probabilities.
  void record_logprobs(const std::string& error);

 private:
  bool schema_refused() const;
  mutable std::mutex mutex_;
  std::string schema_note_;
  std::string logprobs_note_;
};

/// Whether an endpoint refused a request for its response format: an HTTP 400 whose body names
/// "response_format" or "json_schema" (in any case).
bool refuses_response_format(unsigned status, std::string_view body);

/// Whether an endpoint refused a request for asking log-probabilities: an HTTP 400 whose body
/// names "logprobs" (in any case).
bool refuses_logprobs(unsigned status, std::string_view body);

/// `text` (an answer the endpoint gave) with the key, and the "Authorization" value that
/// carries it, replaced by "***": an endpoint may echo the request, and what is printed or
/// written must never hold the key.
std::string without_key(std::string_view text, std::string_view key);

/// A Model that sends each prompt as palisk::chat does (its headers and body, plus the
/// response_format of endpoint.response_format) through `client`, and yields the reply's answer
/// text, "usage" and, when asked for (endpoint.logprobs), the log-probabilities of the answer
/// (the answer without_key). A failure after the client's retries, or a reply
/// without a text answer, is a ModelError with the message of the failure and the attempts made.
/// `client` must outlive the model.
///
/// With json_schema and automatic, a request whose choices are an object with fields carries
/// response_format(choices, multi_label); one with null choices carries none. With automatic,
/// the first refusal (refuses_response_format) is recorded in `fallback` (one of the model's
/// own when null): the refused request is sent again without the schema, its attempts counted
/// together, and so is every later request. With json_schema the refusal fails the request.
/// Logprobs::automatic falls back in the same way (refuses_logprobs), Logprobs::required fails.
///
/// Each request tells the client's pacer, when it has one, its tokens before it is sent (the
/// estimate of its prompt's and its completion cap) and what its reply's usage says it took.
Model chat_model(quellin::Client& client, ChatEndpoint endpoint,
                 std::shared_ptr<FormatFallback> fallback = nullptr);

/// The body of the request that chat_model sends first for `request` (the schema and the
/// log-probabilities as `endpoint` asks them, nothing given up yet): what a Batch API line of it
/// carries.
Value chat_request_body(const ChatEndpoint& endpoint, const ModelRequest& request);

/// The answer of a chat-completion reply as chat_model yields it (the text without_key, the
/// usage, the log-probabilities when the endpoint asks them); ModelError when it has no text
/// answer.
ModelReply read_chat_reply(const Value& reply, const ChatEndpoint& endpoint, unsigned attempts);

/// The job was stopped by a signal (SIGINT, SIGTERM) that run_job_blocking was told to stop
/// on: it ended as a cancelled job does, and the results file resumes cleanly.
class Interrupted : public std::runtime_error {
 public:
  explicit Interrupted(int signal_number);
  int signal_number() const noexcept { return signal_number_; }

 private:
  int signal_number_;
};

/// Descriptors that a job leaves to everything but its chat connections: the results file, the
/// stores, the embedding endpoint's connections, the event loop's own.
inline constexpr std::size_t kReservedDescriptors = 64;

/// The chat connections a job may hold open at once when it wants `wanted` and the process may
/// hold `open_file_limit` descriptors (the soft RLIMIT_NOFILE): `wanted`, but no more than the
/// limit less kReservedDescriptors, and at least 1. A connection beyond the limit would fail
/// its request with "Too many open files".
///
///   connection_limit(1000, 256)   // -> 192
///   connection_limit(16, 1024)    // -> 16
///   connection_limit(16, 20)      // -> 1
std::size_t connection_limit(std::size_t wanted, std::uint64_t open_file_limit);

/// connection_limit under this process's soft RLIMIT_NOFILE; `wanted` when it has none or it
/// cannot be read.
std::size_t connection_limit(std::size_t wanted);

/// Runs `job` on an io_context of its own. Each of `stop_signals`, while it runs, cancels it
/// (the job then ends cleanly) and comes out as Interrupted; a stop requested on `stop` cancels
/// it too, which comes out as the cancelled job's error.
JobTally run_until_stopped(boost::asio::awaitable<JobTally> job,
                           const std::vector<int>& stop_signals, const std::stop_token& stop);

/// run_job against `endpoint` for a caller without an event loop: the job runs on an
/// io_context of its own, its chat_model on one pooled quellin::Client with `client` options,
/// both closed when the job ends. The client gets at least `settings.in_flight` connections per
/// host, so that no prompt waits for a connection, within connection_limit; when that limit is
/// lower, so is the job's in_flight: a prompt waiting for a connection would count the wait
/// against its connect limit. `progress` is called on the calling thread. Each of
/// `stop_signals` (for a tool: SIGINT and SIGTERM), while the job runs, cancels it and comes
/// out as Interrupted; a stop requested on `stop` (another thread's, e.g. a Python task
/// cancelled) cancels it as well, which ends it as a cancelled run_job ends. Errors are run_job's.
/// When the automatic format fell back to plain prompts, the tally's `format_note` says why (also
/// that of `progress`), and so does the key "response_format_fallback" of the run's settings beside
/// the results file (a note that a resume does not compare).
JobTally run_job_blocking(frame::DataFrame records, Prompter prompter, StoreMap field_stores,
                          ChatEndpoint endpoint, quellin::ClientOptions client,
                          JobSettings settings, JobProgress progress = {},
                          const std::vector<int>& stop_signals = {}, std::stop_token stop = {});

/// The same over the records of a CSV file, read a chunk at a time.
JobTally run_job_blocking(frame::CsvStream records, Prompter prompter, StoreMap field_stores,
                          ChatEndpoint endpoint, quellin::ClientOptions client,
                          JobSettings settings, JobProgress progress = {},
                          const std::vector<int>& stop_signals = {}, std::stop_token stop = {});

}  // namespace tavrin::labeling
