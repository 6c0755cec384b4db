#include "python/native/transport.hpp"

#include <unistd.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "python/native/errors.hpp"
#include "python/native/values.hpp"
#include "quellin/quellin.hpp"

namespace tavrin::python {
namespace asio = boost::asio;

namespace {

// The process's I/O thread, started by the first request. After a fork the child starts one of
// its own: the parent's thread does not exist there.
class IoThread {
 public:
  IoThread() : work_(asio::make_work_guard(io_)), thread_([this] { io_.run(); }) {}
  IoThread(const IoThread&) = delete;
  IoThread& operator=(const IoThread&) = delete;
  ~IoThread() { stop(); }

  asio::io_context& context() { return io_; }

  void stop() {
    work_.reset();
    io_.stop();
    if (thread_.joinable()) thread_.join();
  }

  static IoThread& get() {
    const std::lock_guard lock(mutex());
    if (instance() == nullptr || owner() != getpid()) {
      // A child's copy of the parent's thread is only memory: leave it.
      instance() = new IoThread();  // NOLINT(cppcoreguidelines-owning-memory)
      owner() = getpid();
    }
    return *instance();
  }

  // At the interpreter's exit, before its objects go: no request outlives it.
  static void shutdown() {
    const std::lock_guard lock(mutex());
    if (instance() != nullptr && owner() == getpid()) {
      delete instance();  // NOLINT(cppcoreguidelines-owning-memory)
      instance() = nullptr;
    }
  }

 private:
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static IoThread*& instance() {
    static IoThread* thread = nullptr;
    return thread;
  }
  static pid_t& owner() {
    static pid_t pid = 0;
    return pid;
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;
};

// One request in flight; cancel() may come from any thread.
class Call {
 public:
  explicit Call(asio::io_context& io) : io_(io) {}
  asio::cancellation_slot slot() { return signal_.slot(); }
  void cancel(const std::shared_ptr<Call>& self) {
    asio::post(io_, [self] { self->signal_.emit(asio::cancellation_type::terminal); });
  }

 private:
  asio::io_context& io_;
  asio::cancellation_signal signal_;
};

}  // namespace

SharedObject share(py::object object) {
  return {new py::object(std::move(object)), [](py::object* o) {
            if (Py_IsInitialized() == 0) {
              (void)o->release();  // the interpreter is gone, and its objects with it
              delete o;            // NOLINT(cppcoreguidelines-owning-memory)
              return;
            }
            const py::gil_scoped_acquire gil;
            delete o;  // NOLINT(cppcoreguidelines-owning-memory)
          }};
}

void settle_with(const SharedObject& settle, const std::exception_ptr& failure,
                 const std::function<py::object()>& make_result) {
  if (Py_IsInitialized() == 0) return;
  const py::gil_scoped_acquire gil;
  py::object result = py::none();
  py::object error = py::none();
  if (failure) {
    error = exception_object(failure);
  } else {
    try {
      result = make_result();
    } catch (...) {
      error = exception_object(std::current_exception());
    }
  }
  try {
    (*settle)(result, error);
  } catch (py::error_already_set&) {
    // The loop closed before the answer came: nobody awaits it any more.
  }
}

void bind_transport(py::module_& module) {
  py::class_<Call, std::shared_ptr<Call>>(module, "Call", "A request in flight.")
      .def("cancel", [](const std::shared_ptr<Call>& call) { call->cancel(call); });

  module.def(
      "post_json",
      [](std::string url, const py::handle headers, const py::handle payload, py::object settle) {
        Value header_values = headers.is_none() ? Value::object() : to_value(headers, "headers");
        Value body = to_value(payload, "payload");
        asio::io_context& io = IoThread::get().context();
        auto call = std::make_shared<Call>(io);
        asio::co_spawn(
            io, quellin::async_call_api(std::move(url), std::move(header_values), std::move(body)),
            asio::bind_cancellation_slot(
                call->slot(), [call, settle = share(std::move(settle))](
                                  const std::exception_ptr& failure, const Value& reply) {
                  settle_with(settle, failure, [&reply] { return to_python(reply); });
                }));
        return call;
      },
      py::arg("url"), py::arg("headers"), py::arg("payload"), py::arg("settle"),
      "POSTs payload as JSON to url on the I/O thread; settle(reply, None) or settle(None, "
      "error) is called from that thread when it ends.");

  module.def("stop_transport", [] {
    const py::gil_scoped_release release;
    IoThread::shutdown();
  });
}

}  // namespace tavrin::python
