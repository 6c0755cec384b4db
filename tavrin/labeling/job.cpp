#include "tavrin/labeling/job.hpp"

#include <algorithm>
#include <charconv>
#include <deque>
#include <exception>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <unordered_set>
#include <utility>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "tavrin/brollin.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/utf8.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/labeling/budget.hpp"
#include "tavrin/labeling/calibration.hpp"
#include "tavrin/labeling/checker.hpp"
#include "tavrin/labeling/confidence.hpp"
#include "tavrin/labeling/journal.hpp"
#include "tavrin/labeling/notifier.hpp"
#include "tavrin/labeling/query_embedder.hpp"
#include "tavrin/labeling/repair.hpp"
#include "tavrin/labeling/results.hpp"
#include "tavrin/labeling/run_settings.hpp"
#include "tavrin/olvane.hpp"
#include "tavrin/palisk.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"

namespace tavrin::labeling {
namespace {

namespace asio = boost::asio;

// Kept small: a chunk is read when the last one is used up, and dropped once its rows have
// their prompts.
constexpr std::size_t kChunkRows = 256;
// Prompts built together; a few more than one scan of the training store per record would
// need, few enough to start the first requests at once.
constexpr std::size_t kPromptBatch = 16;
// Answers being checked, per chat slot, before the slots wait for the checks: memory stays
// bounded when the embedding model is slower than the chat model.
constexpr std::size_t kChecksPerSlot = 4;

// The job's view of its records, owned: passes over the rows in table order, a table as it
// is, a stream a chunk at a time.
class Records {
 public:
  explicit Records(frame::DataFrame table) : table_(std::move(table)) {}
  explicit Records(frame::CsvStream stream) : stream_(std::move(stream)) {}

  const std::vector<std::string>& columns() const {
    return stream_ ? stream_->columns() : table_.columns();
  }
  bool has_column(const std::string& column) const {
    return std::find(columns().begin(), columns().end(), column) != columns().end();
  }

  void rewind() {
    chunk_ = frame::DataFrame();
    next_ = 0;
    if (stream_) stream_->rewind();
  }

  // The next row of this pass, or nullopt at its end; valid until the next call.
  std::optional<frame::DataFrame::Row> next() {
    const frame::DataFrame& rows = stream_ ? chunk_ : table_;
    if (next_ == rows.size()) {
      if (!stream_) return std::nullopt;
      chunk_ = stream_->next(kChunkRows);
      next_ = 0;
      if (chunk_.size() == 0) return std::nullopt;
    }
    return rows.iloc(next_++);
  }

 private:
  frame::DataFrame table_;
  std::optional<frame::CsvStream> stream_;
  frame::DataFrame chunk_;
  std::size_t next_ = 0;
};

void require_column(const Records& records, const std::string& column, const char* role) {
  if (!records.has_column(column)) {
    throw ValueError("the records have no " + std::string(role) + " column " + repr(Value(column)));
  }
}

void require_distinct(const std::vector<std::string>& names, const char* what) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (std::find(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(i), names[i]) !=
        names.begin() + static_cast<std::ptrdiff_t>(i)) {
      throw ValueError(std::string(what) + " " + repr(Value(names[i])) + " is listed twice");
    }
  }
}

}  // namespace

bool in_shard(std::size_t position, const Shard& shard) {
  return position % shard.count == shard.index;
}

namespace {

void check_settings(const Prompter& prompter, const StoreMap& field_stores,
                    const JobSettings& settings) {
  require_job_settings(settings);
  require_distinct(prompter.settings().fields, "target field");
  for (const std::string& field : prompter.settings().fields) {
    const auto store = field_stores.find(field);
    if (store == field_stores.end() || !store->second) {
      throw ValueError("there is no store of allowed labels for field " + repr(Value(field)));
    }
  }
}

// One whole pass over the records; the number of records of the shard.
std::size_t check_records(Records& records, const JobSettings& settings) {
  require_column(records, settings.id_column, "id");
  for (const std::string& column : settings.text_fields) require_column(records, column, "text");
  std::unordered_set<std::string> ids;
  std::size_t position = 0, in_this_shard = 0;
  records.rewind();
  while (const auto row = records.next()) {
    const Value& id = (*row)[settings.id_column];
    ++position;
    if (id.is_null()) {
      throw ValueError("record " + std::to_string(position) + " has no id in column " +
                       repr(Value(settings.id_column)));
    }
    if (!ids.insert(id_key(id)).second) {
      throw ValueError("the id " + id.dump() + " of record " + std::to_string(position) +
                       " is repeated; ids must be unique");
    }
    in_this_shard += in_shard(position - 1, settings.shard);
  }
  return in_this_shard;
}

// The record's true values of the target fields that the table holds; null when none.
Value gold_of(const Records& records, const frame::DataFrame::Row& row,
              const std::vector<std::string>& fields) {
  Value gold = Value::object();
  for (const std::string& field : fields) {
    if (records.has_column(field) && !row[field].is_null()) gold[field] = row[field];
  }
  return gold.empty() ? Value() : gold;
}

ResultLine result_line(const Value& id, const ModelReply& reply, const olvane::ScoredCheck& scored,
                       Value predicted, Value gold) {
  ResultLine line = checked_line(id, std::move(predicted), scored, std::move(gold));
  line.answer = reply.answer;
  line.attempts = reply.attempts;
  line.usage = reply.usage;
  return line;
}

// A plain function: inside a coroutine, gcc 12 mishandles a braced aggregate.
JobTally::Budget budget_tally(const TokenBudget& budget) {
  return {budget.limit(), budget.used(), budget.spent()};
}

// Retries and tokens of a reply, this run.
void count_reply(JobTally& tally, const ModelReply& reply) {
  tally.retries += reply.attempts > 0 ? reply.attempts - 1 : 0;
  tally.prompt_tokens += token_count(reply.usage, "prompt_tokens");
  tally.completion_tokens += token_count(reply.usage, "completion_tokens");
  tally.cached_tokens += cached_prompt_tokens(reply.usage);
}

// Adds the token counts of `more` to those of `usage`, the details' too (cached tokens): a
// record's line counts every request made for it.
void add_usage(Value& usage, const Value& more) {
  if (!more.is_object()) return;
  if (!usage.is_object()) usage = Value::object();
  for (const auto& [name, count] : more.items()) {
    if (count.is_object()) {
      add_usage(usage[name], count);
      continue;
    }
    if (!count.is_number_unsigned()) continue;
    const Value& had = usage.contains(name) ? usage[name] : Value();
    usage[name] =
        (had.is_number_unsigned() ? had.get<std::uint64_t>() : 0) + count.get<std::uint64_t>();
  }
}

ResultLine failed_line(const Value& id, const Value& gold, const Value& answer, unsigned attempts,
                       const std::string& error) {
  ResultLine line;
  line.id = id;
  line.gold = gold;
  line.answer = answer;
  line.attempts = attempts;
  line.error = error;
  return line;
}

}  // namespace

std::optional<std::size_t> truncate_text(std::string& text, std::size_t max_chars) {
  if (max_chars == 0 || text.size() <= max_chars) return std::nullopt;
  std::size_t chars = 0;
  std::size_t cut = text.size();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (internal::is_continuation_byte(text[i])) continue;
    if (chars++ == max_chars) cut = i;
  }
  if (chars <= max_chars) return std::nullopt;
  text.resize(cut);
  return chars;
}

namespace {

// Records read for their prompts, not yet prepared.
struct Batch {
  std::vector<Value> ids, golds;
  std::vector<std::string> texts;
};

// A record ready to be asked: what its result line needs, without the row it came from.
struct Prepared {
  Value id;
  Value gold;
  ModelRequest request;
  std::string text;             // the record's, for a question about one of its values
  std::vector<Value> examples;  // the target values of the examples its prompt shows
};

// A record the model answered, to be checked.
struct Answered {
  Value id;
  Value gold;
  ModelReply reply;
  std::string text;
  std::vector<Value> examples;
};

// The job: what it owns, the queues between its stages, and its tasks. Every task runs on one
// executor, so nothing is locked; each holds the job, which lives until the last one ends.
struct Job : std::enable_shared_from_this<Job> {
  Job(Records rows, Prompter p, StoreMap stores, Model m, JobSettings s, JobProgress on_progress,
      const asio::any_io_executor& ex)
      : records(std::move(rows)),
        prompter(std::move(p)),
        field_stores(std::move(stores)),
        model(std::move(m)),
        settings(std::move(s)),
        checker(prompter.settings().labels, prompter.settings().fields,
                {.min_score = settings.min_score,
                 .no_answer_words = settings.no_answer_words,
                 .multi_label = multi_label_fields(prompter.settings().notes)}),
        progress(std::move(on_progress)),
        executor(ex),
        embedder(ex),
        prompts_ready(ex),
        room(ex),
        checks_done(ex),
        repair_room(ex),
        tasks_done(ex) {}

  Records records;
  const Prompter prompter;
  const StoreMap field_stores;
  const Model model;
  const JobSettings settings;
  const Checker checker;
  const JobProgress progress;
  asio::any_io_executor executor;
  std::optional<Journal> journal;
  JobTally tally;
  QueryEmbedder embedder;

  std::size_t position = 0;    // of the next row of the labelling pass
  std::deque<Prepared> ready;  // prompts built, not asked yet
  std::size_t preparing = 0;   // records whose prompts are being built
  bool all_read = false;       // the pass has no more records
  std::size_t checking = 0;    // answers being checked
  std::size_t tasks = 0;       // coroutines of the job still running
  Notifier prompts_ready, room, checks_done, repair_room, tasks_done;
  std::list<asio::cancellation_signal> chat_slots;  // cancel the requests of each chat slot
  // Questions about values (Repair::ask), at most in_flight at once: each holds a connection.
  std::list<asio::cancellation_signal> repair_slots;
  std::vector<asio::cancellation_signal*> free_repair_slots;
  std::exception_ptr failure;  // the first error that ends the job
  bool stopping = false;
  bool budget_spent = false;  // nothing more is sent; what is in flight still ends and is written
  std::map<std::string, std::size_t> truncated;  // id_key to its text's characters, if cut
  std::string failure_run_kind;                  // of the failures in a row
  std::size_t failure_run = 0;

  const std::vector<std::string>& fields() const { return prompter.settings().fields; }
  bool sending() const { return !stopping && !budget_spent; }

  // The budget's share of a request of `prompt`; nullopt when the budget cannot take it, which
  // stops the sending: the slots and the reading wake up to end.
  std::optional<TokenBudget::Reservation> admit(std::string_view prompt) {
    if (!settings.budget) return TokenBudget::Reservation{0, estimate_prompt_tokens(prompt)};
    std::optional<TokenBudget::Reservation> reservation = settings.budget->reserve(prompt);
    if (!reservation && !budget_spent) {
      budget_spent = true;
      prompts_ready.notify();
      room.notify();
      repair_room.notify();
    }
    return reservation;
  }

  void settle(const TokenBudget::Reservation& reservation, const Value& usage) {
    if (settings.budget) settings.budget->settle(reservation, usage);
    if (token_count(usage, "prompt_tokens") > 0) {
      tally.estimated_prompt_tokens += reservation.estimate;
    }
  }
  std::size_t lookahead() const { return 2 * settings.in_flight + kPromptBatch; }
  bool nothing_left() const { return ready.empty() && all_read && preparing == 0; }

  // Ends the job: the chat requests are cancelled, nothing more is written.
  void stop(std::exception_ptr why) {
    if (!failure) failure = std::move(why);
    if (stopping) return;
    stopping = true;
    // Emitted from a handler of its own: a coroutine that stops the job from inside a chat slot
    // must not be running when its slot is cancelled.
    asio::post(executor, [self = shared_from_this()] {
      for (auto* slots : {&self->chat_slots, &self->repair_slots}) {
        for (asio::cancellation_signal& slot : *slots) slot.emit(asio::cancellation_type::terminal);
      }
    });
    prompts_ready.notify();
    room.notify();
    checks_done.notify();
    repair_room.notify();
  }

  void spawn(const std::shared_ptr<Job>& self, asio::awaitable<void> task,
             asio::cancellation_slot slot = {}) {
    ++tasks;
    asio::co_spawn(executor, std::move(task),
                   asio::bind_cancellation_slot(slot, [self](std::exception_ptr e) {
                     if (e) self->stop(e);
                     if (--self->tasks == 0) self->tasks_done.notify();
                   }));
  }

  // Appends a result line and counts it; a job that is stopping writes nothing more.
  void finish(ResultLine line) {
    if (stopping) return;
    const auto cut = truncated.find(id_key(line.id));
    if (cut != truncated.end()) {
      line.text_truncated_from = cut->second;
      truncated.erase(cut);
    }
    try {
      journal->append(line.to_json());
    } catch (...) {
      stop(std::current_exception());
      return;
    }
    count_result(tally, line, fields());
    if (progress) progress(tally);
    count_failure_run(line);
  }

  // Stops the job when `settings.max_failures` records in a row failed with one kind of error.
  void count_failure_run(const ResultLine& line) {
    if (!line.error) {
      failure_run = 0;
      return;
    }
    const std::string kind = failure_kind(*line.error);
    if (kind.empty()) return;  // one request's size: neither counts nor breaks the run
    failure_run = kind == failure_run_kind ? failure_run + 1 : 1;
    failure_run_kind = kind;
    if (settings.max_failures > 0 && failure_run >= settings.max_failures) {
      stop(std::make_exception_ptr(
          JobStopped("the job stopped after " + std::to_string(failure_run) +
                     " records in a row failed with \"" + kind + "\"; the last: " + *line.error +
                     " (the records not asked are left for a run again)")));
    }
  }

  // The questions about values are asked in the prompts' language.
  std::string_view language() const { return language_name(prompter.settings().language); }

  ModelRequest request_for(RecordPrompt prompt, const Value& id) const {
    return ModelRequest{std::move(prompt.text), std::move(prompt.shown),
                        checker.settings().multi_label, id_key(id)};
  }

  // The next records of the shard that the results file does not hold, up to kPromptBatch.
  Batch read_batch() {
    Batch batch;
    while (batch.texts.size() < kPromptBatch) {
      const auto row = records.next();
      if (!row) break;
      if (!in_shard(position++, settings.shard)) continue;
      const Value& id = (*row)[settings.id_column];
      if (journal->holds(id)) continue;
      batch.ids.push_back(id);
      batch.golds.push_back(gold_of(records, *row, fields()));
      std::string text = brollin::row_text(*row, settings.text_fields);
      if (const auto chars = truncate_text(text, settings.max_text_chars)) {
        truncated[id_key(id)] = *chars;
      }
      batch.texts.push_back(std::move(text));
    }
    return batch;
  }
};

// Builds the prompts of a batch, its texts embedded through the job's QueryEmbedder; when
// that fails, each record of the batch fails with the error.
asio::awaitable<void> prepare(std::shared_ptr<Job> job, Batch batch) {
  std::vector<RecordPrompt> prompts;
  std::optional<std::string> error;
  try {
    Prompter::QueryVectors vectors;
    for (const auto& query_model : job->prompter.query_models()) {
      vectors.push_back(co_await job->embedder.embed(query_model, batch.texts, false));
    }
    prompts = job->prompter.prompts_for(batch.texts, batch.golds, std::move(vectors));
  } catch (const std::exception& e) {  // the embedding model's error, or a vector no store takes
    error = e.what();
  }
  job->preparing -= batch.ids.size();
  for (std::size_t i = 0; i < batch.ids.size(); ++i) {
    if (!error) {
      std::vector<Value> examples = std::move(prompts[i].example_labels);
      ModelRequest request = job->request_for(std::move(prompts[i]), batch.ids[i]);
      job->ready.push_back({std::move(batch.ids[i]), std::move(batch.golds[i]), std::move(request),
                            std::move(batch.texts[i]), std::move(examples)});
    } else {
      job->finish(failed_line(batch.ids[i], batch.golds[i], Value(), 0, *error));
    }
  }
  job->prompts_ready.notify();
  job->room.notify();
}

// Reads the records and starts preparing their prompts, keeping `lookahead` records prepared
// or being prepared ahead of the chat slots.
asio::awaitable<void> read_records(std::shared_ptr<Job> job) {
  while (job->sending()) {
    if (job->ready.size() + job->preparing >= job->lookahead()) {
      co_await job->room.wait();
      continue;
    }
    Batch batch = job->read_batch();
    if (batch.ids.empty()) break;
    job->preparing += batch.ids.size();
    job->spawn(job, prepare(job, std::move(batch)));
  }
  job->all_read = true;
  job->prompts_ready.notify();
}

// The question about the value of `check`: its nearest labels, searched in `stores` with the
// vector made for it.
RepairQuestion question_of(const Job& job, const std::string& text, const StoreMap& stores,
                           const olvane::FieldCheck& check) {
  RepairQuestion question{.record = text, .field = check.field, .value = check.predicted};
  for (const vectorstore::ScoredDocument& hit :
       stores.at(check.field)
           ->similarity_search_with_score(check.predicted, job.settings.repair_choices)) {
    question.choices.push_back(hit.document.page_content);
  }
  const auto& notes = job.prompter.settings().notes;
  const auto field_notes = notes.find(check.field);
  if (field_notes != notes.end()) {
    question.instruction = field_notes->second.instruction;
    question.descriptions = field_notes->second.descriptions;
  }
  return question;
}

// Asks the model about each value of `scored` that needs_asking and settles it by the answer
// (a failed question leaves it abstained); the attempts and token counts of the questions.
// Nullopt when a question could not be sent (the job stops, or the budget is spent): the
// record is then left unwritten for a run again.
asio::awaitable<std::optional<ModelReply>> ask_again(std::shared_ptr<Job> job, std::string text,
                                                     StoreMap stores, olvane::ScoredCheck& scored) {
  ModelReply asked{"", Value(), 0};
  for (olvane::FieldCheck& check : scored.fields) {
    if (!needs_asking(check, job->settings.min_score)) continue;
    const RepairQuestion question = question_of(*job, text, stores, check);
    while (job->sending() && job->free_repair_slots.empty()) co_await job->repair_room.wait();
    if (!job->sending()) co_return std::nullopt;
    ModelRequest request = repair_request(question, job->language());
    const std::optional<TokenBudget::Reservation> reservation = job->admit(request.prompt);
    if (!reservation) co_return std::nullopt;
    asio::cancellation_signal* slot = job->free_repair_slots.back();
    job->free_repair_slots.pop_back();
    ModelReply reply{"", Value(), 0};
    try {
      reply =
          co_await asio::co_spawn(job->executor, job->model(std::move(request)),
                                  asio::bind_cancellation_slot(slot->slot(), asio::use_awaitable));
      settle_by_answer(check, reply.answer, question.choices);
    } catch (const std::exception& e) {
      const auto* model_error = dynamic_cast<const ModelError*>(&e);
      reply.attempts = model_error != nullptr ? model_error->attempts() : 1;
      check.decision = olvane::Decision::abstained;
      check.checked = Value();
    }
    job->settle(*reservation, reply.usage);
    job->free_repair_slots.push_back(slot);
    job->repair_room.notify();
    count_reply(job->tally, reply);
    scored.checked_result[check.field] = check.checked;
    asked.attempts += reply.attempts;
    add_usage(asked.usage, reply.usage);
  }
  co_return asked;
}

// The checked line of an answer. Every failure of the answer or of its check is the record's.
// Nullopt when a question about a value could not be sent: the record stays unwritten.
asio::awaitable<std::optional<ResultLine>> check_answer(const std::shared_ptr<Job>& job,
                                                        const Answered& answered) {
  const Value& id = answered.id;
  const Value& gold = answered.gold;
  const ModelReply& reply = answered.reply;
  Value predicted;
  try {
    predicted = palisk::parse_answer(reply.answer, job->fields());
  } catch (const ValueError& e) {
    co_return failed_line(id, gold, reply.answer, reply.attempts, e.what());
  }
  std::string error;
  try {
    // The plain rules, then the values left to look up, by the model of their store: one wait
    // per model.
    const Checker::Ruled ruled = job->checker.rule(predicted);
    StoreMap stores = job->field_stores;
    std::vector<QueryGroup> groups = job->checker.query_groups(ruled, stores);
    for (const QueryGroup& group : groups) {
      std::vector<std::vector<float>> vectors =
          co_await job->embedder.embed(group.model, group.texts, true);
      use_vectors(stores, group, std::move(vectors));
    }
    olvane::ScoredCheck scored = job->checker.finish(ruled, stores);
    ModelReply asked{"", Value(), 0};
    if (job->settings.repair == Repair::ask) {
      std::optional<ModelReply> questions = co_await ask_again(job, answered.text, stores, scored);
      if (!questions) co_return std::nullopt;
      asked = std::move(*questions);
    }
    ResultLine line = result_line(id, reply, scored, predicted, gold);
    write_confidences(line, scored, read_logprobs(reply.logprobs), answered.examples,
                      job->checker.labels(), job->settings.calibration.get());
    line.attempts += asked.attempts;
    add_usage(line.usage, asked.usage);
    co_return line;
  } catch (const std::exception& e) {  // the embedding model's error, or a value no store takes
    error = e.what();
  }
  co_return failed_line(id, gold, reply.answer, reply.attempts, error);
}

asio::awaitable<void> check(std::shared_ptr<Job> job, Answered answered) {
  const std::optional<ResultLine> line = co_await check_answer(job, answered);
  --job->checking;
  job->checks_done.notify();
  if (line) job->finish(*line);
}

// The model's answer to one prompt, or the failed line when none came. `reservation` is the
// request's share of the budget, settled when it ends.
asio::awaitable<std::optional<ResultLine>> ask(const std::shared_ptr<Job>& job, Prepared& record,
                                               const TokenBudget::Reservation& reservation,
                                               ModelReply& reply) {
  try {
    reply = co_await job->model(std::move(record.request));
  } catch (const ModelError& e) {
    job->settle(reservation, Value());
    job->tally.retries += e.attempts() > 0 ? e.attempts() - 1 : 0;
    co_return failed_line(record.id, record.gold, Value(), e.attempts(), e.what());
  } catch (const std::exception& e) {
    job->settle(reservation, Value());
    co_return failed_line(record.id, record.gold, Value(), 1, e.what());
  }
  job->settle(reservation, reply.usage);
  count_reply(job->tally, reply);
  co_return std::nullopt;
}

// One chat slot: asks the prepared prompts one after the other and hands each answer to a
// check of its own, so that the slot is free again as soon as the answer came.
asio::awaitable<void> chat_slot(std::shared_ptr<Job> job) {
  const std::size_t max_checking = kChecksPerSlot * job->settings.in_flight;
  for (;;) {
    while (!job->stopping && job->checking >= max_checking) co_await job->checks_done.wait();
    // Nothing suspends between this wait and taking the prompt, so no other slot takes it.
    while (job->sending() && job->ready.empty() && !job->nothing_left()) {
      co_await job->prompts_ready.wait();
    }
    if (!job->sending() || job->ready.empty()) break;  // empty: nothing is left to ask
    const std::optional<TokenBudget::Reservation> reservation =
        job->admit(job->ready.front().request.prompt);
    if (!reservation) break;  // the budget is spent: the record stays unwritten
    Prepared record = std::move(job->ready.front());
    job->ready.pop_front();
    job->room.notify();
    ModelReply reply;
    if (std::optional<ResultLine> failed = co_await ask(job, record, *reservation, reply)) {
      job->finish(*failed);
      continue;
    }
    ++job->checking;
    job->spawn(job,
               check(job, Answered{std::move(record.id), std::move(record.gold), std::move(reply),
                                   std::move(record.text), std::move(record.examples)}));
  }
}

// The tally of a job whose tasks have all ended, its results file closed; the error that ended
// it, if one did.
JobTally ended(Job& job) {
  job.tally.embedding_calls = job.embedder.requests();
  job.tally.embedded_texts = job.embedder.texts_sent();
  if (job.settings.budget) job.tally.budget = budget_tally(*job.settings.budget);
  job.journal->close();
  if (job.failure) std::rethrow_exception(job.failure);
  return job.tally;
}

asio::awaitable<JobTally> run(Records records, Prompter prompter, StoreMap field_stores,
                              Model model, JobSettings settings, JobProgress progress) {
  // The wait below must be able to tell a cancellation, and to wait again after one.
  co_await asio::this_coro::throw_if_cancelled(false);
  check_settings(prompter, field_stores, settings);
  const std::size_t total = check_records(records, settings);
  const Value run = run_settings(prompter, field_stores, settings);
  if (settings.calibration) require_calibration_fits(*settings.calibration, run, "the calibration");
  require_same_run_settings(settings.out_path, run);
  const auto executor = co_await asio::this_coro::executor;
  auto job =
      std::make_shared<Job>(std::move(records), std::move(prompter), std::move(field_stores),
                            std::move(model), std::move(settings), std::move(progress), executor);
  for (const std::string& field : job->fields()) job->tally.fields[field];
  job->journal.emplace(job->settings.out_path, job->settings.retry_failed, std::chrono::seconds(1),
                       [&](const Value& line) {
                         count_result(job->tally, ResultLine::from_json(line), job->fields());
                       });
  write_run_settings(job->settings.out_path, run);
  job->tally.resumed = job->journal->resumed();
  job->tally.total = total;
  job->records.rewind();
  if (job->progress) job->progress(job->tally);

  // Every slot exists before the first task starts: a task may run at once, up to its checks.
  for (std::size_t slot = 0; slot < job->settings.in_flight; ++slot) {
    job->chat_slots.emplace_back();
    if (job->settings.repair == Repair::ask) {
      job->free_repair_slots.push_back(&job->repair_slots.emplace_back());
    }
  }
  job->spawn(job, read_records(job));
  for (asio::cancellation_signal& slot : job->chat_slots) {
    job->spawn(job, chat_slot(job), slot.slot());
  }
  while (job->tasks > 0) {
    co_await job->tasks_done.wait();
    auto cancelled = (co_await asio::this_coro::cancellation_state).cancelled();
    if (cancelled != asio::cancellation_type::none) {
      job->stop(std::make_exception_ptr(
          boost::system::system_error(asio::error::operation_aborted, "the job was cancelled")));
      co_await asio::this_coro::reset_cancellation_state();
    }
  }
  co_return ended(*job);
}

}  // namespace

void require_job_settings(const JobSettings& settings) {
  if (settings.in_flight == 0) throw ValueError("in_flight must be at least 1");
  if (settings.shard.count == 0 || settings.shard.index >= settings.shard.count) {
    throw ValueError("shard " + std::to_string(settings.shard.index) + "/" +
                     std::to_string(settings.shard.count) + " does not exist");
  }
  if (settings.text_fields.empty()) {
    throw ValueError("text_fields must name at least one column of the record's text");
  }
  require_distinct(settings.text_fields, "text field");
}

FieldTally& FieldTally::operator+=(const FieldTally& other) {
  kept += other.kept;
  replaced += other.replaced;
  abstained += other.abstained;
  missing += other.missing;
  no_answer += other.no_answer;
  invalid += other.invalid;
  normalized += other.normalized;
  asked += other.asked;
  gold += other.gold;
  predicted_right += other.predicted_right;
  checked_right += other.checked_right;
  gold_abstained += other.gold_abstained;
  gold_failed += other.gold_failed;
  low_confidence += other.low_confidence;
  reviewed += other.reviewed;
  gold_reviewed += other.gold_reviewed;
  for (const auto& [label, count] : other.right_by_label) right_by_label[label] += count;
  for (const auto& [pair, count] : other.confusions) confusions[pair] += count;
  return *this;
}

std::string failure_kind(std::string_view error) {
  if (error.starts_with("HTTP status 413")) return "";
  if (error.starts_with("HTTP status 400")) {
    for (const char* about_size : {"context", "token", "too long", "too large", "length"}) {
      if (contains_ignoring_case(error, about_size)) return "";
    }
  }
  return std::string(error.substr(0, error.find(':')));
}

FieldTally JobTally::all_fields() const {
  FieldTally all;
  for (const auto& [field, t] : fields) all += t;
  return all;
}

Shard parse_shard(std::string_view text) {
  const std::size_t slash = text.find('/');
  Shard shard;
  const auto number = [&](std::string_view digits, std::size_t& out) {
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), out);
    return error == std::errc() && end == digits.data() + digits.size() && !digits.empty();
  };
  if (slash == std::string_view::npos || !number(text.substr(0, slash), shard.index) ||
      !number(text.substr(slash + 1), shard.count) || shard.index >= shard.count) {
    throw ValueError("shard must be K/N with 0 <= K < N, not " + repr(Value(std::string(text))));
  }
  return shard;
}

asio::awaitable<JobTally> run_job(frame::DataFrame records, Prompter prompter,
                                  StoreMap field_stores, Model model, JobSettings settings,
                                  JobProgress progress) {
  co_return co_await run(Records(std::move(records)), std::move(prompter), std::move(field_stores),
                         std::move(model), std::move(settings), std::move(progress));
}

asio::awaitable<JobTally> run_job(frame::CsvStream records, Prompter prompter,
                                  StoreMap field_stores, Model model, JobSettings settings,
                                  JobProgress progress) {
  co_return co_await run(Records(std::move(records)), std::move(prompter), std::move(field_stores),
                         std::move(model), std::move(settings), std::move(progress));
}

}  // namespace tavrin::labeling
