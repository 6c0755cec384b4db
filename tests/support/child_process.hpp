// A forked child process for tests that kill a process in the middle of its work (header-only).
// The child runs `body`; calling `ready` tells the parent it got there and keeps the child
// waiting, alive, until the parent kills it or goes away.
//
//   tavrin::testing::ChildProcess child([](const auto& ready) { start_writing(); ready(); });
//   ASSERT_TRUE(child.wait_ready());
//   child.kill();   // SIGKILL, then reaped
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <system_error>

namespace tavrin::testing {

class ChildProcess {
 public:
  using Body = std::function<void(const std::function<void()>& ready)>;

  /// Forks; the child runs `body` and exits with 0, or 1 when `body` throws. The child must not
  /// use GoogleTest's assertions: only the parent reports.
  explicit ChildProcess(const Body& body) {
    int ready_pipe[2];
    int hold_pipe[2];
    if (::pipe(ready_pipe) != 0 || ::pipe(hold_pipe) != 0) {
      throw std::system_error(errno, std::generic_category(), "pipe");
    }
    pid_ = ::fork();
    if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (pid_ == 0) {
      ::close(ready_pipe[0]);
      ::close(hold_pipe[1]);
      const auto ready = [&] {
        const char byte = 1;
        if (::write(ready_pipe[1], &byte, 1) != 1) ::_exit(2);
        // Until the parent kills this process or ends, which closes the pipe.
        char ignored;
        while (::read(hold_pipe[0], &ignored, 1) < 0 && errno == EINTR) {
        }
      };
      int status = 0;
      try {
        body(ready);
      } catch (...) {
        status = 1;
      }
      ::_exit(status);
    }
    ::close(ready_pipe[1]);
    ::close(hold_pipe[0]);
    ready_ = ready_pipe[0];
    hold_ = hold_pipe[1];
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() {
    kill();
    ::close(ready_);
    ::close(hold_);
  }

  /// Blocks until the child called `ready`; false when it ended first.
  bool wait_ready() {
    char byte;
    ssize_t got;
    do {
      got = ::read(ready_, &byte, 1);
    } while (got < 0 && errno == EINTR);
    return got == 1;
  }

  /// Kills the child with SIGKILL and reaps it; nothing once it is reaped.
  void kill() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
    wait();
  }

  /// Waits for the child to end; its wait status (see waitpid), or -1 once it is reaped.
  int wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
  int ready_ = -1;
  int hold_ = -1;
};

}  // namespace tavrin::testing
