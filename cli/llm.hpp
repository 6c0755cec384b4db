// Talking to the LLM on behalf of the tool: one pooled, retrying client per command, one chat
// completion for ask and analyze, and the labelling job for label and demo.
//
//   Value reply = chat_once(endpoint, options, "只输出JSON: {\"产品\": 手机还是耳机?}");
//   palisk::answer_text(reply)   // -> "{\"产品\": \"手机\"}"
#pragma once

#include <string>
#include <utility>

#include "cli/commands.hpp"
#include "cli/common.hpp"
#include "tavrin/core/value.hpp"
#include "tavrin/labeling/chat_model.hpp"
#include "tavrin/labeling/job.hpp"
#include "tavrin/labeling/label_run.hpp"

namespace tavrin::cli {

/// Sends `prompt` as palisk::chat builds it (with options.temperature) and yields the decoded
/// reply. A failure after the retries is rethrown as one line: the endpoint, then the error
/// (an HTTP status with the first bytes of the body; never the key).
Value chat_once(const Endpoint& endpoint, const LlmOptions& options, std::string prompt);

/// The answer text of a chat-completion reply (palisk::answer_string).
std::string answer_of(const Value& reply);

/// The labelling job started and ended before its end: a write of the results file failed, a
/// run of failures stopped it, or SIGINT or SIGTERM did (exit status 130 or 143, else 1).
/// outcome() is what the results file held at the last record written.
class JobEnded : public ExitError {
 public:
  JobEnded(const std::string& what, int status, labeling::LabelOutcome outcome)
      : ExitError(what, status), outcome_(std::move(outcome)) {}
  const labeling::LabelOutcome& outcome() const noexcept { return outcome_; }

 private:
  labeling::LabelOutcome outcome_;
};

/// The chat endpoint of the options: the address and key of `endpoint`, the model and
/// temperature of `options`, and what each request asks of its answer.
labeling::ChatEndpoint chat_endpoint(const Endpoint& endpoint, const LlmOptions& options,
                                     labeling::ResponseFormat format,
                                     labeling::Logprobs logprobs = labeling::Logprobs::off);

/// The response format of `--response-format NAME` (plain, json-object, json-schema or auto)
/// and `--json-mode` (json-object): UsageError naming the option and the bad value, or saying
/// that the two disagree.
labeling::ResponseFormat response_format_option(const std::string& name, bool json_mode);

/// labeling::label_table of the CSV file `records_csv`, with a progress line on standard error
/// that is redrawn on a terminal, and written every ten seconds and at the end elsewhere.
/// SIGINT and SIGTERM stop it cleanly. A ValueError (a fault found before the first request)
/// is a UsageError; labeling::LabelRunEnded is JobEnded.
labeling::LabelOutcome run_labelling(const std::string& records_csv, const labeling::LabelRun& run);

/// The same over the rows of `records`.
labeling::LabelOutcome run_labelling(frame::DataFrame records, const labeling::LabelRun& run);

}  // namespace tavrin::cli
