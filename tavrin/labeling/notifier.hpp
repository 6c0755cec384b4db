// A wake-up for the coroutines of one executor that wait for a condition to change: the job's
// queues, the batches' ends.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace tavrin::labeling {

/// Wakes every coroutine that waits on it; a waiter checks its condition again. A wait also
/// ends, without an error, when the waiting coroutine is cancelled: the waiter looks at its
/// cancellation state.
class Notifier {
 public:
  explicit Notifier(const boost::asio::any_io_executor& executor)
      : timer_(executor, boost::asio::steady_timer::time_point::max()) {}
  void notify() { timer_.cancel(); }
  boost::asio::awaitable<void> wait() {
    boost::system::error_code ignored;
    co_await timer_.async_wait(boost::asio::redirect_error(boost::asio::use_awaitable, ignored));
  }

 private:
  boost::asio::steady_timer timer_;
};

}  // namespace tavrin::labeling
