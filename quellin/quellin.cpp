#include "quellin/quellin.hpp"

#include <optional>
#include <string>
#include <utility>

#include <boost/asio/ssl/context.hpp>
#include <boost/asio/this_coro.hpp>

#include "quellin/internal/exchange.hpp"
#include "quellin/internal/redaction.hpp"
#include "quellin/internal/reply.hpp"
#include "quellin/internal/request.hpp"
#include "tavrin/core/internal/excerpt.hpp"

namespace quellin {

namespace asio = boost::asio;
using Json = nlohmann::ordered_json;

namespace {

constexpr std::size_t kMessageBodyBytes = 200;

// One exchange over a fresh connection, closed when it is done.
asio::awaitable<Json> call_once(internal::Target target, internal::Request request,
                                ClientTimeout timeout) {
  const internal::Deadlines deadlines(timeout);
  std::optional<asio::ssl::context> tls;
  if (target.tls) tls.emplace(internal::tls_context());
  const auto executor = co_await asio::this_coro::executor;
  auto connection =
      co_await internal::Connection::open(executor, target, tls ? &*tls : nullptr, deadlines);
  internal::BodySink sink;
  co_return internal::json_body(co_await connection->exchange(request, target, deadlines, sink),
                                request.secrets);
}

}  // namespace

HttpError::HttpError(unsigned status, std::string reason, std::string body, std::string note)
    : std::runtime_error("HTTP status " + std::to_string(status) + " " +
                         internal::printable(reason, tavrin::internal::kExcerptBytes) + ": " +
                         internal::printable(body, kMessageBodyBytes) +
                         (note.empty() ? "" : "; " + note)),
      status_(status),
      reason_(std::move(reason)),
      body_(std::move(body)),
      note_(std::move(note)) {}

std::optional<std::string_view> ReplyHead::find(std::string_view name) const {
  return internal::find_field(fields, name);
}

asio::awaitable<Json> async_call_api(std::string url, Json headers, Json payload) {
  co_return co_await async_call_api(std::move(url), std::move(headers), std::move(payload),
                                    ClientTimeout{});
}

asio::awaitable<Json> async_call_api(std::string url, Json headers, Json payload,
                                     ClientTimeout timeout) {
  // Everything is checked and built before the first byte goes out.
  internal::Target target = internal::parse_url(url);
  internal::Request request = internal::make_request(target, headers, payload);
  std::string where = target.where();
  co_return co_await internal::transport_errors(
      call_once(std::move(target), std::move(request), timeout), std::move(where));
}

namespace internal {

Json parse_reply(std::string_view bytes) { return json_body(parse_whole_reply(bytes), Secrets()); }

}  // namespace internal

}  // namespace quellin
