#include "tavrin/labeling/chat_model.hpp"

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

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

template <class Records>
JobTally blocking_job(Records records, Prompter prompter, StoreMap field_stores,
                      ChatEndpoint endpoint, quellin::ClientOptions options, JobSettings settings,
                      JobProgress progress) {
  boost::asio::io_context io;
  options.max_connections_per_host = std::max(options.max_connections_per_host, settings.in_flight);
  std::optional<quellin::Client> client(std::in_place, io.get_executor(), std::move(options));
  Model model = chat_model(*client, std::move(endpoint));
  std::optional<JobTally> tally;
  std::exception_ptr failure;
  boost::asio::co_spawn(io,
                        run_job(std::move(records), std::move(prompter), std::move(field_stores),
                                std::move(model), std::move(settings), std::move(progress)),
                        [&](std::exception_ptr e, JobTally result) {
                          failure = e;
                          if (!e) tally = std::move(result);
                          // Its kept-alive connections would keep the context running.
                          client.reset();
                        });
  io.run();
  if (failure) std::rethrow_exception(failure);
  return std::move(*tally);
}

}  // namespace

JobTally run_job_blocking(frame::DataFrame records, Prompter prompter, StoreMap field_stores,
                          ChatEndpoint endpoint, quellin::ClientOptions client,
                          JobSettings settings, JobProgress progress) {
  return blocking_job(std::move(records), std::move(prompter), std::move(field_stores),
                      std::move(endpoint), std::move(client), std::move(settings),
                      std::move(progress));
}

JobTally run_job_blocking(frame::CsvStream records, Prompter prompter, StoreMap field_stores,
                          ChatEndpoint endpoint, quellin::ClientOptions client,
                          JobSettings settings, JobProgress progress) {
  return blocking_job(std::move(records), std::move(prompter), std::move(field_stores),
                      std::move(endpoint), std::move(client), std::move(settings),
                      std::move(progress));
}

Model chat_model(quellin::Client& client, ChatEndpoint endpoint) {
  return [&client, endpoint = std::move(endpoint)](std::string prompt) {
    return ask(client, endpoint, std::move(prompt));
  };
}

}  // namespace tavrin::labeling
