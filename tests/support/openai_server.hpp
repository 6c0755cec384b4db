// A stand-in OpenAI-compatible endpoint on 127.0.0.1 for tests: keep-alive HTTP/1.1, chat
// completions (the prompt echoed, cut at the request's max_tokens, with usage counting a token
// a character) and embeddings answered from the request, and scripted misbehaviour for the
// next requests (a status with headers, a body of the test's, interim replies before it, a
// reset in the middle of the body, a close the reply does not announce). It counts connections and
// requests and runs on its own thread. It can check the response_format schema of a chat
// request against the labels its prompt lists, or refuse any response_format as an endpoint
// without structured outputs does. Asked for "logprobs", it gives each character of its answer
// as a token of kTokenProbability.
//
// It also keeps, in memory, OpenAI's files and batches (the Batch API): POST /v1/files
// (multipart, purpose "batch"), GET /v1/files/<id> and /v1/files/<id>/content, POST
// /v1/batches, GET /v1/batches/<id>, POST /v1/batches/<id>/cancel and GET
// /v1/batches?limit=&after=. A batch moves one status further at each retrieve (validating,
// in_progress, finalizing, completed); then each line the chat endpoint answers with a 200 is in
// its output file, {"id":"batch_req_<n>","custom_id":..,"response":{"status_code":200,
// "request_id":"req_<n>","body":<that answer>},"error":null}, and each other in its error file
// in the same shape, both in reverse input order, as real batches keep none.
//
//   OpenAiServer server;
//   server.script({{.status = 503}, {.status = 503}});   // then the normal answer
//   co_await client.post(server.url("/v1/chat/completions"), headers, payload);
//   server.requests()      // -> 3
//   server.connections()   // -> 1: the 503 replies kept the connection alive
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavrin::testing {

class OpenAiServer {
 public:
  /// An answer given instead of the normal one, to one request.
  struct Scripted {
    unsigned status = 200;
    /// The body; empty gives the normal answer for the path (an error object for a status
    /// outside 2xx).
    std::string body{};
    /// Extra header fields, e.g. {"Retry-After", "1"} or {"Connection", "close"}.
    std::vector<std::pair<std::string, std::string>> headers{};
    /// "HTTP/1.0" on the status line.
    bool http10 = false;
    /// Sends the head and half the body, then resets the connection.
    bool reset_mid_body = false;
    /// Closes the connection once the reply is written, without saying so in the reply.
    bool close_after = false;
    /// Waits this long before answering (other connections are served meanwhile).
    std::chrono::milliseconds delay{0};
    /// Never answers; the connection stays open until the client closes it.
    bool silent = false;
    /// Bytes written on their own before the reply and before `delay`, e.g. interim replies
    /// ("HTTP/1.1 100 Continue\r\n\r\n").
    std::string interim{};
    /// Writes nothing after `interim`: the connection then closes as close_after says.
    bool no_reply = false;
  };

  struct Options {
    /// Closes each connection, unannounced, after this many replies; 0 never.
    std::size_t close_after_requests = 0;
    /// Closes a kept-alive connection, unannounced, once it has been idle this long; 0 never.
    std::chrono::milliseconds close_when_idle{0};
    /// Waits this long before each normal answer.
    std::chrono::milliseconds delay{0};
    /// Checks each chat request whose response_format is a json_schema: strict, an object
    /// schema without other properties whose properties are the fields the prompt lists
    /// ("- field: a、b" lines), all required, each allowing null, and each enum that is there
    /// the labels listed for its field (null added for a single label). A request that fails
    /// gets a 400 ("stand-in check: ...") and its fault is kept (format_faults()).
    bool check_response_format = false;
    /// Answers every chat request that carries a response_format with a 400, an
    /// invalid_request_error about "response_format" as OpenAI words one.
    bool refuse_response_format = false;
    /// Answers every chat request that asks for "logprobs" with a 400 about them, as an
    /// endpoint without log-probabilities does.
    bool refuse_logprobs = false;
    /// A tokens-a-minute limit on chat requests (0: none), as a bucket that refills to it
    /// over `rate_window` (a minute, or shorter for a quick test): a request costs its prompt's
    /// characters and its max_tokens (its prompt's characters again without one). One that does
    /// not fit gets a 429; every chat reply carries x-ratelimit-limit-tokens,
    /// -remaining-tokens and -reset-tokens (the time until the bucket is full).
    std::uint64_t tokens_per_minute = 0;
    std::chrono::milliseconds rate_window{60000};

    /// Retrieves of a batch that show it in_progress, the first of them the one that takes it
    /// out of validating; the next one shows it finalizing (0: the first does), the one after
    /// that completed.
    std::size_t batch_polls_in_progress = 2;
    /// The custom_ids of batch lines that fail: their line goes to the error file with a 400
    /// (an invalid_request_error "stand-in: this request failed") instead of the output file.
    std::vector<std::string> batch_failed_ids{};
    /// Makes the first batch created, and only that one (so that a resubmission completes),
    /// end "expired" after its in_progress retrieves: its first K lines answered as a
    /// completed batch answers them, every other one a "batch_expired" error.
    std::optional<std::size_t> batch_expire_after{};
    /// Holds the reply to each POST /v1/batches this long after the batch is created (other
    /// connections are served meanwhile), so that a client can die between the two.
    std::chrono::milliseconds batch_create_delay{0};
  };

  /// The probability the stand-in gives each token of an answer when asked for logprobs: each
  /// character is a token, with one alternative ("~") at kAlternativeProbability.
  static constexpr double kTokenProbability = 0.9;
  static constexpr double kAlternativeProbability = 0.05;

  /// One request as received.
  struct Request {
    std::string head;  // request line and header fields
    std::string body{};
  };

  OpenAiServer();
  explicit OpenAiServer(Options options);
  ~OpenAiServer();
  OpenAiServer(const OpenAiServer&) = delete;
  OpenAiServer& operator=(const OpenAiServer&) = delete;

  /// Answers for the next requests, in order, after those scripted before; once they are
  /// used up, the normal answers.
  void script(std::vector<Scripted> answers);

  /// "http://127.0.0.1:<port>" followed by `path`.
  std::string url(std::string_view path = "/v1/chat/completions") const;
  /// Connections accepted so far.
  std::size_t connections() const;
  /// Requests read in full so far.
  std::size_t requests() const;
  /// The requests read so far, in the order they completed.
  std::vector<Request> received() const;
  /// Chat requests refused for the tokens-a-minute limit.
  std::size_t rate_limited() const;
  /// What check_response_format found wrong, one entry per request refused.
  std::vector<std::string> format_faults() const;
  /// Files uploaded through POST /v1/files (not the output and error files of batches).
  std::size_t files_uploaded() const;
  /// Batches created through POST /v1/batches, those that then fail validation included.
  std::size_t batches_created() const;
  /// The custom_ids that the input lines of the `batch_index`-th batch created (from 0) carry,
  /// in input order; std::out_of_range for a batch not created.
  std::vector<std::string> batch_custom_ids(std::size_t batch_index) const;

  /// The normal answer to a chat completion: the last message's content, echoed, with the
  /// usage of a prompt that was that content (a token a character).
  static std::string chat_reply(std::string_view content);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tavrin::testing
