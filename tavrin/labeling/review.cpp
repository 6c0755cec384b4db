#include "tavrin/labeling/review.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "tavrin/brollin.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/atomic_file.hpp"
#include "tavrin/core/json.hpp"
#include "tavrin/core/json_lines.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/frame/csv_stream.hpp"
#include "tavrin/frame/csv_writer.hpp"
#include "tavrin/labeling/journal.hpp"
#include "tavrin/labeling/results.hpp"

namespace tavrin::labeling {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kChunkRows = 4096;
const std::vector<std::string> kReviewColumns = {
    "id", "field", "text", "decision", "predicted", "checked", "runner_up", "confidence", "answer"};

// Which group of the queue a decision puts a value in: abstentions first, then values the
// check changed; nullopt for one only `below` takes.
std::optional<int> group_of(const std::string& decision) {
  if (decision == "abstained" || decision == "invalid" || decision == "low_confidence") return 0;
  if (decision == "replaced" || decision == "asked") return 1;
  return std::nullopt;
}

std::optional<double> confidence_of(const Value& decision) {
  const auto found = decision.find("confidence");
  if (found == decision.end() || !found->is_number()) return std::nullopt;
  return found->get<double>();
}

// The label nearest the value other than the one chosen.
Value runner_up_of(const Value& decision, const Value& chosen) {
  const Value nearest = decision.value("nearest", Value());
  if (!nearest.is_null() && nearest != chosen) return nearest;
  return decision.value("runner_up", Value());
}

// A cell of the review: text as it is, any other value in its JSON form, null empty.
Value cell(const Value& value) {
  if (value.is_null() || value.is_string()) return value;
  return value.dump();
}

[[noreturn]] void cannot(const char* what, const std::string& path) {
  throw fs::filesystem_error(what, path, std::error_code(errno, std::generic_category()));
}

// An exclusive lock on a results file for the rewrite: a job that holds it is still writing.
class RewriteLock {
 public:
  explicit RewriteLock(const std::string& path)
      : descriptor_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {  // NOLINT
    if (descriptor_ < 0) cannot("cannot open the results file", path);
    if (::flock(descriptor_, LOCK_EX | LOCK_NB) != 0) {
      ::close(descriptor_);
      throw ValueError("results file " + repr(Value(path)) +
                       " is being written by a job; apply the review when it has ended");
    }
  }
  RewriteLock(const RewriteLock&) = delete;
  RewriteLock& operator=(const RewriteLock&) = delete;
  ~RewriteLock() { ::close(descriptor_); }

 private:
  int descriptor_;
};

// Every line of the results file at `path`, as it stands.
template <class Each>
void each_line(const std::string& path, Each each) {
  std::ifstream in(path, std::ios::binary);
  if (!in) cannot("cannot read the results file", path);
  JsonLines lines(in, "results file " + repr(Value(path)));
  while (const auto text = lines.next()) {
    Value json;
    try {
      json = lines.object(*text);
    } catch (const ValueError&) {
      if (!text->terminated) break;  // torn by a crash in the middle of a write
      throw;
    }
    each(json, lines.where(*text));
  }
  if (lines.failed()) cannot("cannot read the results file", path);
}

bool is_allowed(const Value& answer, const Value& allowed) {
  const auto one = [&](const Value& label) {
    return std::any_of(allowed.begin(), allowed.end(),
                       [&](const Value& a) { return str(a) == str(label); });
  };
  if (answer.is_array()) return std::all_of(answer.begin(), answer.end(), one);
  return one(answer);
}

void apply_to_line(Value& line, const std::string& field, const Value& answer) {
  Value& decision = line["decisions"][field];
  if (!decision.contains("decision_before")) {
    decision["decision_before"] = decision.value("decision", Value());
    decision["checked_before"] = line["checked"].value(field, Value());
  }
  decision["decision"] = "reviewed";
  line["checked"][field] = answer;
  if (!line.contains("gold") || !line["gold"].is_object()) line["gold"] = Value::object();
  line["gold"][field] = answer;
}

std::vector<ReviewAnswer> answers_of_json_lines(const std::string& path) {
  std::vector<ReviewAnswer> answers;
  std::ifstream in(path, std::ios::binary);
  if (!in) cannot("cannot read the review", path);
  JsonLines lines(in, "review " + repr(Value(path)));
  while (const auto text = lines.next()) {
    const Value item = lines.object(*text);
    const Value answer = item.value("answer", Value());
    if (answer.is_null() || (answer.is_string() && answer.get<std::string>().empty())) continue;
    if (!item.contains("id") || !item.value("field", Value()).is_string()) {
      throw ValueError(lines.where(*text) + " has no \"id\" and text \"field\"");
    }
    answers.push_back({id_key(item["id"]), item["field"].get<std::string>(), answer, text->number});
  }
  if (lines.failed()) cannot("cannot read the review", path);
  return answers;
}

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// A text answer that is a JSON list is that list (a multi-label field's labels).
Value answer_value(const std::string& text) {
  if (text.starts_with('[')) {
    try {
      Value list = json_loads(text);
      if (list.is_array()) return list;
    } catch (const ValueError&) {
    }
  }
  return text;
}

std::vector<ReviewAnswer> answers_of_csv(const std::string& path) {
  frame::CsvStream stream(path, {"id", "field", "answer"});
  for (const char* column : {"id", "field", "answer"}) {
    const auto& columns = stream.columns();
    if (std::find(columns.begin(), columns.end(), column) == columns.end()) {
      throw ValueError("review " + repr(Value(path)) + " has no column " + repr(Value(column)));
    }
  }
  std::vector<ReviewAnswer> answers;
  std::size_t line = 1;  // the header
  for (frame::DataFrame chunk = stream.next(kChunkRows); chunk.size() > 0;
       chunk = stream.next(kChunkRows)) {
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      ++line;
      const auto row = chunk.iloc(i);
      const Value& answer = row["answer"];
      if (answer.is_null() || trimmed(str(answer)).empty()) continue;
      answers.push_back(
          {str(row["id"]), str(row["field"]), answer_value(trimmed(str(answer))), line});
    }
  }
  return answers;
}

}  // namespace

std::vector<ReviewItem> review_queue(const std::vector<std::string>& paths,
                                     const ReviewOptions& options) {
  struct Queued {
    int group;
    ReviewItem item;
  };
  std::vector<Queued> queued;
  read_results(paths, [&](const ResultLine& line) {
    if (line.error) return;
    for (const auto& [field, decision] : line.decisions.items()) {
      if (!options.fields.empty() &&
          std::find(options.fields.begin(), options.fields.end(), field) == options.fields.end()) {
        continue;
      }
      const std::string name = decision.value("decision", "");
      const std::optional<double> confidence = confidence_of(decision);
      std::optional<int> group = group_of(name);
      if (!group && options.below && confidence && *confidence < *options.below &&
          name != "reviewed") {
        group = 2;
      }
      if (!group) continue;
      const Value checked = line.checked.value(field, Value());
      queued.push_back(
          {*group,
           {line.id, field, name, line.predicted.value(field, Value()), checked,
            runner_up_of(decision, decision.value("checked_before", checked)), confidence}});
    }
  });
  std::stable_sort(queued.begin(), queued.end(), [](const Queued& a, const Queued& b) {
    // A value without a confidence comes first in its group.
    const auto key = [](const Queued& q) {
      return std::make_tuple(q.group, q.item.confidence.has_value(),
                             q.item.confidence.value_or(0.0));
    };
    return key(a) < key(b);
  });
  std::vector<ReviewItem> items;
  for (Queued& q : queued) {
    if (options.limit > 0 && items.size() == options.limit) break;
    items.push_back(std::move(q.item));
  }
  return items;
}

void attach_texts(std::vector<ReviewItem>& items, const std::string& records_path,
                  const std::string& id_column, const std::vector<std::string>& text_fields) {
  frame::CsvStream stream(records_path, {id_column});
  for (const std::string& column : [&] {
         std::vector<std::string> all = text_fields;
         all.insert(all.begin(), id_column);
         return all;
       }()) {
    const auto& columns = stream.columns();
    if (std::find(columns.begin(), columns.end(), column) == columns.end()) {
      throw ValueError("the records " + repr(Value(records_path)) + " have no column " +
                       repr(Value(column)));
    }
  }
  std::unordered_multimap<std::string, std::size_t> wanted;
  for (std::size_t i = 0; i < items.size(); ++i) wanted.emplace(id_key(items[i].id), i);
  for (frame::DataFrame chunk = stream.next(kChunkRows); chunk.size() > 0;
       chunk = stream.next(kChunkRows)) {
    for (std::size_t r = 0; r < chunk.size(); ++r) {
      const auto row = chunk.iloc(r);
      const auto [first, last] = wanted.equal_range(id_key(row[id_column]));
      if (first == last) continue;
      const std::string text = brollin::row_text(row, text_fields);
      for (auto it = first; it != last; ++it) items[it->second].text = text;
    }
  }
}

void write_review(const std::string& path, const std::vector<ReviewItem>& items) {
  const auto cells = [](const ReviewItem& item) {
    return std::vector<Value>{cell(item.id),
                              item.field,
                              item.text,
                              item.decision,
                              cell(item.predicted),
                              cell(item.checked),
                              cell(item.runner_up),
                              item.confidence ? Value(*item.confidence) : Value(),
                              Value()};
  };
  if (path.ends_with(".jsonl")) {
    internal::AtomicFile file(path);
    for (const ReviewItem& item : items) {
      Value line = Value::object();
      const std::vector<Value> row = cells(item);
      for (std::size_t c = 0; c < kReviewColumns.size(); ++c) line[kReviewColumns[c]] = row[c];
      line["id"] = item.id;
      line["predicted"] = item.predicted;
      line["checked"] = item.checked;
      line["runner_up"] = item.runner_up;
      file.write(line.dump(-1, ' ', false, Value::error_handler_t::replace) + "\n");
    }
    file.commit();
    return;
  }
  frame::CsvWriter out(path, kReviewColumns);
  for (const ReviewItem& item : items) out.write_row(cells(item));
  out.commit();
}

std::vector<ReviewAnswer> read_review_answers(const std::string& path) {
  std::vector<ReviewAnswer> answers =
      path.ends_with(".jsonl") ? answers_of_json_lines(path) : answers_of_csv(path);
  std::map<std::pair<std::string, std::string>, std::size_t> seen;
  for (const ReviewAnswer& answer : answers) {
    const auto [at, fresh] = seen.emplace(std::pair{answer.id, answer.field}, answer.line);
    if (!fresh) {
      throw ValueError("review " + repr(Value(path)) + " line " + std::to_string(answer.line) +
                       " answers id " + repr(Value(answer.id)) + ", field " +
                       repr(Value(answer.field)) + " again (first on line " +
                       std::to_string(at->second) + ")");
    }
  }
  return answers;
}

ReviewApplied apply_review(const std::vector<std::string>& paths,
                           const std::vector<ReviewAnswer>& answers, const Value& labels) {
  std::unordered_map<std::string, std::vector<const ReviewAnswer*>> by_id;
  for (const ReviewAnswer& answer : answers) {
    if (labels.is_object()) {
      const Value allowed = labels.value(answer.field, Value());
      if (allowed.is_array() && !is_allowed(answer.answer, allowed)) {
        throw ValueError("the answer " + answer.answer.dump() + " (review line " +
                         std::to_string(answer.line) + ") is no allowed label of field " +
                         repr(Value(answer.field)));
      }
    }
    by_id[answer.id].push_back(&answer);
  }
  // First every answer is placed, so that nothing is written when one cannot be.
  std::vector<std::size_t> per_file(paths.size(), 0);
  std::map<const ReviewAnswer*, std::size_t> placed;
  for (std::size_t f = 0; f < paths.size(); ++f) {
    each_line(paths[f], [&](const Value& line, const std::string& where) {
      const auto found = by_id.find(id_key(line.value("id", Value())));
      if (found == by_id.end()) return;
      for (const ReviewAnswer* answer : found->second) {
        if (!line.value("error", Value()).is_null()) {
          throw ValueError(where + ": record " + repr(Value(answer->id)) +
                           " failed; run the job again with --retry-failed before reviewing it");
        }
        const Value& decisions = line.value("decisions", Value());
        if (!decisions.is_object() || !decisions.contains(answer->field)) continue;
        placed[answer] = f;
        ++per_file[f];
      }
    });
  }
  for (const ReviewAnswer& answer : answers) {
    if (placed.count(&answer) == 0) {
      throw ValueError("no results line holds id " + repr(Value(answer.id)) + " with field " +
                       repr(Value(answer.field)) + " (review line " + std::to_string(answer.line) +
                       ")");
    }
  }
  ReviewApplied applied;
  for (std::size_t f = 0; f < paths.size(); ++f) {
    if (per_file[f] == 0) continue;
    const std::string target = fs::canonical(paths[f]).string();  // a link's file, not the link
    const RewriteLock lock(target);
    internal::AtomicFile out(target);
    each_line(paths[f], [&](Value line, const std::string&) {
      const auto found = by_id.find(id_key(line.value("id", Value())));
      if (found != by_id.end()) {
        for (const ReviewAnswer* answer : found->second) {
          const auto at = placed.find(answer);
          if (at == placed.end() || at->second != f) continue;
          apply_to_line(line, answer->field, answer->answer);
          ++applied.answers;
        }
      }
      out.write(line.dump(-1, ' ', false, Value::error_handler_t::replace) + "\n");
    });
    out.commit();
    ++applied.files;
  }
  return applied;
}

}  // namespace tavrin::labeling
