#include "tavrin/labeling/results.hpp"

#include <cerrno>
#include <exception>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/json_lines.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/labeling/journal.hpp"
#include "tavrin/olvane.hpp"

namespace tavrin::labeling {
namespace {

// The member `name` of a result line, which must be an object (or, when it `may_be_absent`,
// absent or null; null then).
Value object_member(const Value& line, const char* name, bool may_be_absent) {
  const auto found = line.find(name);
  if (found == line.end() && may_be_absent) return Value();
  if (found == line.end() || !(found->is_object() || (may_be_absent && found->is_null()))) {
    throw ValueError(std::string(found == line.end() ? "has no \"" : "has a \"") + name +
                     (found == line.end() ? "\" object" : "\" that is no object"));
  }
  return *found;
}

std::string decision_of(const Value& decisions, const std::string& field) {
  const auto entry = decisions.find(field);
  return entry == decisions.end() ? "" : entry->value("decision", Value("")).get<std::string>();
}

// Lines are parsed this many at a time, the batch split between two threads: parsing is most of
// a pass over a results file.
constexpr std::size_t kParseBatch = 4096;
// A batch this small is parsed on the calling thread alone.
constexpr std::size_t kParallelBatch = 256;

struct ParsedLine {
  JsonLine text;
  ResultLine line{};
  std::exception_ptr error{};  // why the line is no result, with its place
  bool not_json = false;       // the error is the JSON's
};

void parse_lines(std::vector<ParsedLine>& batch, std::size_t from, std::size_t to,
                 const JsonLines& lines) {
  for (std::size_t i = from; i < to; ++i) {
    ParsedLine& parsed = batch[i];
    Value json;
    try {
      json = lines.object(parsed.text);
    } catch (const ValueError&) {
      parsed.error = std::current_exception();
      parsed.not_json = true;
      continue;
    } catch (...) {  // out of memory: thrown again on the calling thread
      parsed.error = std::current_exception();
      continue;
    }
    try {
      parsed.line = ResultLine::from_json(std::move(json));
    } catch (const ValueError& e) {
      parsed.error = std::make_exception_ptr(ValueError(lines.where(parsed.text) + " " + e.what()));
    } catch (...) {
      parsed.error = std::current_exception();
    }
  }
}

// Parses `batch`, its second half on a thread of its own.
void parse_batch(std::vector<ParsedLine>& batch, const JsonLines& lines) {
  if (batch.size() < kParallelBatch) return parse_lines(batch, 0, batch.size(), lines);
  const std::size_t half = batch.size() / 2;
  std::thread second([&] { parse_lines(batch, half, batch.size(), lines); });
  parse_lines(batch, 0, half, lines);
  second.join();
}

[[noreturn]] void cannot_read(const std::string& path) {
  throw std::filesystem::filesystem_error("cannot read the results file", path,
                                          std::error_code(errno, std::generic_category()));
}

// Takes from `pool` the first correction of a field not yet shown this round whose value was
// not shown before; fields take turns so that one field cannot fill the summary.
std::vector<Correction> take_in_turns(const std::vector<const Correction*>& pool,
                                      std::size_t count) {
  std::vector<Correction> picked;
  std::set<std::pair<std::string, std::string>> seen;
  bool progressed = true;
  while (picked.size() < count && progressed) {
    progressed = false;
    std::set<std::string> fields_this_round;
    for (const Correction* c : pool) {
      if (picked.size() == count) break;
      if (fields_this_round.count(c->field) != 0) continue;
      if (!seen.insert({c->field, c->from.dump()}).second) continue;
      fields_this_round.insert(c->field);
      picked.push_back(*c);
      progressed = true;
    }
  }
  return picked;
}

}  // namespace

std::uint64_t token_count(const Value& usage, std::string_view name) {
  const auto n = usage.is_object() ? usage.find(name) : usage.end();
  return n != usage.end() && n->is_number_unsigned() ? n->get<std::uint64_t>() : 0;
}

std::uint64_t cached_prompt_tokens(const Value& usage) {
  const auto details = usage.is_object() ? usage.find("prompt_tokens_details") : usage.end();
  return details != usage.end() ? token_count(*details, "cached_tokens") : 0;
}

bool is_true_label(const Value& value, const Value& truth) {
  return !value.is_null() && str(value) == str(truth);
}

const Value* true_label_of(const ResultLine& line, const std::string& field) {
  if (line.gold.is_object()) {
    const auto truth = line.gold.find(field);
    if (truth != line.gold.end()) return &*truth;
  }
  if (line.error || decision_of(line.decisions, field) != "reviewed") return nullptr;
  const auto checked = line.checked.find(field);
  return checked == line.checked.end() || checked->is_null() ? nullptr : &*checked;
}

Value ResultLine::to_json() const {
  Value line = {{"id", id}, {"checked", checked}};
  if (!error) {
    line["decisions"] = decisions;
    line["predicted"] = predicted;
  }
  if (!gold.is_null()) line["gold"] = gold;
  if (text_truncated_from) line["text_truncated_from"] = *text_truncated_from;
  line["answer"] = answer;
  line["attempts"] = attempts;
  if (!error) line["usage"] = usage;
  line["error"] = error ? Value(*error) : Value();
  return line;
}

ResultLine ResultLine::from_json(const Value& line) { return from_json(Value(line)); }

ResultLine ResultLine::from_json(Value&& line) {
  if (!line.is_object()) throw ValueError("is not a JSON object");
  if (!line.contains("id")) throw ValueError("has no \"id\"");
  // The members are moved out: a pass over a large file allocates each value once.
  const auto take = [&line](const char* key) {
    const auto found = line.find(key);
    return found == line.end() ? Value() : std::move(*found);
  };
  ResultLine result;
  result.id = take("id");
  result.answer = take("answer");
  const Value attempts = take("attempts");
  result.attempts = attempts.is_number_unsigned() ? attempts.get<unsigned>() : 0;
  object_member(line, "gold", true);
  result.gold = take("gold");
  const Value truncated = take("text_truncated_from");
  if (truncated.is_number_unsigned()) result.text_truncated_from = truncated.get<std::size_t>();
  const Value error = take("error");
  if (!error.is_null()) {
    result.error = error.is_string() ? error.get<std::string>() : error.dump();
    result.checked = take("checked");
    return result;
  }
  object_member(line, "decisions", false);
  object_member(line, "predicted", false);
  object_member(line, "checked", false);
  result.decisions = take("decisions");
  result.predicted = take("predicted");
  result.checked = take("checked");
  result.usage = take("usage");
  for (const auto& [field, entry] : result.decisions.items()) {
    if (!(entry.is_object() && entry.value("decision", Value("")).is_string())) {
      throw ValueError("has a decision of field " + repr(Value(field)) +
                       " that is no object with a text \"decision\"");
    }
  }
  return result;
}

void count_result(JobTally& tally, const ResultLine& line, const std::vector<std::string>& fields) {
  ++tally.done;
  if (line.error) ++tally.failed;
  for (const std::string& field : fields) {
    FieldTally& t = tally.fields[field];
    const Value* truth = true_label_of(line, field);
    t.gold += truth != nullptr;
    const std::string decision = line.error ? "" : decision_of(line.decisions, field);
    if (line.error) {
      t.gold_failed += truth != nullptr;
    } else {
      t.kept += decision == "kept";
      t.replaced += decision == "replaced";
      t.abstained += decision == "abstained";
      t.missing += decision == "missing";
      t.no_answer += decision == "no_answer";
      t.invalid += decision == "invalid";
      t.normalized += decision == "normalized";
      t.asked += decision == "asked";
      t.low_confidence += decision == "low_confidence";
      t.reviewed += decision == "reviewed";
    }
    if (truth == nullptr) continue;
    const Value checked = line.error ? Value() : line.checked.value(field, Value());
    if (is_true_label(checked, *truth)) {
      ++t.right_by_label[str(*truth)];
    } else {
      ++t.confusions[{str(*truth),
                      checked.is_null() ? std::nullopt : std::optional<std::string>(str(checked))}];
    }
    if (line.error) continue;
    t.gold_reviewed += !(line.gold.is_object() && line.gold.contains(field));
    t.predicted_right += is_true_label(line.predicted.value(field, Value()), *truth);
    t.checked_right += is_true_label(checked, *truth);
    t.gold_abstained += decision == "abstained" || decision == "no_answer" ||
                        decision == "invalid" || decision == "low_confidence";
  }
}

ResultLine checked_line(Value id, Value predicted, const olvane::ScoredCheck& scored, Value gold) {
  ResultLine line;
  line.id = std::move(id);
  line.checked = scored.checked_result;
  line.decisions = scored.decisions();
  line.predicted = std::move(predicted);
  line.gold = std::move(gold);
  return line;
}

void read_results(const std::vector<std::string>& paths,
                  const std::function<void(const ResultLine&)>& each) {
  std::unordered_map<std::string, std::size_t> ids;  // id to the index of its file in `paths`
  for (std::size_t file = 0; file < paths.size(); ++file) {
    const std::string& path = paths[file];
    std::ifstream in(path, std::ios::binary);
    if (!in) cannot_read(path);
    JsonLines lines(in, "results file '" + path + "'");
    std::vector<ParsedLine> batch;
    bool torn = false;
    while (!torn) {
      batch.clear();
      while (batch.size() < kParseBatch) {
        auto text = lines.next();
        if (!text) break;
        batch.push_back({std::move(*text)});
      }
      if (batch.empty()) break;
      parse_batch(batch, lines);
      for (ParsedLine& parsed : batch) {
        if (parsed.error) {
          if (parsed.not_json && !parsed.text.terminated) {
            torn = true;  // torn by a crash in the middle of a write: the last line
            break;
          }
          std::rethrow_exception(parsed.error);
        }
        const ResultLine& line = parsed.line;
        const auto [first, fresh] = ids.try_emplace(id_key(line.id), file);
        if (!fresh) {
          throw ValueError(lines.where(parsed.text) + " repeats the id " + line.id.dump() +
                           (first->second == file
                                ? std::string()
                                : " of results file '" + paths[first->second] + "'"));
        }
        each(line);
      }
    }
    if (lines.failed()) cannot_read(path);
  }
}

JobTally tally_results(const std::vector<std::string>& paths,
                       const std::vector<std::string>& fields) {
  JobTally tally;
  for (const std::string& field : fields) tally.fields[field];
  read_results(paths, [&](const ResultLine& line) { count_result(tally, line, fields); });
  tally.total = tally.done;
  return tally;
}

std::vector<Correction> corrections_of(const ResultLine& line,
                                       const std::vector<std::string>& fields) {
  std::vector<Correction> corrections;
  if (line.error) return corrections;
  for (const std::string& field : fields) {
    const auto decision = line.decisions.find(field);
    if (decision == line.decisions.end()) continue;
    const std::string kind = decision->value("decision", Value("")).get<std::string>();
    if (kind != "replaced" && kind != "abstained" && kind != "asked") continue;
    Correction c{field, line.predicted.value(field, Value()), line.checked.value(field, Value())};
    const Value score = decision->value("score", Value());
    if (score.is_number()) c.score = score.get<double>();
    c.nearest = decision->value("nearest", Value());
    const auto truth = line.gold.is_object() ? line.gold.find(field) : line.gold.end();
    if (truth != line.gold.end()) c.right = is_true_label(c.to, *truth);
    corrections.push_back(std::move(c));
  }
  return corrections;
}

std::vector<Correction> pick_examples(const std::vector<Correction>& corrections,
                                      std::size_t count) {
  std::vector<const Correction*> right;
  std::vector<const Correction*> wrong;
  for (const Correction& c : corrections) (c.right == false ? wrong : right).push_back(&c);
  const bool show_wrong = !wrong.empty() && count > 1;
  std::vector<Correction> picked = take_in_turns(right, show_wrong ? count - 1 : count);
  if (show_wrong) picked.push_back(*wrong.front());
  return picked;
}

}  // namespace tavrin::labeling
