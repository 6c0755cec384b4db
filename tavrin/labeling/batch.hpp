// The labelling job's requests through an OpenAI-compatible Batch API, at its lower price: the
// requests go into JSON Lines files (one line a record, `custom_id` its id, `body` the very
// request the online job sends), each file is uploaded to <base>/files and run as a batch of
// <base>/batches, and each answer comes back through the same parsing, checks and results file
// as an online one.
//
//   BatchSettings batch{.poll_interval = std::chrono::seconds(30)};
//   JobTally tally = run_batch_job_blocking(records, prompter, stores, endpoint, client,
//                                           settings, batch);
//   // results.jsonl as online; results.jsonl.batches/ holds the record of the batches
//
// Exactly once across crashes: before a batch is created, its file and records are recorded
// in <out>.batches/record.jsonl, and each batch carries the run and the file in its metadata;
// a job run again finds its batches (by the record, or by listing the endpoint's batches and
// matching the tag when it was killed between creating one and recording it), waits for them
// and never submits a record twice. The records an expired or cancelled batch did not answer
// are submitted again (or asked online).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "quellin/client.hpp"
#include "tavrin/frame/csv_stream.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/labeling/chat_model.hpp"
#include "tavrin/labeling/job.hpp"

namespace tavrin::labeling {

/// What becomes of the records that a batch ended without answering (it expired or was
/// cancelled): a new batch, or the online endpoint.
enum class BatchFallback { resubmit, online };

/// "resubmit" or "online".
std::string_view batch_fallback_name(BatchFallback fallback);

/// The fallback `text` names; ValueError quoting it otherwise.
BatchFallback parse_batch_fallback(std::string_view text);

/// Where a batch stands, as a poll found it: for a progress line.
struct BatchStatus {
  std::string file;      // the request file's name, e.g. "requests-1.jsonl"
  std::string batch_id;  // the endpoint's id
  std::string status;    // "validating", "in_progress", ..., "completed", "expired"
  std::size_t total = 0;
  std::size_t completed = 0;
  std::size_t failed = 0;
};

struct BatchSettings {
  /// Requests and bytes of one request file at most (the Batch API's limits).
  std::size_t max_requests = 50000;  // at most kMaxBatchRequests
  std::uint64_t max_bytes = 200'000'000;
  /// Time between two polls of a batch.
  std::chrono::milliseconds poll_interval{30000};
  /// A file is submitted once it is full, or once no request came for this long (the job has
  /// no more to give it for now).
  std::chrono::milliseconds gather{1000};
  BatchFallback fallback = BatchFallback::resubmit;
  /// Called after each poll whose status or counts changed, on the job's thread.
  std::function<void(const BatchStatus&)> on_status{};
};

/// The base address of the Batch API of a chat-completions address, and the path each request
/// line names: "https://host/v1/chat/completions" -> {"https://host/v1", "/v1/chat/completions"}.
/// ValueError quoting `chat_url` when it does not end with "/chat/completions".
struct BatchAddress {
  std::string base;
  std::string chat_path;
};
BatchAddress batch_address(std::string_view chat_url);

/// The most requests one file of the Batch API takes.
inline constexpr std::size_t kMaxBatchRequests = 50000;

/// ValueError, before any work, for a batch of no request or more than kMaxBatchRequests, a
/// poll or gather interval that is not positive, and an endpoint without a Batch API address
/// (batch_address).
void require_batch_settings(const BatchSettings& batch, const ChatEndpoint& endpoint);

/// The folder beside a results file that holds its batches' record and files.
std::string batch_folder(const std::string& out_path);

/// What one line of a batch's output or error file says of its request.
struct BatchAnswer {
  std::optional<ModelReply> reply;  // the answer as chat_model yields it; nullopt: it failed
  std::string error;                // why it failed, as a failed record's error
};

/// Adds the lines of a batch's output or error file at `path` to `answers`, by custom_id: a
/// reply of status 200 read as chat_model reads one (read_chat_reply: a reply without a text
/// answer is a failed request), any other status a failed request ("HTTP status 400 (batch):
/// <the error's message>", without the key), and a line's own error too, but for
/// "batch_expired" and "batch_cancelled": a request never run is left out. ValueError naming
/// the file and line for a line that is no JSON object or has no "custom_id".
void read_batch_answers(const std::filesystem::path& path, const ChatEndpoint& endpoint,
                        std::map<std::string, BatchAnswer>& answers);

/// run_job_blocking with every record's request sent through the endpoint's Batch API (see the
/// top of this file); a request of no record (a question about a value, Repair::ask) and the
/// records the fallback sends online go to the online endpoint through the same client. The
/// job keeps up to `batch.max_requests` requests waiting, so that a file can be full. The
/// tally's `batch` says what was submitted and the tokens billed at the batch rate. A batch
/// that fails (the endpoint refused its file) fails its records with the batch's errors; one
/// that cannot be submitted fails them with that error. Errors are run_job_blocking's.
JobTally run_batch_job_blocking(frame::DataFrame records, Prompter prompter, StoreMap field_stores,
                                ChatEndpoint endpoint, quellin::ClientOptions client,
                                JobSettings settings, BatchSettings batch,
                                JobProgress progress = {},
                                const std::vector<int>& stop_signals = {},
                                std::stop_token stop = {});
JobTally run_batch_job_blocking(frame::CsvStream records, Prompter prompter, StoreMap field_stores,
                                ChatEndpoint endpoint, quellin::ClientOptions client,
                                JobSettings settings, BatchSettings batch,
                                JobProgress progress = {},
                                const std::vector<int>& stop_signals = {},
                                std::stop_token stop = {});

}  // namespace tavrin::labeling
