#include "tavrin/labeling/batch.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <fstream>
#include <list>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <system_error>
#include <utility>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/excerpt.hpp"
#include "tavrin/core/json_lines.hpp"
#include "tavrin/labeling/notifier.hpp"
#include "tavrin/labeling/results.hpp"
#include "tavrin/palisk.hpp"

namespace tavrin::labeling {
namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using tavrin::internal::in_quotes;

constexpr std::string_view kChatSuffix = "/chat/completions";
// The record's own file in the batch folder, and the metadata keys that tag a batch.
constexpr const char* kRecordFile = "record.jsonl";
constexpr const char* kRunTag = "tavrin_run";
constexpr const char* kFileTag = "tavrin_file";
// Pages of the endpoint's batches looked through for one a killed run created (100 a page).
constexpr std::size_t kListPages = 50;
// What a failed request's error quotes of the endpoint's message.
constexpr std::size_t kErrorExcerptBytes = 300;
// Polls of a batch that may fail in a row (after the client's retries) before its records do.
constexpr unsigned kPollFailures = 10;

bool terminal(std::string_view status) {
  return status == "completed" || status == "failed" || status == "expired" ||
         status == "cancelled";
}

std::string random_tag() {
  std::random_device device;
  std::uniform_int_distribution<unsigned> digit(0, 15);
  std::string tag;
  for (int i = 0; i < 16; ++i) tag += "0123456789abcdef"[digit(device)];
  return tag;
}

std::string text_member(const Value& object, const char* name) {
  if (!object.is_object()) return {};
  const Value& member = object.value(name, Value());
  return member.is_string() ? member.get<std::string>() : std::string();
}

std::size_t count_member(const Value& object, const char* name) {
  if (!object.is_object()) return 0;
  const Value& member = object.value(name, Value());
  return member.is_number_unsigned() ? member.get<std::size_t>() : 0;
}

BatchAnswer answer_of(const Value& response, const ChatEndpoint& endpoint) {
  const Value body = response.is_object() ? response.value("body", Value()) : Value();
  const std::size_t status = count_member(response, "status_code");
  if (status == 200) {
    try {
      return BatchAnswer{read_chat_reply(body, endpoint, 1), {}};
    } catch (const ModelError& e) {
      return BatchAnswer{std::nullopt, e.what()};
    }
  }
  const Value error = body.is_object() ? body.value("error", Value()) : Value();
  std::string message = text_member(error, "message");
  if (message.empty() && !body.is_null()) message = body.dump();
  return BatchAnswer{std::nullopt,
                     without_key("HTTP status " + std::to_string(status) + " (batch): " +
                                     std::string(internal::excerpt(message, kErrorExcerptBytes)),
                                 endpoint.key)};
}

}  // namespace

void read_batch_answers(const std::filesystem::path& path, const ChatEndpoint& endpoint,
                        std::map<std::string, BatchAnswer>& answers) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ValueError("cannot read " + in_quotes(path.string()));
  JsonLines lines(in, "batch answers " + in_quotes(path.string()));
  while (const std::optional<JsonLine> line = lines.next()) {
    const Value object = lines.object(*line);
    const std::string id = text_member(object, "custom_id");
    if (id.empty()) throw ValueError(lines.where(*line) + " has no \"custom_id\"");
    const Value& error = object.value("error", Value());
    if (error.is_object()) {
      const std::string code = text_member(error, "code");
      if (code == "batch_expired" || code == "batch_cancelled") continue;  // never run
      answers[id] = BatchAnswer{
          std::nullopt, "batch request failed: " + code + ": " + text_member(error, "message")};
      continue;
    }
    answers[id] = answer_of(object.value("response", Value()), endpoint);
  }
  if (lines.failed()) throw ValueError("cannot read " + in_quotes(path.string()));
}

namespace {

// The record of the batches of a results file: what each request file holds and which batch
// runs it, appended a line at a time and synced before the step it announces is taken, so that
// a run killed anywhere finds every batch it may have created.
//   {"run": "<tag>"}                                   the tag in each batch's metadata
//   {"intent": "requests-1.jsonl", "custom_ids": [...]}  before the file is uploaded
//   {"created": "requests-1.jsonl", "batch_id": "..."}   once the endpoint created its batch
class BatchRecord {
 public:
  struct Entry {
    std::string file;
    std::vector<std::string> custom_ids;
    std::string batch_id;  // empty until its creation is recorded
  };

  explicit BatchRecord(const fs::path& folder) : path_(folder / kRecordFile) {
    std::ifstream in(path_, std::ios::binary);
    if (in) read(in);
    if (tag_.empty()) tag_ = random_tag();
  }

  const std::string& tag() const noexcept { return tag_; }
  const std::vector<Entry>& entries() const noexcept { return entries_; }

  std::size_t intent(const std::string& file, const std::vector<std::string>& custom_ids) {
    if (entries_.empty() && !tag_written_) {
      append(Value{{"run", tag_}});
      tag_written_ = true;
    }
    Value line = Value::object();
    line["intent"] = file;
    line["custom_ids"] = custom_ids;
    append(line);
    entries_.push_back({file, custom_ids, {}});
    return entries_.size() - 1;
  }

  void created(std::size_t index, const std::string& batch_id) {
    Value line = Value::object();
    line["created"] = entries_[index].file;
    line["batch_id"] = batch_id;
    append(line);
    entries_[index].batch_id = batch_id;
  }

 private:
  void read(std::istream& in) {
    JsonLines lines(in, "batch record " + in_quotes(path_.string()));
    while (const std::optional<JsonLine> line = lines.next()) {
      Value object;
      try {
        object = lines.object(*line);
      } catch (const ValueError&) {
        if (!line->terminated) break;  // a write a crash cut short: its step was not taken
        throw;
      }
      if (const std::string tag = text_member(object, "run"); !tag.empty()) {
        tag_ = tag;
        tag_written_ = true;
      } else if (const std::string file = text_member(object, "intent"); !file.empty()) {
        Entry entry{file, {}, {}};
        for (const Value& id : object.value("custom_ids", Value::array())) {
          if (id.is_string()) entry.custom_ids.push_back(id.get<std::string>());
        }
        entries_.push_back(std::move(entry));
      } else if (const std::string created = text_member(object, "created"); !created.empty()) {
        for (Entry& entry : entries_) {
          if (entry.file == created) entry.batch_id = text_member(object, "batch_id");
        }
      } else {
        throw ValueError(lines.where(*line) + " is no step of a batch");
      }
    }
    if (lines.failed()) throw ValueError("cannot read " + in_quotes(path_.string()));
  }

  // One write and a sync: the step it announces is taken only once it is on disk.
  void append(const Value& line) {
    const std::string text = line.dump() + "\n";
    const int descriptor =
        ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);  // NOLINT
    if (descriptor < 0) fail(errno);
    const ssize_t written = ::write(descriptor, text.data(), text.size());
    const int write_error = errno;
    if (written != static_cast<ssize_t>(text.size())) {
      ::close(descriptor);
      fail(written < 0 ? write_error : EIO);
    }
    if (::fdatasync(descriptor) != 0) {
      const int sync_error = errno;
      ::close(descriptor);
      fail(sync_error);
    }
    ::close(descriptor);
  }

  [[noreturn]] void fail(int error) const {
    throw fs::filesystem_error("cannot write the batch record", path_,
                               std::error_code(error, std::generic_category()));
  }

  fs::path path_;
  std::string tag_;
  bool tag_written_ = false;
  std::vector<Entry> entries_;
};

// One request file and the batch that runs it.
struct Submission {
  explicit Submission(const asio::any_io_executor& executor) : ended_notice(executor) {}

  std::string file;
  std::vector<std::string> custom_ids;
  std::optional<std::size_t> entry;  // in the record; nullopt while the file is being written
  std::ofstream out;
  std::uint64_t bytes = 0;
  std::size_t version = 0;  // requests added, for the gather wait
  std::string batch_id;
  bool watching = false;
  bool ended = false;
  Notifier ended_notice;
};

// Every batch of one run, on the job's executor.
class Batches : public std::enable_shared_from_this<Batches> {
 public:
  Batches(quellin::Client& client, ChatEndpoint endpoint, BatchSettings settings, Model online,
          const std::string& out_path, asio::any_io_executor executor)
      : client_(client),
        endpoint_(std::move(endpoint)),
        address_(batch_address(endpoint_.url)),
        settings_(std::move(settings)),
        online_(std::move(online)),
        folder_(batch_folder(out_path)),
        executor_(executor),
        recovered_notice_(executor),
        tasks_done_(executor) {}

  static asio::awaitable<ModelReply> ask(std::shared_ptr<Batches> self, ModelRequest request) {
    co_await self->recover();
    if (request.custom_id.empty()) co_return co_await self->online_(std::move(request));
    const std::string id = request.custom_id;
    for (;;) {
      if (auto found = self->outcomes_.find(id); found != self->outcomes_.end()) {
        BatchAnswer outcome = std::move(found->second);
        self->outcomes_.erase(found);
        if (!outcome.reply) throw ModelError(outcome.error, 1);
        self->tally_.prompt_tokens += token_count(outcome.reply->usage, "prompt_tokens");
        self->tally_.completion_tokens += token_count(outcome.reply->usage, "completion_tokens");
        co_return std::move(*outcome.reply);
      }
      if (self->go_online_.erase(id) > 0) {
        ++self->tally_.online;
        co_return co_await self->online_(std::move(request));
      }
      std::shared_ptr<Submission> submission;
      if (auto routed = self->route_.find(id); routed != self->route_.end()) {
        submission = routed->second;
      } else {
        submission = self->add(request);
      }
      if (submission->entry && !submission->watching) self->watch_found(submission);
      while (!submission->ended) {
        co_await submission->ended_notice.wait();
        if ((co_await asio::this_coro::cancellation_state).cancelled() !=
            asio::cancellation_type::none) {
          throw boost::system::system_error(asio::error::operation_aborted);
        }
      }
      // The batch ended: it left an outcome, sent the record online, or gave it up for a
      // new batch. Anything else would loop.
      if (!self->outcomes_.contains(id) && !self->go_online_.contains(id) &&
          self->route_.contains(id) && self->route_.at(id) == submission) {
        throw ModelError("batch " + submission->batch_id + " ended without an answer", 1);
      }
    }
  }

  // Cancels what the batches still do and waits until it has ended.
  asio::awaitable<void> close() {
    for (asio::cancellation_signal& signal : signals_) signal.emit(asio::cancellation_type::all);
    while (tasks_ > 0) co_await tasks_done_.wait();
  }

  const JobTally::Batch& tally() const noexcept { return tally_; }

 private:
  // Once per run, before the first request: the batches of earlier runs, each record routed to
  // the last one that holds it. A batch recorded as intended but never as created is looked
  // for among the endpoint's batches by its tag; one not there was never created.
  asio::awaitable<void> recover() {
    while (recovering_) co_await recovered_notice_.wait();
    if (recovered_) co_return;
    recovering_ = true;
    try {
      // Read only now that the job holds its results file: no other run writes the record.
      if (!record_) record_.emplace(folder_);
      bool unresolved = false;
      for (const BatchRecord::Entry& entry : record_->entries()) {
        unresolved = unresolved || entry.batch_id.empty();
      }
      if (unresolved) co_await find_created();
      for (std::size_t index = 0; index < record_->entries().size(); ++index) {
        const BatchRecord::Entry& entry = record_->entries()[index];
        if (entry.batch_id.empty()) continue;
        auto submission = std::make_shared<Submission>(executor_);
        submission->file = entry.file;
        submission->custom_ids = entry.custom_ids;
        submission->entry = index;
        submission->batch_id = entry.batch_id;
        for (const std::string& id : entry.custom_ids) route_[id] = submission;
      }
      recovered_ = true;
    } catch (...) {
      recovering_ = false;
      recovered_notice_.notify();
      throw;
    }
    recovering_ = false;
    recovered_notice_.notify();
  }

  asio::awaitable<void> find_created() {
    std::map<std::string, std::string> by_file;
    std::string after;
    for (std::size_t page = 0; page < kListPages; ++page) {
      std::string url = address_.base + "/batches?limit=100";
      if (!after.empty()) url += "&after=" + after;
      const Value list = co_await client_.get(url, palisk::chat_headers(endpoint_.key));
      const Value data = list.is_object() ? list.value("data", Value::array()) : Value::array();
      for (const Value& batch : data) {
        const Value metadata = batch.is_object() ? batch.value("metadata", Value()) : Value();
        if (text_member(metadata, kRunTag) == record_->tag()) {
          by_file.emplace(text_member(metadata, kFileTag), text_member(batch, "id"));
        }
      }
      after = text_member(list, "last_id");
      if (!list.is_object() || !list.value("has_more", false) || after.empty()) break;
    }
    for (std::size_t index = 0; index < record_->entries().size(); ++index) {
      const BatchRecord::Entry& entry = record_->entries()[index];
      const auto found = by_file.find(entry.file);
      if (entry.batch_id.empty() && found != by_file.end() && !found->second.empty()) {
        record_->created(index, found->second);
      }
    }
  }

  // The file being written gets the request; a full file is submitted first.
  std::shared_ptr<Submission> add(const ModelRequest& request) {
    Value line = Value::object();
    line["custom_id"] = request.custom_id;
    line["method"] = "POST";
    line["url"] = address_.chat_path;
    line["body"] = chat_request_body(endpoint_, request);
    const std::string text = line.dump() + "\n";
    if (forming_ && forming_->bytes + text.size() > settings_.max_bytes) submit(forming_);
    if (!forming_) start_file();
    std::shared_ptr<Submission> submission = forming_;
    submission->out.write(text.data(), static_cast<std::streamsize>(text.size()));
    submission->bytes += text.size();
    submission->custom_ids.push_back(request.custom_id);
    ++submission->version;
    route_[request.custom_id] = submission;
    if (left_.erase(request.custom_id) > 0) ++tally_.again;
    ++tally_.submitted;
    if (submission->custom_ids.size() >= settings_.max_requests) submit(submission);
    return submission;
  }

  void start_file() {
    fs::create_directories(folder_);
    forming_ = std::make_shared<Submission>(executor_);
    forming_->file = "requests-" + std::to_string(record_->entries().size() + 1) + ".jsonl";
    forming_->out.open(folder_ / forming_->file, std::ios::binary | std::ios::trunc);
    if (!forming_->out) {
      throw fs::filesystem_error("cannot write a batch's requests", folder_ / forming_->file,
                                 std::make_error_code(std::errc::io_error));
    }
    spawn(gather(shared_from_this(), forming_));
  }

  // Submits a file that got no request for settings_.gather.
  static asio::awaitable<void> gather(std::shared_ptr<Batches> self,
                                      std::shared_ptr<Submission> submission) {
    asio::steady_timer timer(self->executor_);
    // The task may start at once, before the file has its first request.
    std::size_t seen = 0;
    for (;;) {
      timer.expires_after(self->settings_.gather);
      co_await timer.async_wait(asio::use_awaitable);
      if (self->forming_ != submission) break;  // submitted when full
      if (submission->version == seen) {
        self->submit(submission);
        break;
      }
      seen = submission->version;
    }
  }

  // The file is closed and its intent recorded; then it is uploaded and run as a batch.
  void submit(std::shared_ptr<Submission> submission) {  // a copy: it may be forming_
    if (forming_ == submission) forming_.reset();
    submission->out.close();
    try {
      if (!submission->out) {
        throw fs::filesystem_error("cannot write a batch's requests", folder_ / submission->file,
                                   std::make_error_code(std::errc::io_error));
      }
      submission->entry = record_->intent(submission->file, submission->custom_ids);
    } catch (const std::exception& e) {
      fail_all(*submission, std::string("the requests of ") + submission->file +
                                " could not be recorded: " + e.what());
      return;
    }
    submission->watching = true;
    spawn(create_and_watch(shared_from_this(), submission));
  }

  void watch_found(const std::shared_ptr<Submission>& submission) {
    submission->watching = true;
    ++tally_.found;
    spawn(watch(shared_from_this(), submission));
  }

  static asio::awaitable<void> create_and_watch(std::shared_ptr<Batches> self,
                                                std::shared_ptr<Submission> submission) {
    try {
      co_await self->create(*submission);
    } catch (const boost::system::system_error& e) {
      if (e.code() == asio::error::operation_aborted) throw;
      self->fail_all(*submission,
                     "the batch of " + submission->file + " could not be submitted: " + e.what());
      co_return;
    } catch (const std::exception& e) {
      self->fail_all(*submission,
                     "the batch of " + submission->file + " could not be submitted: " + e.what());
      co_return;
    }
    co_await watch(self, submission);
  }

  asio::awaitable<void> create(Submission& submission) {
    const Value headers = palisk::chat_headers(endpoint_.key);
    quellin::MultipartForm form{.fields = {{"purpose", "batch"}},
                                .file_name = submission.file,
                                .content_type = "application/jsonl",
                                .path = folder_ / submission.file};
    const Value file = co_await client_.upload(address_.base + "/files", headers, std::move(form));
    const std::string file_id = text_member(file, "id");
    if (file_id.empty()) throw ValueError("the file upload's reply has no \"id\"");
    Value body = Value::object();
    body["input_file_id"] = file_id;
    body["endpoint"] = address_.chat_path;
    body["completion_window"] = "24h";
    body["metadata"] = Value{{kRunTag, record_->tag()}, {kFileTag, submission.file}};
    const Value batch = co_await client_.post(address_.base + "/batches", headers, body);
    const std::string batch_id = text_member(batch, "id");
    if (batch_id.empty()) throw ValueError("the batch's reply has no \"id\"");
    record_->created(*submission.entry, batch_id);
    submission.batch_id = batch_id;
    ++tally_.created;
    std::error_code ignored;
    fs::remove(folder_ / submission.file, ignored);  // the endpoint has it now
  }

  // Polls the batch until it ends, then hands out its answers.
  static asio::awaitable<void> watch(std::shared_ptr<Batches> self,
                                     std::shared_ptr<Submission> submission) {
    asio::steady_timer timer(self->executor_);
    const std::string url = self->address_.base + "/batches/" + submission->batch_id;
    const Value headers = palisk::chat_headers(self->endpoint_.key);
    BatchStatus last{submission->file, submission->batch_id, {}};
    unsigned failures = 0;
    Value batch;
    for (;;) {
      std::string error;
      try {
        batch = co_await self->client_.get(url, headers);
        failures = 0;
      } catch (const boost::system::system_error& e) {
        if (e.code() == asio::error::operation_aborted) throw;
        error = e.what();
      } catch (const std::exception& e) {
        error = e.what();
      }
      if (!error.empty() && ++failures >= kPollFailures) {
        self->fail_all(*submission, "lost track of batch " + submission->batch_id + " (" + error +
                                        "); a run again waits for it");
        co_return;
      }
      if (error.empty()) {
        const std::string status = text_member(batch, "status");
        const Value counts = batch.value("request_counts", Value());
        const BatchStatus now{submission->file,
                              submission->batch_id,
                              status,
                              count_member(counts, "total"),
                              count_member(counts, "completed"),
                              count_member(counts, "failed")};
        if (self->settings_.on_status &&
            (now.status != last.status || now.completed != last.completed ||
             now.failed != last.failed)) {
          self->settings_.on_status(now);
        }
        last = now;
        if (terminal(status)) break;
      }
      timer.expires_after(self->settings_.poll_interval);
      co_await timer.async_wait(asio::use_awaitable);
    }
    co_await self->hand_out(*submission, batch);
  }

  // Reads the batch's output and error files into the outcomes of its records.
  asio::awaitable<void> hand_out(Submission& submission, const Value& batch) {
    std::map<std::string, BatchAnswer> found;
    std::string failure;
    try {
      for (const char* kind : {"output_file_id", "error_file_id"}) {
        const std::string file_id = text_member(batch, kind);
        if (file_id.empty()) continue;
        const fs::path to = folder_ / (submission.batch_id + "-" + kind + ".jsonl");
        co_await client_.download(address_.base + "/files/" + file_id + "/content",
                                  palisk::chat_headers(endpoint_.key), to);
        read_batch_answers(to, endpoint_, found);
        std::error_code ignored;
        fs::remove(to, ignored);
      }
    } catch (const boost::system::system_error& e) {
      if (e.code() == asio::error::operation_aborted) throw;
      failure = e.what();
    } catch (const std::exception& e) {
      failure = e.what();
    }
    if (!failure.empty()) {
      fail_all(submission, "the answers of batch " + submission.batch_id +
                               " could not be read: " + failure + "; a run again reads them");
      co_return;
    }
    const std::string status = text_member(batch, "status");
    const std::string refused = status == "failed" ? batch_errors(batch) : std::string();
    for (const std::string& id : submission.custom_ids) {
      const auto routed = route_.find(id);
      if (routed == route_.end() || routed->second.get() != &submission) continue;
      route_.erase(routed);
      auto answer = found.find(id);
      if (answer != found.end()) {
        outcomes_[id] = std::move(answer->second);
      } else if (status == "failed") {
        outcomes_[id] =
            BatchAnswer{std::nullopt, "batch " + submission.batch_id + " failed: " + refused};
      } else if (settings_.fallback == BatchFallback::online) {
        go_online_.insert(id);
      } else {
        left_.insert(id);  // not routed any more: it goes into a new file when asked
      }
    }
    submission.ended = true;
    submission.ended_notice.notify();
  }

  static std::string batch_errors(const Value& batch) {
    const Value errors = batch.value("errors", Value());
    const Value data = errors.is_object() ? errors.value("data", Value()) : Value();
    std::string text;
    if (data.is_array()) {
      for (const Value& error : data) {
        const std::string message = text_member(error, "message");
        if (message.empty()) continue;
        if (!text.empty()) text += "; ";
        text += message;
      }
    }
    return text.empty() ? std::string("the endpoint gave no reason") : text;
  }

  void fail_all(Submission& submission, const std::string& error) {
    for (const std::string& id : submission.custom_ids) {
      const auto routed = route_.find(id);
      if (routed == route_.end() || routed->second.get() != &submission) continue;
      route_.erase(routed);
      outcomes_[id] = BatchAnswer{std::nullopt, error};
    }
    submission.ended = true;
    submission.ended_notice.notify();
  }

  void spawn(asio::awaitable<void> task) {
    ++tasks_;
    auto signal = signals_.emplace(signals_.end());
    asio::co_spawn(executor_, std::move(task),
                   asio::bind_cancellation_slot(
                       signal->slot(), [self = shared_from_this(), signal](std::exception_ptr) {
                         self->signals_.erase(signal);
                         --self->tasks_;
                         self->tasks_done_.notify();
                       }));
  }

  quellin::Client& client_;
  const ChatEndpoint endpoint_;
  const BatchAddress address_;
  const BatchSettings settings_;
  const Model online_;
  const fs::path folder_;
  asio::any_io_executor executor_;
  std::optional<BatchRecord> record_;
  bool recovered_ = false;
  bool recovering_ = false;
  Notifier recovered_notice_;
  std::map<std::string, std::shared_ptr<Submission>> route_;  // a record's batch, or file
  std::map<std::string, BatchAnswer> outcomes_;               // answers not yet taken
  std::set<std::string> go_online_;  // left by their batch, to be asked online
  std::set<std::string> left_;       // left by their batch, for a new file
  std::shared_ptr<Submission> forming_;
  std::list<asio::cancellation_signal> signals_;
  std::size_t tasks_ = 0;
  Notifier tasks_done_;
  JobTally::Batch tally_;
};

template <class Records>
asio::awaitable<JobTally> job_with_batches(Records records, Prompter prompter,
                                           StoreMap field_stores, ChatEndpoint endpoint,
                                           quellin::ClientOptions options, JobSettings settings,
                                           BatchSettings batch, JobProgress progress) {
  // A cancelled job still closes its batches' tasks below.
  co_await asio::this_coro::throw_if_cancelled(false);
  require_job_settings(settings);
  require_batch_settings(batch, endpoint);
  // The online requests (questions about values, the fallback) keep the connections the job
  // was given; every record's request may wait for its batch at once, up to a file.
  options.max_connections_per_host =
      connection_limit(std::max(options.max_connections_per_host, settings.in_flight));
  settings.in_flight = std::max(settings.in_flight, batch.max_requests);
  settings.model = model_settings(endpoint);
  const auto executor = co_await asio::this_coro::executor;
  auto pacer = std::make_shared<quellin::Pacer>(executor, endpoint.rate_limits);
  options.pacer = pacer;
  quellin::Client client(executor, std::move(options));
  auto batches =
      std::make_shared<Batches>(client, endpoint, std::move(batch), chat_model(client, endpoint),
                                settings.out_path, executor);
  Model model = [batches](ModelRequest request) {
    return Batches::ask(batches, std::move(request));
  };
  JobTally tally;
  std::exception_ptr failure;
  try {
    tally = co_await run_job(std::move(records), std::move(prompter), std::move(field_stores),
                             std::move(model), std::move(settings), std::move(progress));
  } catch (...) {
    failure = std::current_exception();
  }
  co_await batches->close();
  if (failure) std::rethrow_exception(failure);
  tally.batch = batches->tally();
  tally.rate_limited = pacer->rate_limited();
  tally.paced = pacer->waited();
  co_return tally;
}

}  // namespace

std::string_view batch_fallback_name(BatchFallback fallback) {
  return fallback == BatchFallback::online ? "online" : "resubmit";
}

BatchFallback parse_batch_fallback(std::string_view text) {
  for (const BatchFallback fallback : {BatchFallback::resubmit, BatchFallback::online}) {
    if (text == batch_fallback_name(fallback)) return fallback;
  }
  throw ValueError("batch fallback " + in_quotes(text) + " is none of resubmit, online");
}

BatchAddress batch_address(std::string_view chat_url) {
  if (!chat_url.ends_with(kChatSuffix)) {
    throw ValueError("the Batch API needs a chat address ending with \"/chat/completions\", not " +
                     in_quotes(chat_url));
  }
  const std::string_view base = chat_url.substr(0, chat_url.size() - kChatSuffix.size());
  const std::size_t scheme = base.find("://");
  const std::size_t path_start =
      scheme == std::string_view::npos ? std::string_view::npos : base.find('/', scheme + 3);
  const std::string_view base_path =
      path_start == std::string_view::npos ? std::string_view() : base.substr(path_start);
  return {std::string(base), std::string(base_path) + std::string(kChatSuffix)};
}

void require_batch_settings(const BatchSettings& batch, const ChatEndpoint& endpoint) {
  if (batch.max_requests == 0 || batch.max_requests > kMaxBatchRequests) {
    throw ValueError("a batch takes 1 to " + std::to_string(kMaxBatchRequests) + " requests, not " +
                     std::to_string(batch.max_requests));
  }
  if (batch.max_bytes == 0) throw ValueError("a batch's file must take at least 1 byte");
  if (batch.poll_interval.count() <= 0 || batch.gather.count() <= 0) {
    throw ValueError("a batch's poll and gather intervals must be positive");
  }
  batch_address(endpoint.url);
}

std::string batch_folder(const std::string& out_path) { return out_path + ".batches"; }

JobTally run_batch_job_blocking(frame::DataFrame records, Prompter prompter, StoreMap field_stores,
                                ChatEndpoint endpoint, quellin::ClientOptions client,
                                JobSettings settings, BatchSettings batch, JobProgress progress,
                                const std::vector<int>& stop_signals, std::stop_token stop) {
  return run_until_stopped(
      job_with_batches(std::move(records), std::move(prompter), std::move(field_stores),
                       std::move(endpoint), std::move(client), std::move(settings),
                       std::move(batch), std::move(progress)),
      stop_signals, stop);
}

JobTally run_batch_job_blocking(frame::CsvStream records, Prompter prompter, StoreMap field_stores,
                                ChatEndpoint endpoint, quellin::ClientOptions client,
                                JobSettings settings, BatchSettings batch, JobProgress progress,
                                const std::vector<int>& stop_signals, std::stop_token stop) {
  return run_until_stopped(
      job_with_batches(std::move(records), std::move(prompter), std::move(field_stores),
                       std::move(endpoint), std::move(client), std::move(settings),
                       std::move(batch), std::move(progress)),
      stop_signals, stop);
}

}  // namespace tavrin::labeling
