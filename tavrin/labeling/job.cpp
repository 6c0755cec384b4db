#include "tavrin/labeling/job.hpp"

#include <algorithm>
#include <charconv>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <unordered_set>
#include <utility>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "tavrin/brollin.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/labeling/journal.hpp"
#include "tavrin/olvane.hpp"
#include "tavrin/palisk.hpp"

namespace tavrin::labeling {
namespace {

namespace asio = boost::asio;

// Kept small: a chunk is read when the last one is used up, and dropped once its rows have
// their prompts.
constexpr std::size_t kChunkRows = 256;
// Prompts built together; a few more than one scan of the training store per record would
// need, few enough to start the first requests at once.
constexpr std::size_t kPromptBatch = 16;

// The job's view of its records: passes over the rows in table order, a table as one chunk,
// a stream a chunk at a time.
class Records {
 public:
  explicit Records(const frame::DataFrame& table) : table_(&table) {}
  explicit Records(frame::CsvStream& stream) : stream_(&stream) {}

  const std::vector<std::string>& columns() const {
    return table_ ? table_->columns() : stream_->columns();
  }
  bool has_column(const std::string& column) const {
    return std::find(columns().begin(), columns().end(), column) != columns().end();
  }

  void rewind() {
    chunk_ = frame::DataFrame();
    next_ = 0;
    started_ = false;
    if (stream_) stream_->rewind();
  }

  // The next row of this pass, or nullopt at its end.
  std::optional<frame::DataFrame::Row> next() {
    if (next_ == chunk_.size()) {
      if (table_ && started_) return std::nullopt;
      chunk_ = table_ ? *table_ : stream_->next(kChunkRows);
      next_ = 0;
      started_ = true;
      if (chunk_.size() == 0) return std::nullopt;
    }
    return chunk_.iloc(next_++);
  }

 private:
  const frame::DataFrame* table_ = nullptr;
  frame::CsvStream* stream_ = nullptr;
  frame::DataFrame chunk_;
  std::size_t next_ = 0;
  bool started_ = false;
};

void require_column(const Records& records, const std::string& column, const char* role) {
  if (!records.has_column(column)) {
    throw ValueError("the records have no " + std::string(role) + " column " + repr(Value(column)));
  }
}

bool in_shard(std::size_t position, const Shard& shard) {
  return position % shard.count == shard.index;
}

// One whole pass over the records; the number of records of the shard.
std::size_t check_inputs(Records& records, const Prompter& prompter, const StoreMap& field_stores,
                         const JobSettings& settings) {
  if (settings.in_flight == 0) throw ValueError("in_flight must be at least 1");
  if (settings.shard.count == 0 || settings.shard.index >= settings.shard.count) {
    throw ValueError("shard " + std::to_string(settings.shard.index) + "/" +
                     std::to_string(settings.shard.count) + " does not exist");
  }
  require_column(records, settings.id_column, "id");
  for (const std::string& column : settings.text_fields) require_column(records, column, "text");
  for (const std::string& field : prompter.settings().fields) {
    const auto store = field_stores.find(field);
    if (store == field_stores.end() || !store->second) {
      throw ValueError("there is no store of allowed labels for field " + repr(Value(field)));
    }
  }
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
    if (!ids.insert(id.dump()).second) {
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

std::uint64_t token_count(const Value& usage, const char* name) {
  const auto n = usage.is_object() ? usage.find(name) : usage.end();
  return n != usage.end() && n->is_number_unsigned() ? n->get<std::uint64_t>() : 0;
}

// Compared as text: a CSV reader may have typed the true label as a number. No value is never
// right.
bool is_true_label(const Value& value, const Value& truth) {
  return !value.is_null() && str(value) == str(truth);
}

// Counts one result line; the same for lines read back and lines just written, so the tally
// always describes the file.
void count_line(JobTally& tally, const Value& line, const std::vector<std::string>& fields) {
  ++tally.done;
  if (!line.value("error", Value()).is_null()) {
    ++tally.failed;
    return;
  }
  const Value& decisions = line["decisions"];
  const Value& gold = line.value("gold", Value());
  for (const std::string& field : fields) {
    FieldTally& t = tally.fields[field];
    const std::string decision = decisions.value(field, Value::object()).value("decision", "");
    t.kept += decision == "kept";
    t.replaced += decision == "replaced";
    t.abstained += decision == "abstained";
    t.missing += decision == "missing";
    const auto truth = gold.is_object() ? gold.find(field) : gold.end();
    if (truth == gold.end()) continue;
    ++t.gold;
    t.predicted_right += is_true_label(line["predicted"].value(field, Value()), *truth);
    t.checked_right += is_true_label(line["checked"].value(field, Value()), *truth);
    t.gold_abstained += decision == "abstained";
  }
}

Value result_line(const Value& id, const ModelReply& reply, const olvane::ScoredCheck& scored,
                  const Value& predicted, const Value& gold) {
  Value line = {{"id", id},
                {"checked", scored.checked_result},
                {"decisions", scored.decisions()},
                {"predicted", predicted}};
  if (!gold.is_null()) line["gold"] = gold;
  line["answer"] = reply.answer;
  line["attempts"] = reply.attempts;
  line["usage"] = reply.usage;
  line["error"] = nullptr;
  return line;
}

Value failed_line(const Value& id, const Value& gold, const Value& answer, unsigned attempts,
                  const std::string& error) {
  Value line = {{"id", id}, {"checked", nullptr}};
  if (!gold.is_null()) line["gold"] = gold;
  line["answer"] = answer;
  line["attempts"] = attempts;
  line["error"] = error;
  return line;
}

// A record ready to be asked: what its result line needs, without the row it came from.
struct Prepared {
  Value id;
  Value gold;
  std::string prompt;
};

// What the workers of one job share; they all run on one executor, so no locks.
struct Job {
  Records& records;
  const Prompter& prompter;
  const StoreMap& field_stores;
  const Model& model;
  const JobSettings& settings;
  const JobProgress& progress;
  Journal& journal;
  JobTally tally;
  std::size_t position = 0;  // of the next row of the labelling pass
  std::size_t running = 0;
  std::exception_ptr failure = nullptr;  // the first error that ends the job
  std::unique_ptr<asio::steady_timer> all_done = nullptr;

  std::deque<Prepared> ready = {};  // prompts built, not asked yet

  // The next record of the shard that the results file does not hold, with its prompt.
  std::optional<Prepared> take() {
    if (ready.empty()) prepare();
    if (ready.empty()) return std::nullopt;
    Prepared record = std::move(ready.front());
    ready.pop_front();
    return record;
  }

  // Builds the prompts of the next kPromptBatch records to do, whose examples come from one
  // pass over the training store.
  void prepare() {
    std::vector<Value> ids, golds;
    std::vector<std::string> texts;
    while (texts.size() < kPromptBatch) {
      const auto row = records.next();
      if (!row) break;
      if (!in_shard(position++, settings.shard)) continue;
      const Value& id = (*row)[settings.id_column];
      if (journal.holds(id)) continue;
      ids.push_back(id);
      golds.push_back(gold_of(records, *row, prompter.settings().fields));
      texts.push_back(brollin::row_text(*row, settings.text_fields));
    }
    std::vector<std::string> prompts = prompter.prompts_for(texts, golds);
    for (std::size_t i = 0; i < prompts.size(); ++i) {
      ready.push_back({std::move(ids[i]), std::move(golds[i]), std::move(prompts[i])});
    }
  }
};

// One record: answer and check. Every failure of the model or its answer is the record's.
asio::awaitable<Value> label_record(Job& job, Prepared record) {
  const Value& id = record.id;
  const Value& gold = record.gold;
  ModelReply reply;
  try {
    reply = co_await job.model(std::move(record.prompt));
  } catch (const ModelError& e) {
    job.tally.retries += e.attempts() > 0 ? e.attempts() - 1 : 0;
    co_return failed_line(id, gold, Value(), e.attempts(), e.what());
  } catch (const std::exception& e) {
    co_return failed_line(id, gold, Value(), 1, e.what());
  }
  job.tally.retries += reply.attempts > 0 ? reply.attempts - 1 : 0;
  job.tally.prompt_tokens += token_count(reply.usage, "prompt_tokens");
  job.tally.completion_tokens += token_count(reply.usage, "completion_tokens");
  Value predicted;
  try {
    predicted = palisk::parse_answer(reply.answer);
  } catch (const ValueError& e) {
    co_return failed_line(id, gold, reply.answer, reply.attempts, e.what());
  }
  const olvane::ScoredCheck scored = olvane::check_result_scored(
      predicted, job.prompter.settings().labels, job.prompter.settings().fields, job.field_stores,
      job.settings.min_score);
  co_return result_line(id, reply, scored, predicted, gold);
}

asio::awaitable<void> worker(Job& job) {
  try {
    while (!job.failure) {
      std::optional<Prepared> record = job.take();
      if (!record) break;
      const Value line = co_await label_record(job, std::move(*record));
      job.journal.append(line);
      count_line(job.tally, line, job.prompter.settings().fields);
      if (job.progress) job.progress(job.tally);
    }
  } catch (...) {
    if (!job.failure) job.failure = std::current_exception();
  }
  if (--job.running == 0) job.all_done->cancel();
}

asio::awaitable<JobTally> run(Records& records, const Prompter& prompter,
                              const StoreMap& field_stores, const Model& model,
                              const JobSettings& settings, const JobProgress& progress) {
  const std::size_t total = check_inputs(records, prompter, field_stores, settings);
  const std::vector<std::string>& fields = prompter.settings().fields;
  JobTally resumed;
  for (const std::string& field : fields) resumed.fields[field];
  Journal journal(settings.out_path, settings.retry_failed, std::chrono::seconds(1),
                  [&](const Value& line) { count_line(resumed, line, fields); });
  Job job{records, prompter, field_stores, model, settings, progress, journal, resumed};
  job.tally.resumed = journal.resumed();
  job.tally.total = total;
  records.rewind();
  if (progress) progress(job.tally);

  const auto executor = co_await asio::this_coro::executor;
  job.all_done =
      std::make_unique<asio::steady_timer>(executor, asio::steady_timer::time_point::max());
  // Workers beyond the records left end at once; their number is not known before the pass.
  // A worker may run to its end inside co_spawn, so the count, not the spawning, tells whether
  // any is left to wait for.
  job.running = std::min(settings.in_flight, total);
  const std::size_t workers = job.running;
  for (std::size_t w = 0; w < workers; ++w) asio::co_spawn(executor, worker(job), asio::detached);
  if (job.running > 0) {
    boost::system::error_code ignored;
    co_await job.all_done->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  }
  journal.close();
  if (job.failure) std::rethrow_exception(job.failure);
  co_return job.tally;
}

}  // namespace

FieldTally& FieldTally::operator+=(const FieldTally& other) {
  kept += other.kept;
  replaced += other.replaced;
  abstained += other.abstained;
  missing += other.missing;
  gold += other.gold;
  predicted_right += other.predicted_right;
  checked_right += other.checked_right;
  gold_abstained += other.gold_abstained;
  return *this;
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

asio::awaitable<JobTally> run_job(const frame::DataFrame& records, const Prompter& prompter,
                                  const StoreMap& field_stores, Model model, JobSettings settings,
                                  JobProgress progress) {
  Records rows(records);
  co_return co_await run(rows, prompter, field_stores, model, settings, progress);
}

asio::awaitable<JobTally> run_job(frame::CsvStream records, const Prompter& prompter,
                                  const StoreMap& field_stores, Model model, JobSettings settings,
                                  JobProgress progress) {
  Records rows(records);
  co_return co_await run(rows, prompter, field_stores, model, settings, progress);
}

}  // namespace tavrin::labeling
