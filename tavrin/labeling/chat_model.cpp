#include "tavrin/labeling/chat_model.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>
#include <utility>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/this_coro.hpp>

#include "tavrin/palisk.hpp"

namespace tavrin::labeling {
namespace {

boost::asio::awaitable<ModelReply> ask(quellin::Client& client, const ChatEndpoint& endpoint,
                                       ModelRequest request) {
  Value payload =
      palisk::chat_payload(endpoint.model, std::move(request.prompt), endpoint.temperature);
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
    co_return ModelReply{without_key(palisk::answer_string(reply), endpoint.key),
                         reply.value("usage", Value()), info.attempts};
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
  options.max_connections_per_host =
      connection_limit(std::max(options.max_connections_per_host, settings.in_flight));
  settings.in_flight = std::min(settings.in_flight, options.max_connections_per_host);
  settings.model = model_settings(endpoint);
  quellin::Client client(co_await boost::asio::this_coro::executor, std::move(options));
  co_return co_await run_job(std::move(records), std::move(prompter), std::move(field_stores),
                             chat_model(client, std::move(endpoint)), std::move(settings),
                             std::move(progress));
}

// Runs the job on an io_context of its own; one of `stop_signals` cancels it (the job then
// ends cleanly) and comes out as Interrupted.
JobTally run_stoppable(boost::asio::awaitable<JobTally> job, const std::vector<int>& stop_signals) {
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
  context.run();
  if (caught != 0) throw Interrupted(caught);
  if (failure) std::rethrow_exception(failure);
  return std::move(*tally);
}

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
                          const std::vector<int>& stop_signals) {
  return run_stoppable(job_with_client(std::move(records), std::move(prompter),
                                       std::move(field_stores), std::move(endpoint),
                                       std::move(client), std::move(settings), std::move(progress)),
                       stop_signals);
}

JobTally run_job_blocking(frame::CsvStream records, Prompter prompter, StoreMap field_stores,
                          ChatEndpoint endpoint, quellin::ClientOptions client,
                          JobSettings settings, JobProgress progress,
                          const std::vector<int>& stop_signals) {
  return run_stoppable(job_with_client(std::move(records), std::move(prompter),
                                       std::move(field_stores), std::move(endpoint),
                                       std::move(client), std::move(settings), std::move(progress)),
                       stop_signals);
}

Model chat_model(quellin::Client& client, ChatEndpoint endpoint) {
  return [&client, endpoint = std::move(endpoint)](ModelRequest request) {
    return ask(client, endpoint, std::move(request));
  };
}

}  // namespace tavrin::labeling
