#include "tavrin/labeling/results.hpp"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <unordered_set>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/json.hpp"
#include "tavrin/core/text.hpp"

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

// Compared as text: a CSV reader may have typed the true label as a number. No value is never
// right.
bool is_true_label(const Value& value, const Value& truth) {
  return !value.is_null() && str(value) == str(truth);
}

std::string decision_of(const Value& decisions, const std::string& field) {
  const auto entry = decisions.find(field);
  return entry == decisions.end() ? "" : entry->value("decision", Value("")).get<std::string>();
}

bool is_blank(const std::string& line) {
  return line.find_first_not_of(" \t\r") == std::string::npos;
}

}  // namespace

Value ResultLine::to_json() const {
  Value line = {{"id", id}, {"checked", checked}};
  if (!error) {
    line["decisions"] = decisions;
    line["predicted"] = predicted;
  }
  if (!gold.is_null()) line["gold"] = gold;
  line["answer"] = answer;
  line["attempts"] = attempts;
  if (!error) line["usage"] = usage;
  line["error"] = error ? Value(*error) : Value();
  return line;
}

ResultLine ResultLine::from_json(const Value& line) {
  if (!line.is_object()) throw ValueError("is not a JSON object");
  if (!line.contains("id")) throw ValueError("has no \"id\"");
  ResultLine result;
  result.id = line.value("id", Value());
  result.answer = line.value("answer", Value());
  const Value attempts = line.value("attempts", Value(0));
  result.attempts = attempts.is_number_unsigned() ? attempts.get<unsigned>() : 0;
  result.gold = object_member(line, "gold", true);
  const Value error = line.value("error", Value());
  if (!error.is_null()) {
    result.error = error.is_string() ? error.get<std::string>() : error.dump();
    result.checked = line.value("checked", Value());
    return result;
  }
  result.decisions = object_member(line, "decisions", false);
  result.predicted = object_member(line, "predicted", false);
  result.checked = object_member(line, "checked", false);
  result.usage = line.value("usage", Value());
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
  if (line.error) {
    ++tally.failed;
    return;
  }
  for (const std::string& field : fields) {
    FieldTally& t = tally.fields[field];
    const std::string decision = decision_of(line.decisions, field);
    t.kept += decision == "kept";
    t.replaced += decision == "replaced";
    t.abstained += decision == "abstained";
    t.missing += decision == "missing";
    const auto truth = line.gold.is_object() ? line.gold.find(field) : line.gold.end();
    if (truth == line.gold.end()) continue;
    ++t.gold;
    t.predicted_right += is_true_label(line.predicted.value(field, Value()), *truth);
    t.checked_right += is_true_label(line.checked.value(field, Value()), *truth);
    t.gold_abstained += decision == "abstained";
  }
}

JobTally tally_results(const std::vector<std::string>& paths,
                       const std::vector<std::string>& fields) {
  JobTally tally;
  for (const std::string& field : fields) tally.fields[field];
  std::unordered_set<std::string> ids;
  for (const std::string& path : paths) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      throw std::filesystem::filesystem_error("cannot read the results file", path,
                                              std::error_code(errno, std::generic_category()));
    }
    std::string text;
    std::size_t number = 0;
    while (std::getline(in, text)) {
      if (in.eof()) break;  // no line feed after it: torn by a crash
      ++number;
      if (is_blank(text)) continue;
      const std::string where = "results file '" + path + "' line " + std::to_string(number);
      Value json;
      try {
        json = json_loads(text);
      } catch (const ValueError& e) {
        throw ValueError(where + " is not JSON: " + e.what());
      }
      ResultLine line;
      try {
        line = ResultLine::from_json(json);
      } catch (const ValueError& e) {
        throw ValueError(where + " " + e.what());
      }
      if (!ids.insert(line.id.dump()).second) {
        throw ValueError(where + " repeats the id " + line.id.dump());
      }
      count_result(tally, line, fields);
    }
    if (in.bad()) {
      throw std::filesystem::filesystem_error("cannot read the results file", path,
                                              std::error_code(errno, std::generic_category()));
    }
  }
  tally.total = tally.done;
  return tally;
}

}  // namespace tavrin::labeling
