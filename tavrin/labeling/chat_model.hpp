// The model of a labelling job behind an OpenAI-compatible chat-completion endpoint, asked
// through a pooled, retrying quellin::Client.
//
//   quellin::Client client(io.get_executor());
//   Model model = chat_model(client, {.url = url, .key = key, .model = "qwen-max"});
//   ModelReply reply = co_await model("只输出 JSON：…");   // reply.answer, usage, attempts
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "quellin/client.hpp"
#include "tavrin/labeling/job.hpp"

namespace tavrin::labeling {

/// Where and how to ask.
struct ChatEndpoint {
  std::string url;  // the chat-completions address, used as given
  std::string key;  // sent as a bearer token; never in a message
  std::string model;
  double temperature = 0;
  bool json_mode = false;  // ask for "response_format": {"type": "json_object"}
};

/// `text` (an answer the endpoint gave) with the key, and the "Authorization" value that
/// carries it, replaced by "***": an endpoint may echo the request, and what is printed or
/// written must never hold the key.
std::string without_key(std::string_view text, std::string_view key);

/// A Model that sends each prompt as palisk::chat does (its headers and body, plus
/// response_format in JSON mode) through `client`, and yields the reply's answer text and
/// "usage" (the answer without_key). A failure after the client's retries, or a reply without a
/// text answer, is a ModelError with the message of the failure and the attempts made. `client`
/// must outlive the model.
Model chat_model(quellin::Client& client, ChatEndpoint endpoint);

/// The job was stopped by a signal (SIGINT, SIGTERM) that run_job_blocking was told to stop
/// on: it ended as a cancelled job does, and the results file resumes cleanly.
class Interrupted : public std::runtime_error {
 public:
  explicit Interrupted(int signal_number);
  int signal_number() const noexcept { return signal_number_; }

 private:
  int signal_number_;
};

/// run_job against `endpoint` for a caller without an event loop: the job runs on an
/// io_context of its own, its chat_model on one pooled quellin::Client with `client` options
/// (and at least `settings.in_flight` connections per host, so that no prompt waits for a
/// connection), both closed when the job ends. `progress` is called on the calling thread.
/// Each of `stop_signals` (for a tool: SIGINT and SIGTERM), while the job runs, cancels it
/// and comes out as Interrupted. Errors are run_job's.
JobTally run_job_blocking(frame::DataFrame records, Prompter prompter, StoreMap field_stores,
                          ChatEndpoint endpoint, quellin::ClientOptions client,
                          JobSettings settings, JobProgress progress = {},
                          const std::vector<int>& stop_signals = {});

/// The same over the records of a CSV file, read a chunk at a time.
JobTally run_job_blocking(frame::CsvStream records, Prompter prompter, StoreMap field_stores,
                          ChatEndpoint endpoint, quellin::ClientOptions client,
                          JobSettings settings, JobProgress progress = {},
                          const std::vector<int>& stop_signals = {});

}  // namespace tavrin::labeling
