// quellin::Client: many requests to a few endpoints, over kept-alive connections and with
// retries. A client is bound to an executor and owns one TLS context (built once) and a pool
// of connections per scheme, host and port; each attempt of a call has the contract of
// async_call_api (same checks, errors, body limit and ClientTimeout limits). Besides JSON
// POSTs it GETs, uploads a file as multipart/form-data and downloads a reply body to a file,
// the files streamed in pieces (an OpenAI-compatible Batch API: files, batches, output).
//
//   quellin::Client client(context.get_executor());
//   quellin::CallInfo info;
//   nlohmann::ordered_json reply = co_await client.post(url, headers, payload, &info);
//   info.attempts                                      // -> 1; 3 after 503, 503, 200
//   info.reply.find("x-ratelimit-remaining-requests")  // -> "59"
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include "quellin/pacing.hpp"
#include "quellin/quellin.hpp"

namespace quellin {

/// When a failed attempt is tried again. Retried: connection and TLS failures, a connection
/// closed before the reply ended, timeouts, and the statuses 408, 409, 429 and 500-599 unless
/// the reply asks to wait longer than max_retry_after. Never retried: any other status (400,
/// 401, 403, 404, 422, ...), a 2xx body that is not JSON, a malformed reply, a body over
/// kBodyLimit (or a download's limit), a bad argument, a file that cannot be read or written,
/// cancellation.
struct RetryPolicy {
  /// Attempts after the first; 0 turns retries off.
  unsigned max_retries = 2;
  /// The wait before the first retry, doubled for each further one up to max_backoff. Each
  /// wait is shortened by a random part of up to a quarter (jitter), so that clients that
  /// failed together do not come back together.
  std::chrono::milliseconds initial_backoff = std::chrono::milliseconds(500);
  std::chrono::milliseconds max_backoff = std::chrono::seconds(8);
  /// A reply's `retry-after-ms` (milliseconds) or `Retry-After` (seconds or an HTTP date)
  /// of at most this long is the wait instead of the backoff. A longer one ends the call with
  /// the reply's HttpError, whose message ends "; the server asked to wait 3600 s, more than
  /// the 60 s this client waits".
  std::chrono::milliseconds max_retry_after = std::chrono::seconds(60);
};

/// A retry about to be waited for, as ClientOptions::on_retry hears of it.
struct RetryNotice {
  unsigned attempt = 0;               // the attempt that failed, counted from 1
  std::chrono::milliseconds wait{0};  // before the next attempt starts
  std::exception_ptr error;  // what the failed attempt threw (HttpError, TimeoutError, ...)
};

/// The bounds of a time limit given in seconds: a millisecond, a day.
inline constexpr double kMinTimeoutSeconds = 0.001;
inline constexpr double kMaxTimeoutSeconds = 86400;

struct ClientOptions;

/// Options for `retries` retries and a limit of `timeout_seconds` on each attempt in all and
/// on each silence, rounded to milliseconds (the connect limit no longer than that). A limit
/// outside kMinTimeoutSeconds to kMaxTimeoutSeconds, NaN included, is a
/// std::invalid_argument: "1e+06 seconds is not in range 0.001 to 86400".
ClientOptions client_options(unsigned retries, double timeout_seconds);

struct ClientOptions {
  /// The limits of each attempt, as async_call_api applies them.
  ClientTimeout timeout;
  RetryPolicy retry;
  /// Open connections per scheme, host and port; further calls wait for one to be free (the
  /// wait counts towards the attempt's connect limit).
  std::size_t max_connections_per_host = 64;
  /// A connection unused for this long is not used again; it is closed at the client's next
  /// call or at its destruction, whichever comes first.
  std::chrono::milliseconds idle_timeout = std::chrono::seconds(30);
  /// Called before each backoff wait, on the client's executor, e.g. for a progress line. The
  /// notice names no url or header: they may hold a key.
  std::function<void(const RetryNotice&)> on_retry;
  /// Paces every attempt under the endpoint's rate limits (pacing.hpp): each waits for its
  /// share first, and each reply's head is observed. Null for none. It must run on the
  /// client's executor.
  std::shared_ptr<Pacer> pacer;
};

/// What one call took, filled in as the call goes, whether it succeeds or fails.
struct CallInfo {
  /// Attempts made, counted against RetryPolicy::max_retries: at most max_retries + 1. A
  /// request sent again because a kept-alive connection turned out closed (written, nothing
  /// at all received) is not an attempt of its own.
  unsigned attempts = 0;
  /// The status and header fields of the last reply received, whatever its status: of the
  /// 200, or of the 429 whose HttpError ended the call. When the last attempt received no
  /// reply (a timeout), those of an earlier attempt's reply; status 0 when none came at all.
  ReplyHead reply;
};

/// A multipart/form-data body (RFC 7578) of text fields and one file, which is read from disk
/// in pieces as it is sent: e.g. the upload of a Batch API input file.
///
///   MultipartForm form{.fields = {{"purpose", "batch"}}, .path = "requests.jsonl"};
///   // parts: name="purpose" (batch), then name="file"; filename="requests.jsonl"
struct MultipartForm {
  struct Field {
    std::string name;
    std::string value;
  };
  /// The text parts, sent first, in this order.
  std::vector<Field> fields{};
  /// The file part: its field name, the file name it announces (the path's own when empty),
  /// its content type, and the file to send.
  std::string file_field = "file";
  std::string file_name{};
  std::string content_type = "application/octet-stream";
  std::filesystem::path path{};
};

/// The largest body Client::download writes unless told otherwise: 4 GiB.
inline constexpr std::uint64_t kDownloadLimit = std::uint64_t{4} << 30;

/// A pool of keep-alive connections with retries. Calls run on the executor the client is
/// bound to, which must not run two handlers at once (an io_context run by one thread, or a
/// strand); the client is not otherwise synchronised. Destroying the client closes its idle
/// connections; calls still in flight finish on their own connection, which is then closed.
///
/// A reply is kept alive unless it says `Connection: close`, is HTTP/1.0 without
/// `Connection: keep-alive`, or ends with the connection. A kept-alive connection that the
/// server closed while it was idle (the request was written and nothing at all came back) is
/// replaced by a new one and the request sent once more, without counting as a retry.
///
/// After the last attempt its error reaches the caller unchanged: an HttpError keeps its
/// status and body. Cancelling the awaiting coroutine ends the call at once with a
/// TransportError (operation_aborted), also during a backoff wait or a wait for a connection.
class Client {
 public:
  explicit Client(boost::asio::any_io_executor executor, ClientOptions options = {});
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  /// POSTs `payload` as JSON to `url` with `headers`, as async_call_api does, and yields the
  /// body of the 2xx reply decoded as JSON; retried as RetryPolicy says. `info`, when given,
  /// must live until the call is done.
  /// `tokens`: what the request counts against a tokens-a-minute limit, for the pacer.
  boost::asio::awaitable<nlohmann::ordered_json> post(std::string url,
                                                      nlohmann::ordered_json headers,
                                                      nlohmann::ordered_json payload,
                                                      CallInfo* info = nullptr,
                                                      RequestTokens tokens = {});

  /// The same, yielding the body of the 2xx reply as received, not decoded, for callers that
  /// parse it their own way (an embedding reply is mostly numbers).
  boost::asio::awaitable<std::string> post_text(std::string url, nlohmann::ordered_json headers,
                                                nlohmann::ordered_json payload,
                                                CallInfo* info = nullptr);

  /// GETs `url` with `headers` and yields the body of the 2xx reply decoded as JSON, as post
  /// does; retried as RetryPolicy says.
  boost::asio::awaitable<nlohmann::ordered_json> get(std::string url,
                                                     nlohmann::ordered_json headers,
                                                     CallInfo* info = nullptr);

  /// POSTs `form` as multipart/form-data and yields the body of the 2xx reply decoded as
  /// JSON, as post does. The file is read in pieces while it is sent, never whole, and read
  /// again from its start for each attempt; its size, taken when the call starts, is part of
  /// the Content-Length, so a file that changes size meanwhile ends the call (ValueError).
  /// The transport sets Content-Type (with a random boundary found in no text part): a
  /// Content-Type among `headers` is left out. A field or file name holding a control
  /// character (CR, LF, ...), '"' or '\', or a content type holding CR, LF or NUL, is a
  /// ValueError, and nothing is sent; a file that cannot be read is the
  /// std::filesystem::filesystem_error of its path.
  boost::asio::awaitable<nlohmann::ordered_json> upload(std::string url,
                                                        nlohmann::ordered_json headers,
                                                        MultipartForm form,
                                                        CallInfo* info = nullptr);

  /// GETs `url` with `headers` and writes the body of the 2xx reply to the file `to`;
  /// yields the bytes written. The body goes, in pieces, to a temporary file in the folder of
  /// `to` (created before the request is sent, so that a folder that cannot take it fails
  /// first), which is renamed onto `to` only once the whole body has arrived and is on disk.
  /// On any failure the temporary file is removed and `to` is left as it was. A body over
  /// `max_bytes` is a TransportError "quellin: download body over its limit of N bytes",
  /// not retried. Any other status is the HttpError of post, whose body is read to memory
  /// within kBodyLimit. Retried as RetryPolicy says, each attempt writing the file anew.
  boost::asio::awaitable<std::uint64_t> download(std::string url, nlohmann::ordered_json headers,
                                                 std::filesystem::path to, CallInfo* info = nullptr,
                                                 std::uint64_t max_bytes = kDownloadLimit);

  const ClientOptions& options() const noexcept;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;  // shared with the calls in flight
};

}  // namespace quellin
