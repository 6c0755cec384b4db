#include "tavrin/labeling/chat_model.hpp"

#include <exception>
#include <utility>

#include "quellin/client.hpp"
#include "tavrin/palisk.hpp"

namespace tavrin::labeling {
namespace {

boost::asio::awaitable<ModelReply> ask(quellin::Client& client, const ChatEndpoint& endpoint,
                                       std::string prompt) {
  Value payload = palisk::chat_payload(endpoint.model, std::move(prompt), endpoint.temperature);
  if (endpoint.json_mode) payload["response_format"] = {{"type", "json_object"}};
  quellin::CallInfo info;
  Value reply;
  try {
    reply = co_await client.post(endpoint.url, palisk::chat_headers(endpoint.key),
                                 std::move(payload), &info);
  } catch (const std::exception& e) {
    throw ModelError(e.what(), info.attempts);
  }
  try {
    co_return ModelReply{palisk::answer_string(reply), reply.value("usage", Value()),
                         info.attempts};
  } catch (const std::invalid_argument& e) {
    throw ModelError(e.what(), info.attempts);
  } catch (const std::out_of_range& e) {
    throw ModelError(e.what(), info.attempts);
  }
}

}  // namespace

Model chat_model(quellin::Client& client, ChatEndpoint endpoint) {
  return [&client, endpoint = std::move(endpoint)](std::string prompt) {
    return ask(client, endpoint, std::move(prompt));
  };
}

}  // namespace tavrin::labeling
