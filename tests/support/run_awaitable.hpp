// Runs one awaitable to its end on an io_context, for tests of coroutine code.
//
//   nlohmann::ordered_json reply = tavrin::testing::run(quellin::async_call_api(url, h, p));
//   tavrin::testing::run(context, client.post(url, h, p));   // on the client's context
#pragma once

#include <exception>
#include <optional>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

namespace tavrin::testing {

/// The value `op` yields, or its failure rethrown, running `context` until it has no work.
template <class T>
T run(boost::asio::io_context& context, boost::asio::awaitable<T> op) {
  std::optional<T> value;
  std::exception_ptr failure;
  boost::asio::co_spawn(context, std::move(op), [&](std::exception_ptr e, T v) {
    failure = e;
    if (!e) value = std::move(v);
  });
  context.restart();
  context.run();
  if (failure) std::rethrow_exception(failure);
  return std::move(*value);
}

/// The same for an awaitable that yields nothing.
inline void run(boost::asio::io_context& context, boost::asio::awaitable<void> op) {
  std::exception_ptr failure;
  boost::asio::co_spawn(context, std::move(op), [&](std::exception_ptr e) { failure = e; });
  context.restart();
  context.run();
  if (failure) std::rethrow_exception(failure);
}

/// The same on a private io_context.
template <class T>
T run(boost::asio::awaitable<T> op) {
  boost::asio::io_context context;
  return run(context, std::move(op));
}

}  // namespace tavrin::testing
