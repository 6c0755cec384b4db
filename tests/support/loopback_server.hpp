// A raw HTTP server on 127.0.0.1 for tests: it records each request byte for byte and answers
// with the bytes a test scripts, then closes, keeps the connection open, or stalls. It runs
// on its own thread, so a client under test may run on the test's thread.
//
//   LoopbackServer server([](const std::string&) { return Reply{ok_json(R"({"a":1})")}; });
//   co_await quellin::async_call_api(server.url("/v1"), headers, payload);
//   server.requests()[0]   // -> "POST /v1 HTTP/1.1\r\nHost: 127.0.0.1:...\r\n..."
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin::testing {

/// What the server does with one request.
struct Reply {
  enum class Then {
    kClose,     // close the connection after the bytes
    kKeepOpen,  // keep it open until the client closes it
  };
  std::string bytes;  // written as they are; may be a partial or broken reply
  Then then = Then::kClose;
  /// A file whose bytes follow `bytes`, read and written in pieces: a large body that the
  /// server never holds whole.
  std::string file{};
};

/// A complete 200 reply carrying `json` with Content-Length.
std::string ok_json(std::string_view json);

/// A complete reply with the given status line and body, Content-Length framed.
std::string reply_with(std::string_view status_line, std::string_view body,
                       std::string_view content_type = "application/json");

class LoopbackServer {
 public:
  /// Called once per request with its raw bytes, on the server's thread.
  using Responder = std::function<Reply(const std::string& request)>;

  explicit LoopbackServer(Responder responder);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  unsigned short port() const;
  /// "http://127.0.0.1:<port>" followed by `target`.
  std::string url(std::string_view target = "/") const;
  /// The raw requests received so far, in the order they completed.
  std::vector<std::string> requests() const;
  /// How many connections the client has closed so far.
  std::size_t closed_by_client() const;
  /// Waits up to five seconds for closed_by_client() to reach `count`.
  bool wait_closed_by_client(std::size_t count) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// A port on 127.0.0.1 that nothing listens on (bound, then released).
unsigned short unused_port();

}  // namespace tavrin::testing
