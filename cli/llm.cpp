#include "cli/llm.hpp"

#include <unistd.h>

#include <algorithm>
#include <boost/asio/this_coro.hpp>
#include <chrono>
#include <csignal>
#include <exception>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "quellin/client.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/progress.hpp"
#include "tavrin/labeling/chat_model.hpp"
#include "tavrin/labeling/report.hpp"
#include "tavrin/palisk.hpp"

namespace tavrin::cli {
namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

// The job's progress line on standard error.
class ProgressDisplay {
 public:
  ProgressDisplay()
      : status_(std::cerr, ::isatty(STDERR_FILENO) != 0, std::chrono::seconds(10)),
        start_(Clock::now()) {}

  void update(const labeling::JobTally& tally) {
    last_ = tally;
    status_.update([this] { return line(); }, tally.done == tally.total);
  }

  void finish() { status_.finish(line()); }

 private:
  std::string line() const { return labeling::progress_line(last_, Clock::now() - start_); }

  StatusLine status_;
  Clock::time_point start_;
  labeling::JobTally last_;
};

// One POST through a client of its own, closed with its connections when the call ends, so
// that nothing keeps the caller's context running.
asio::awaitable<Value> post_once(quellin::ClientOptions options, std::string url, Value headers,
                                 Value payload) {
  quellin::Client client(co_await asio::this_coro::executor, std::move(options));
  co_return co_await client.post(std::move(url), std::move(headers), std::move(payload));
}

// `label` (a call of labeling::label_table) with the progress display and SIGINT and SIGTERM
// as its stop signals; its errors as the tool reports them.
template <class Label>
labeling::LabelOutcome run_with_display(Label label) {
  ProgressDisplay display;
  try {
    labeling::LabelOutcome outcome =
        label([&](const labeling::JobTally& tally) { display.update(tally); },
              std::vector<int>{SIGINT, SIGTERM});
    display.finish();
    return outcome;
  } catch (const ValueError& e) {
    throw UsageError(e.what());
  } catch (const labeling::LabelRunEnded& e) {
    display.finish();
    const int status = e.signal_number() != 0 ? 128 + e.signal_number() : 1;
    throw JobEnded(e.what(), status, e.outcome());
  }
}

}  // namespace

Value chat_once(const Endpoint& endpoint, const LlmOptions& options, std::string prompt) {
  Value payload = palisk::chat_payload(options.model, std::move(prompt), options.temperature);
  try {
    Value reply = palisk::run_blocking(post_once(client_options(options.retries, options.timeout),
                                                 endpoint.url, palisk::chat_headers(endpoint.key),
                                                 std::move(payload)));
    // An endpoint may echo the request: what is printed never holds the key.
    bool has_text = false;
    try {
      has_text = palisk::answer_text(reply).is_string();
    } catch (const std::exception&) {  // a reply of another shape: answer_of says what is wrong
    }
    if (has_text) {
      Value& text = reply["choices"][0]["message"]["content"];
      text = labeling::without_key(text.get<std::string>(), endpoint.key);
    }
    return reply;
  } catch (const std::exception& e) {
    throw std::runtime_error(quellin::endpoint_name(endpoint.url) + ": " + e.what());
  }
}

std::string answer_of(const Value& reply) { return palisk::answer_string(reply); }

labeling::ResponseFormat response_format_option(const std::string& name, bool json_mode) {
  labeling::ResponseFormat format = labeling::ResponseFormat::plain;
  try {
    format = labeling::parse_response_format(name);
  } catch (const ValueError& e) {
    throw UsageError(std::string("--response-format: ") + e.what());
  }
  if (!json_mode) return format;
  if (format != labeling::ResponseFormat::plain &&
      format != labeling::ResponseFormat::json_object) {
    throw UsageError("--json-mode asks for json-object and --response-format for " + name +
                     ": give one of them");
  }
  return labeling::ResponseFormat::json_object;
}

labeling::ChatEndpoint chat_endpoint(const Endpoint& endpoint, const LlmOptions& options,
                                     labeling::ResponseFormat format, labeling::Logprobs logprobs) {
  return {.url = endpoint.url,
          .key = endpoint.key,
          .model = options.model,
          .temperature = options.temperature,
          .response_format = format,
          .logprobs = logprobs};
}

labeling::LabelOutcome run_labelling(const std::string& records_csv,
                                     const labeling::LabelRun& run) {
  return run_with_display([&](labeling::JobProgress progress, const std::vector<int>& signals) {
    return labeling::label_table(records_csv, run, std::move(progress), signals);
  });
}

labeling::LabelOutcome run_labelling(frame::DataFrame records, const labeling::LabelRun& run) {
  return run_with_display([&](labeling::JobProgress progress, const std::vector<int>& signals) {
    return labeling::label_table(std::move(records), run, std::move(progress), signals);
  });
}

}  // namespace tavrin::cli
