// quellin: the HTTP transport that carries a chat-completion request to an LLM endpoint.
// One awaited call is one HTTP/1.1 POST of a JSON body over a fresh connection (TLS for
// https), answered by the reply body decoded as JSON. No retries, no redirects, no pooling.
//
//   nlohmann::ordered_json reply = co_await quellin::async_call_api(
//       "https://api.example.com/v1/chat/completions",
//       {{"Content-Type", "application/json"}, {"Authorization", "Bearer sk-..."}},
//       {{"model", "qwen-max"}, {"messages", ...}});
//   reply["choices"][0]["message"]["content"]   // -> the answer text
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <nlohmann/json.hpp>

#include "tavrin/core/errors.hpp"

namespace quellin {

/// An argument of the wrong kind: headers that are not a mapping of text values. The type of
/// tavrin's own, so that `catch (const tavrin::TypeError&)` catches the transport's too.
using TypeError = tavrin::TypeError;

/// An argument or a reply that cannot be used: a bad url, a header that would inject another
/// header, a 2xx reply whose body is not JSON. The type of tavrin's own, as TypeError.
using ValueError = tavrin::ValueError;

/// The endpoint answered with a status outside 2xx. Carries the status, the reason phrase and
/// the first 1 KiB of the body. A server may echo the request, whose headers hold the key: in
/// the reason and the body, as in every message that quotes a reply, each value of a header
/// the request carried reads "***" (of "Bearer <key>", the key alone as well).
class HttpError : public std::runtime_error {
 public:
  /// `note`, when not empty, ends the message after "; ": what the client made of the reply,
  /// e.g. that it did not wait as long as the reply asked.
  HttpError(unsigned status, std::string reason, std::string body, std::string note = {});

  unsigned status() const noexcept { return status_; }
  const std::string& reason() const noexcept { return reason_; }
  /// At most kHttpErrorBodyBytes bytes of the reply body, as received but for the header
  /// values replaced by "***".
  const std::string& body() const noexcept { return body_; }
  const std::string& note() const noexcept { return note_; }

 private:
  unsigned status_;
  std::string reason_;
  std::string body_;
  std::string note_;
};

/// One header field of a reply, as received.
struct HeaderField {
  std::string name;
  std::string value;
};

/// The status line's code and the header fields of a reply, without its body: what a caller
/// paces its calls by (x-ratelimit-remaining-tokens, x-ratelimit-reset-requests, ...).
///
///   head.find("X-RateLimit-Remaining-Tokens")   // -> "39000"; nullopt when there is none
struct ReplyHead {
  unsigned status = 0;              // 0 when no reply was received
  std::vector<HeaderField> fields;  // in the order received; a name may come more than once

  /// The value of the first field named `name`, the case of letters ignored; nullopt when
  /// there is none. The view lasts as long as `fields` is unchanged.
  std::optional<std::string_view> find(std::string_view name) const;
};

/// How much of an error reply's body HttpError keeps.
inline constexpr std::size_t kHttpErrorBodyBytes = 1024;

/// The largest reply body accepted; a longer one is a TransportError.
inline constexpr std::size_t kBodyLimit = std::size_t{64} << 20;

/// The exchange failed on the way: name resolution, connection, TLS, a broken or malformed
/// reply, a body over kBodyLimit, or the operation was cancelled (code() is then
/// boost::asio::error::operation_aborted). The message names the step and host:port.
class TransportError : public boost::system::system_error {
 public:
  using boost::system::system_error::system_error;
};

/// A limit of ClientTimeout ran out; the connection was closed.
class TimeoutError : public TransportError {
 public:
  using TransportError::TransportError;
};

/// Time limits of one exchange, as aiohttp names them. `connect` covers name resolution, the
/// TCP connection and the TLS handshake; `sock_connect` each TCP connection attempt;
/// `sock_read` each read of the reply (the longest silence allowed); `total` the whole call.
struct ClientTimeout {
  std::chrono::milliseconds total = std::chrono::seconds(600);
  std::chrono::milliseconds connect = std::chrono::seconds(60);
  std::chrono::milliseconds sock_read = std::chrono::seconds(600);
  std::chrono::milliseconds sock_connect = std::chrono::seconds(60);
};

/// Checks that `url` can be an endpoint of async_call_api and Client, which make the same check
/// before anything is sent; a program calls it to refuse a bad url before any work. Throws
/// ValueError for text that is no absolute URL, a scheme other than http or https, user
/// information (user:pass@), no host, or a port that is empty or not 1 to 65535:
///
///   quellin::require_endpoint_url("http://127.0.0.1:99999/v1");
///   // ValueError: url port is out of range: "99999"
///
/// A message quotes at most 40 bytes, never the user information, query or fragment.
void require_endpoint_url(std::string_view url);

/// `text` with each value of `headers` (an object of text values, as sent) replaced by "***",
/// and the credentials of a "<scheme> <credentials>" value too: the redaction of the
/// transport's own messages, for a program that prints or stores what a server answered (a
/// server may echo the request, key included). Other members are ignored.
std::string redact_headers(std::string_view text, const nlohmann::ordered_json& headers);

/// `url` without user information, query and fragment, for messages: either may hold a key.
/// "the endpoint" when `url` is no URI.
std::string endpoint_name(std::string_view url);

/// POSTs `payload`, serialised as JSON (UTF-8), to `url` (http or https, taken as given:
/// scheme, host, port, path and query) and yields the reply body decoded as JSON. A url that
/// require_endpoint_url refuses is its ValueError, and nothing is sent.
///
/// The request carries the request line, `Host`, then `headers` in their order, then
/// `Content-Length`. `headers` must be an object of text values (else TypeError); a name that
/// is not an HTTP token or a value holding CR, LF or NUL is a ValueError, and nothing is sent.
/// https verifies the peer against the system trust store (or SSL_CERT_FILE / SSL_CERT_DIR),
/// checks the host name and sends SNI.
///
/// A 2xx reply yields its body as JSON (a body that is not JSON is a ValueError with the
/// status and the first 200 bytes, one that nests arrays and objects deeper than 1000 levels a
/// ValueError saying so); any other status is an HttpError. The body is checked in full
/// before anything is built from it, so a refused body costs no more memory than its bytes
/// and one copy of its longest token. Other failures are
/// TransportError, or TimeoutError when a limit of the default ClientTimeout ran out.
/// Nothing starts before the awaitable is awaited. Cancelling the awaiting coroutine closes
/// the connection and ends the call with a TransportError (operation_aborted); during a host
/// name lookup, which cannot be interrupted, it takes effect when the lookup ends (at the
/// latest at the connect limit). An address literal needs no lookup.
boost::asio::awaitable<nlohmann::ordered_json> async_call_api(std::string url,
                                                              nlohmann::ordered_json headers,
                                                              nlohmann::ordered_json payload);

/// The same, within the limits of `timeout`.
boost::asio::awaitable<nlohmann::ordered_json> async_call_api(std::string url,
                                                              nlohmann::ordered_json headers,
                                                              nlohmann::ordered_json payload,
                                                              ClientTimeout timeout);

}  // namespace quellin
