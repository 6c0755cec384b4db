// The transport against Python's HTTP clients, all on one local nginx (Debian's, started and
// stopped here on 127.0.0.1, one process) that answers every POST with the same
// chat-completion reply, so that the stub is not what is measured:
//   - palisk::chat (a fresh connection per request) beside aiohttp with a session per call,
//     by default 5,000 requests with 100 in flight;
//   - the pooled quellin::Client beside one pooled aiohttp session and httpx's AsyncClient,
//     by default 20,000 requests with 200 in flight.
//
//   bench/chat [pooled_requests] [pooled_in_flight] [fresh_requests] [fresh_in_flight]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "bench/nginx.hpp"
#include "bench/support.hpp"
#include "quellin/client.hpp"
#include "tavrin/palisk.hpp"

namespace {

namespace asio = boost::asio;
using Json = nlohmann::ordered_json;
using tavrin::bench::kNginx;

constexpr std::string_view kBody =
    R"({"id":"chatcmpl-1","object":"chat.completion","created":1700000000,"model":"qwen-max",)"
    R"("choices":[{"index":0,"message":{"role":"assistant","content":"{\"产品\": \"手机\", )"
    R"(\"类别\": \"售后\"}"},"finish_reason":"stop"}],)"
    R"("usage":{"prompt_tokens":25,"completion_tokens":12,"total_tokens":37}})";

struct Outcome {
  double per_second = 0;
  int failures = 0;
};

// `requests` calls of `call` (an awaitable of a reply), `in_flight` at a time, on `context`.
template <class Call>
Outcome measure(asio::io_context& context, int requests, int in_flight, Call call) {
  int next = 0;
  Outcome outcome;
  auto worker = [&]() -> asio::awaitable<void> {
    while (next < requests) {
      ++next;
      const Json reply = co_await call();
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
  outcome.per_second = requests / tavrin::bench::seconds_since(start);
  return outcome;
}

Outcome run_palisk(const std::string& url, int requests, int in_flight) {
  asio::io_context context(1);
  return measure(context, requests, in_flight,
                 [&] { return tavrin::palisk::chat("你好", url, "sk-bench"); });
}

Outcome run_client(const std::string& url, int requests, int in_flight) {
  asio::io_context context(1);
  quellin::Client client(context.get_executor());
  const Json headers = {{"Content-Type", "application/json"}, {"Authorization", "Bearer sk-bench"}};
  const Json payload = {{"model", "qwen-max"},
                        {"messages", {{{"role", "user"}, {"content", "你好"}}}},
                        {"temperature", 0.1}};
  return measure(context, requests, in_flight, [&] { return client.post(url, headers, payload); });
}

// Runs bench/chat.py for `modes`; each of its lines is "<mode> <requests per second>".
std::map<std::string, double> run_python(const std::string& url, int requests, int in_flight,
                                         const std::string& modes) {
  std::map<std::string, double> figures;
  const auto output =
      tavrin::bench::run_python("chat.py", url + " " + std::to_string(requests) + " " +
                                               std::to_string(in_flight) + " " + modes);
  if (!output) return figures;
  std::istringstream lines(*output);
  std::string mode;
  double per_second = 0;
  while (lines >> mode >> per_second) figures[mode] = per_second;
  return figures;
}

void print_row(const char* name, const Outcome& outcome) {
  std::printf("  %-34s %10.0f req/s\n", name, outcome.per_second);
  if (outcome.failures != 0) std::printf("  (%d failed requests)\n", outcome.failures);
}

void print_baselines(const std::map<std::string, double>& figures, double ours,
                     const std::vector<std::pair<std::string, std::string>>& modes,
                     const char* goal) {
  for (const auto& [mode, label] : modes) {
    const auto found = figures.find(mode);
    if (found == figures.end()) {
      std::printf("  %-34s (no figure: are python3-aiohttp and python3-httpx installed?)\n",
                  label.c_str());
      continue;
    }
    std::printf("  %-34s %10.0f req/s\n", label.c_str(), found->second);
    tavrin::bench::print_ratio("  ratio tavrin / this", ours / found->second, goal);
  }
}

// Both comparisons against the stub at `url`; false when a tavrin request failed.
bool run_all(const std::string& url, int pooled_requests, int pooled_in_flight, int fresh_requests,
             int fresh_in_flight) {
  std::printf("chat: one local nginx stub (one process) answering a fixed chat reply\n");

  std::printf(" fresh connection per request: %d requests, %d in flight\n", fresh_requests,
              fresh_in_flight);
  const Outcome palisk = run_palisk(url, fresh_requests, fresh_in_flight);
  const auto fresh = run_python(url, fresh_requests, fresh_in_flight, "per_call");
  print_row("tavrin palisk::chat", palisk);
  print_baselines(fresh, palisk.per_second, {{"per_call", "aiohttp, session per call"}}, ">= 3x");

  std::printf(" kept-alive connections: %d requests, %d in flight\n", pooled_requests,
              pooled_in_flight);
  const Outcome client = run_client(url, pooled_requests, pooled_in_flight);
  const auto pooled = run_python(url, pooled_requests, pooled_in_flight, "pooled httpx");
  print_row("tavrin quellin::Client (pool of 64)", client);
  print_baselines(pooled, client.per_second,
                  {{"pooled", "aiohttp, pooled session"}, {"httpx", "httpx AsyncClient"}}, ">= 5x");
  return palisk.failures == 0 && client.failures == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int pooled_requests = argc > 1 ? std::atoi(argv[1]) : 20000;
  const int pooled_in_flight = argc > 2 ? std::atoi(argv[2]) : 200;
  const int fresh_requests = argc > 3 ? std::atoi(argv[3]) : 5000;
  const int fresh_in_flight = argc > 4 ? std::atoi(argv[4]) : 100;
  if (::access(kNginx, X_OK) != 0) {
    std::printf("chat: no figures: %s not found (scripts/install-deps installs nginx)\n", kNginx);
    return 1;
  }
  const std::filesystem::path folder = tavrin::bench::work_folder("chat");
  bool ok = false;
  {
    const tavrin::bench::Nginx nginx(
        folder, "", "    location / { return 200 " + tavrin::bench::nginx_quoted(kBody) + "; }");
    if (!nginx.running()) {
      std::printf("chat: no figures: nginx did not start (see %s/error.log)\n", folder.c_str());
      return 1;
    }
    ok = run_all(nginx.url("/v1/chat/completions"), pooled_requests, pooled_in_flight,
                 fresh_requests, fresh_in_flight);
  }
  std::filesystem::remove_all(folder);
  return ok ? 0 : 1;
}
