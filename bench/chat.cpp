// palisk::chat against Python's aiohttp client on one local stub endpoint: by default 5,000
// requests with 100 in flight. The stub is a small keep-alive HTTP/1.1 server on its own
// thread that answers every POST with the same chat-completion reply.
//
//   bench/chat [requests] [in_flight]
//
// aiohttp is measured twice: with a session per call (one connection per request, as the
// transport does) and with one pooled session (keep-alive), the way a hand-tuned client runs.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include "bench/support.hpp"
#include "tavrin/palisk.hpp"

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using tavrin::bench::python;

constexpr std::string_view kBody =
    R"({"id":"chatcmpl-1","object":"chat.completion","created":1700000000,"model":"qwen-max",)"
    R"("choices":[{"index":0,"message":{"role":"assistant","content":"{\"产品\": \"手机\", )"
    R"(\"类别\": \"售后\"}"},"finish_reason":"stop"}],)"
    R"("usage":{"prompt_tokens":25,"completion_tokens":12,"total_tokens":37}})";

std::size_t content_length(std::string_view header) {
  for (std::string_view name : {"Content-Length:", "content-length:"}) {
    if (auto at = header.find(name); at != std::string_view::npos) {
      return std::strtoul(header.data() + at + name.size(), nullptr, 10);
    }
  }
  return 0;
}

// The stub endpoint: keep-alive, any number of requests per connection.
class StubServer {
 public:
  StubServer() {
    asio::co_spawn(context_, accept_loop(), asio::detached);
    thread_ = std::thread([this] { context_.run(); });
  }
  ~StubServer() {
    context_.stop();
    thread_.join();
  }
  std::string url() const {
    return "http://127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port()) +
           "/v1/chat/completions";
  }

 private:
  asio::awaitable<void> accept_loop() {
    for (;;) {
      tcp::socket socket = co_await acceptor_.async_accept(asio::use_awaitable);
      socket.set_option(tcp::no_delay(true));
      asio::co_spawn(context_, serve(std::move(socket)), asio::detached);
    }
  }

  static asio::awaitable<void> serve(tcp::socket socket) {
    const std::string reply =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
        "Content-Length: " +
        std::to_string(kBody.size()) + "\r\n\r\n" + std::string(kBody);
    std::string buffer;
    try {
      for (;;) {
        const std::size_t header = co_await asio::async_read_until(
            socket, asio::dynamic_buffer(buffer), "\r\n\r\n", asio::use_awaitable);
        const std::size_t total =
            header + content_length(std::string_view(buffer).substr(0, header));
        if (buffer.size() < total) {
          co_await asio::async_read(socket, asio::dynamic_buffer(buffer),
                                    asio::transfer_exactly(total - buffer.size()),
                                    asio::use_awaitable);
        }
        buffer.erase(0, total);
        co_await asio::async_write(socket, asio::buffer(reply), asio::use_awaitable);
      }
    } catch (const std::exception&) {
      // The client closed the connection.
    }
  }

  asio::io_context context_;
  tcp::acceptor acceptor_{context_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)};
  std::thread thread_;
};

struct Outcome {
  double per_second = 0;
  int failures = 0;
};

Outcome run_palisk(const std::string& url, int requests, int in_flight) {
  asio::io_context context;
  int next = 0;
  Outcome outcome;
  auto worker = [&]() -> asio::awaitable<void> {
    while (next < requests) {
      ++next;
      const tavrin::Value reply = co_await tavrin::palisk::chat("你好", url, "sk-bench");
      if (!reply.contains("choices")) ++outcome.failures;
    }
  };
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < in_flight; ++i) {
    asio::co_spawn(context, worker(), [&](std::exception_ptr e) {
      if (e) ++outcome.failures;
    });
  }
  context.run();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  outcome.per_second = requests / elapsed.count();
  return outcome;
}

// Runs bench/chat.py; each of its lines is "<mode> <requests per second>".
std::map<std::string, double> run_aiohttp(const std::string& url, int requests, int in_flight) {
  const std::string command = python() + " " TAVRIN_BENCH_DIR "/chat.py " + url + " " +
                              std::to_string(requests) + " " + std::to_string(in_flight);
  std::map<std::string, double> figures;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return figures;
  char line[256];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream fields(line);
    std::string mode;
    double per_second = 0;
    if (fields >> mode >> per_second) figures[mode] = per_second;
  }
  pclose(pipe);
  return figures;
}

void print_row(const char* name, double per_second) {
  std::printf("  %-34s %10.0f req/s\n", name, per_second);
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::atoi(argv[1]) : 5000;
  const int in_flight = argc > 2 ? std::atoi(argv[2]) : 100;
  StubServer server;
  std::printf("chat: %d requests, %d in flight, one local stub endpoint\n", requests, in_flight);
  const Outcome palisk = run_palisk(server.url(), requests, in_flight);
  const auto aiohttp = run_aiohttp(server.url(), requests, in_flight);
  print_row("tavrin palisk::chat", palisk.per_second);
  if (palisk.failures != 0) std::printf("  (%d failed requests)\n", palisk.failures);
  for (const auto& [mode, label] : {std::pair{"per_call", "aiohttp, session per call"},
                                    {"pooled", "aiohttp, pooled session"}}) {
    const auto found = aiohttp.find(mode);
    if (found == aiohttp.end()) {
      std::printf("  %-34s (no figure: is python3-aiohttp installed?)\n", label);
      continue;
    }
    print_row(label, found->second);
    std::printf("  %-34s %10.1fx   (goal >= 3x)\n", "  ratio tavrin / this",
                palisk.per_second / found->second);
  }
  return palisk.failures == 0 ? 0 : 1;
}
