#include "tavrin/labeling/chat_model.hpp"

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>

#include <boost/asio/this_coro.hpp>

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

// What answers, as the run's settings record it.
Value model_settings(const ChatEndpoint& endpoint) {
  return {{"model", endpoint.model},
          {"temperature", endpoint.temperature},
          {"json_mode", endpoint.json_mode}};
}

// The job with a client of its own, closed with its connections when the job ends, so that
// nothing keeps the context running.
template <class Records>
boost::asio::awaitable<JobTally> job_with_client(Records records, Prompter prompter,
                                                 StoreMap field_stores, ChatEndpoint endpoint,
                                                 quellin::ClientOptions options,
                                                 JobSettings settings, JobProgress progress) {
  options.max_connections_per_host = std::max(options.max_connections_per_host, settings.in_flight);
  settings.model = model_settings(endpoint);
  quellin::Client client(co_await boost::asio::this_coro::executor, std::move(options));
  co_return co_await run_job(std::move(records), std::move(prompter), std::move(field_stores),
                             chat_model(client, std::move(endpoint)), std::move(settings),
                             std::move(progress));
}

}  // namespace

JobTally run_job_blocking(frame::DataFrame records, Prompter prompter, StoreMap field_stores,
                          ChatEndpoint endpoint, quellin::ClientOptions client,
                          JobSettings settings, JobProgress progress) {
  return palisk::run_blocking(job_with_client(
      std::move(records), std::move(prompter), std::move(field_stores), std::move(endpoint),
      std::move(client), std::move(settings), std::move(progress)));
}

JobTally run_job_blocking(frame::CsvStream records, Prompter prompter, StoreMap field_stores,
                          ChatEndpoint endpoint, quellin::ClientOptions client,
                          JobSettings settings, JobProgress progress) {
  return palisk::run_blocking(job_with_client(
      std::move(records), std::move(prompter), std::move(field_stores), std::move(endpoint),
      std::move(client), std::move(settings), std::move(progress)));
}

Model chat_model(quellin::Client& client, ChatEndpoint endpoint) {
  return [&client, endpoint = std::move(endpoint)](std::string prompt) {
    return ask(client, endpoint, std::move(prompt));
  };
}

}  // namespace tavrin::labeling
