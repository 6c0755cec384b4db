#include "tavrin/labeling/evaluation.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/labeling/journal.hpp"
#include "tavrin/labeling/report.hpp"
#include "tavrin/labeling/results.hpp"

namespace tavrin::labeling {
namespace {

constexpr std::size_t kBins = 10;
const char* const kAllFields = "all fields";
const char* const kOther = "other";

// A confidence and whether the value was right in 4 bytes, ordered as the confidence: a
// non-negative float's bits sort as the float, and its last mantissa bit (a relative 1e-7) is
// worth less than a million values' memory.
std::uint32_t curve_key(float confidence, bool right) {
  std::uint32_t bits = 0;
  std::memcpy(&bits, &confidence, sizeof bits);
  return (bits & ~1U) | static_cast<std::uint32_t>(right);
}

float key_confidence(std::uint32_t key) {
  key &= ~1U;
  float confidence = 0;
  std::memcpy(&confidence, &key, sizeof confidence);
  return confidence;
}

std::optional<double> number_member(const Value& object, const char* name) {
  if (!object.is_object()) return std::nullopt;
  const auto found = object.find(name);
  if (found == object.end() || !found->is_number()) return std::nullopt;
  return found->get<double>();
}

double ratio(std::size_t part, std::size_t whole) {
  return whole == 0 ? 0 : static_cast<double>(part) / static_cast<double>(whole);
}

// What one section (a field or all fields) gathers besides its tally.
struct Section {
  FieldEvaluation eval;
  std::vector<std::uint32_t> curve;
  double confidence_sum = 0;
  std::array<std::size_t, kBins> bin_count{};
  std::array<std::size_t, kBins> bin_right{};
  std::array<double, kBins> bin_sum{};
};

struct FieldValue {
  const ResultLine* line;
  const std::string* field;
  const Value* decision;  // the decision's object, or nullptr
  std::string kind;       // its name, or empty
  Value checked;
  const Value* truth;
  bool right;
};

EvaluationExample example_of(const FieldValue& v, std::optional<double> confidence) {
  return {v.line->id,
          *v.field,
          v.kind,
          v.line->error ? Value() : v.line->predicted.value(*v.field, Value()),
          v.checked,
          v.truth != nullptr ? *v.truth : Value(),
          v.decision != nullptr ? number_member(*v.decision, "score") : std::nullopt,
          confidence};
}

void add_value(Section& s, const FieldValue& v, const EvaluationOptions& options) {
  FieldEvaluation& e = s.eval;
  e.covered += !v.checked.is_null();
  const std::optional<double> confidence =
      v.decision != nullptr ? number_member(*v.decision, "confidence") : std::nullopt;
  if (confidence) {
    const double c = std::clamp(*confidence, 0.0, 1.0);
    ++e.with_confidence;
    s.confidence_sum += c;
    if (v.truth != nullptr) {
      const std::size_t bin = std::min(kBins - 1, static_cast<std::size_t>(c * kBins));
      ++s.bin_count[bin];
      s.bin_right[bin] += v.right;
      s.bin_sum[bin] += c;
      s.curve.push_back(curve_key(static_cast<float>(c), v.right));
    }
  }
  if (v.kind == "replaced" && v.truth != nullptr && v.decision != nullptr) {
    if (const auto score = number_member(*v.decision, "score")) {
      const std::size_t bins = options.histogram_bins;
      const auto bin = static_cast<std::size_t>(
          std::clamp(*score * static_cast<double>(bins), 0.0, static_cast<double>(bins - 1)));
      ++(v.right ? e.similarity.right : e.similarity.wrong)[bin];
    }
  }
  if ((v.kind == "replaced" || v.kind == "asked") && e.corrections.size() < options.examples) {
    e.corrections.push_back(example_of(v, confidence));
  }
  if ((v.kind == "abstained" || v.kind == "low_confidence") &&
      e.abstentions.size() < options.examples) {
    e.abstentions.push_back(example_of(v, confidence));
  }
  if (confidence && v.truth != nullptr && !v.right && options.examples > 0) {
    auto& errors = e.confident_errors;
    const auto less_confident = [](const EvaluationExample& a, const EvaluationExample& b) {
      return a.confidence.value_or(0) > b.confidence.value_or(0);
    };
    if (errors.size() < options.examples || *confidence > errors.back().confidence.value_or(0)) {
      EvaluationExample x = example_of(v, confidence);
      errors.insert(std::upper_bound(errors.begin(), errors.end(), x, less_confident),
                    std::move(x));
      if (errors.size() > options.examples) errors.pop_back();
    }
  }
}

ConfusionMatrix confusion_of(const FieldTally& t, const std::vector<LabelScore>& scores,
                             std::size_t shown) {
  std::vector<const LabelScore*> order;
  for (const LabelScore& s : scores) order.push_back(&s);
  std::stable_sort(order.begin(), order.end(), [](const LabelScore* a, const LabelScore* b) {
    return a->support + a->predicted > b->support + b->predicted;
  });
  ConfusionMatrix m;
  m.grouped = order.size() > shown;
  const std::size_t named = m.grouped ? (shown > 0 ? shown - 1 : 0) : order.size();
  std::map<std::string, std::size_t> index;
  for (std::size_t i = 0; i < named; ++i) {
    index[order[i]->label] = i;
    m.labels.push_back(order[i]->label);
  }
  if (m.grouped) m.labels.emplace_back(kOther);
  const std::size_t columns = m.labels.size() + 1;  // and null
  m.cells.assign(m.labels.size(), std::vector<std::size_t>(columns, 0));
  const auto at = [&](const std::string& label) {
    const auto found = index.find(label);
    return found == index.end() ? named : found->second;
  };
  for (const auto& [label, count] : t.right_by_label) m.cells[at(label)][at(label)] += count;
  for (const auto& [pair, count] : t.confusions) {
    m.cells[at(pair.first)][pair.second ? at(*pair.second) : columns - 1] += count;
  }
  return m;
}

// Sorts the curve's values, most confident first, and keeps a point at most every
// `1 / points` of them, each at the end of a run of equal confidences: a threshold keeps all
// values at or above it.
void finish_curve(Section& s, std::size_t points) {
  FieldEvaluation& e = s.eval;
  std::vector<std::uint32_t>& keys = s.curve;
  std::sort(keys.begin(), keys.end(), std::greater<>());
  const std::size_t n = keys.size();
  const std::size_t step = std::max<std::size_t>(1, n / std::max<std::size_t>(1, points));
  const auto point = [&](std::size_t kept, std::size_t right, float confidence) {
    return CurvePoint{confidence, kept, ratio(kept, n), ratio(right, kept)};
  };
  const std::optional<float> threshold =
      e.threshold ? std::optional<float>(key_confidence(
                        curve_key(static_cast<float>(std::clamp(*e.threshold, 0.0, 1.0)), false)))
                  : std::nullopt;
  if (threshold) e.at_threshold = CurvePoint{*threshold, 0, 0, 0};
  std::size_t right = 0;
  std::size_t next = step;
  for (std::size_t i = 0; i < n;) {
    right += keys[i] & 1U;
    const float confidence = key_confidence(keys[i]);
    ++i;
    const bool run_ends = i == n || key_confidence(keys[i]) != confidence;
    if (run_ends && threshold && confidence >= *threshold &&
        (i == n || key_confidence(keys[i]) < *threshold)) {
      e.at_threshold = point(i, right, *threshold);
    }
    if (run_ends && (i >= next || i == n)) {
      e.risk_coverage.push_back(point(i, right, confidence));
      next = i + step;
    }
  }
  keys = {};
}

void finish(Section& s, const EvaluationOptions& options) {
  FieldEvaluation& e = s.eval;
  e.labels = label_scores(e.tally);
  e.macro_f1 = macro_f1(e.labels);
  e.confusion = confusion_of(e.tally, e.labels, options.matrix_labels);
  e.mean_confidence = e.with_confidence == 0 ? 0 : s.confidence_sum / e.with_confidence;
  std::size_t binned = 0;
  double gap = 0;
  for (std::size_t b = 0; b < kBins; ++b) {
    ReliabilityBin bin{static_cast<double>(b) / kBins,
                       static_cast<double>(b + 1) / kBins,
                       s.bin_count[b],
                       s.bin_right[b],
                       s.bin_count[b] == 0 ? 0 : s.bin_sum[b] / s.bin_count[b],
                       ratio(s.bin_right[b], s.bin_count[b])};
    binned += bin.count;
    gap += static_cast<double>(bin.count) * std::abs(bin.accuracy - bin.mean_confidence);
    e.reliability.push_back(bin);
  }
  if (binned > 0) e.ece = gap / static_cast<double>(binned);
  finish_curve(s, options.curve_points);
}

// The tally of `t` with each label written "field: label", for the section of all fields.
FieldTally prefixed(const FieldTally& t, const std::string& field) {
  FieldTally out = t;
  out.right_by_label.clear();
  out.confusions.clear();
  for (const auto& [label, count] : t.right_by_label)
    out.right_by_label[field + ": " + label] = count;
  for (const auto& [pair, count] : t.confusions) {
    out.confusions[{field + ": " + pair.first,
                    pair.second ? std::optional<std::string>(field + ": " + *pair.second)
                                : std::nullopt}] = count;
  }
  return out;
}

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string optional_fixed(const std::optional<double>& value, int decimals) {
  return value ? fixed(*value, decimals) : "-";
}

std::string padded(const std::string& text, std::size_t width) {
  const std::size_t columns = display_width(text);
  return text + std::string(columns < width ? width - columns : 1, ' ');
}

std::string shown(const Value& value) { return value.is_null() ? "null" : str(value); }

Value optional_json(const std::optional<double>& x) { return x ? Value(*x) : Value(); }

Value example_json(const EvaluationExample& x) {
  return {{"id", x.id},
          {"field", x.field},
          {"decision", x.decision},
          {"predicted", x.predicted},
          {"checked", x.checked},
          {"truth", x.truth},
          {"score", optional_json(x.score)},
          {"confidence", optional_json(x.confidence)}};
}

Value curve_point_json(const CurvePoint& p) {
  return {{"confidence", p.confidence},
          {"count", p.count},
          {"coverage", p.coverage},
          {"accuracy", p.accuracy}};
}

Value field_json(const FieldEvaluation& e) {
  const FieldTally& t = e.tally;
  Value decisions = {{"kept", t.kept},           {"normalized", t.normalized},
                     {"replaced", t.replaced},   {"asked", t.asked},
                     {"abstained", t.abstained}, {"low_confidence", t.low_confidence},
                     {"no_answer", t.no_answer}, {"invalid", t.invalid},
                     {"missing", t.missing},     {"reviewed", t.reviewed}};
  Value labels = Value::array();
  for (const LabelScore& s : e.labels) {
    labels.push_back({{"label", s.label},
                      {"support", s.support},
                      {"predicted", s.predicted},
                      {"right", s.right},
                      {"precision", s.precision},
                      {"recall", s.recall},
                      {"f1", s.f1}});
  }
  Value bins = Value::array();
  for (const ReliabilityBin& b : e.reliability) {
    bins.push_back({{"lower", b.lower},
                    {"upper", b.upper},
                    {"count", b.count},
                    {"right", b.right},
                    {"mean_confidence", b.mean_confidence},
                    {"accuracy", b.accuracy}});
  }
  Value curve = Value::array();
  for (const CurvePoint& p : e.risk_coverage) curve.push_back(curve_point_json(p));
  const auto examples = [](const std::vector<EvaluationExample>& xs) {
    Value out = Value::array();
    for (const EvaluationExample& x : xs) out.push_back(example_json(x));
    return out;
  };
  return {{"field", e.field},
          {"values", e.values},
          {"covered", e.covered},
          {"coverage", e.coverage()},
          {"gold", t.gold},
          {"right", t.checked_right},
          {"predicted_right", t.predicted_right},
          {"accuracy", e.accuracy()},
          {"gold_failed", t.gold_failed},
          {"gold_reviewed", t.gold_reviewed},
          {"decisions", decisions},
          {"labels", labels},
          {"macro_f1", optional_json(e.macro_f1)},
          {"confusion",
           {{"labels", e.confusion.labels},
            {"grouped", e.confusion.grouped},
            {"cells", e.confusion.cells}}},
          {"with_confidence", e.with_confidence},
          {"mean_confidence", e.with_confidence == 0 ? Value() : Value(e.mean_confidence)},
          {"reliability", bins},
          {"ece", optional_json(e.ece)},
          {"risk_coverage", curve},
          {"threshold", optional_json(e.threshold)},
          {"at_threshold", e.at_threshold ? curve_point_json(*e.at_threshold) : Value()},
          {"similarity", {{"right", e.similarity.right}, {"wrong", e.similarity.wrong}}},
          {"corrections", examples(e.corrections)},
          {"abstentions", examples(e.abstentions)},
          {"confident_errors", examples(e.confident_errors)}};
}

}  // namespace

std::vector<LabelScore> label_scores(const FieldTally& t) {
  std::map<std::string, LabelScore> by_label;
  const auto entry = [&](const std::string& label) -> LabelScore& {
    LabelScore& s = by_label[label];
    s.label = label;
    return s;
  };
  for (const auto& [label, count] : t.right_by_label) {
    LabelScore& s = entry(label);
    s.right += count;
    s.support += count;
    s.predicted += count;
  }
  for (const auto& [pair, count] : t.confusions) {
    entry(pair.first).support += count;
    if (pair.second) entry(*pair.second).predicted += count;
  }
  std::vector<LabelScore> scores;
  for (auto& [label, s] : by_label) {
    s.precision = ratio(s.right, s.predicted);
    s.recall = ratio(s.right, s.support);
    const double sum = s.precision + s.recall;
    s.f1 = sum == 0 ? 0 : 2 * s.precision * s.recall / sum;
    scores.push_back(std::move(s));
  }
  return scores;
}

std::optional<double> macro_f1(const std::vector<LabelScore>& scores) {
  if (scores.empty()) return std::nullopt;
  double sum = 0;
  for (const LabelScore& s : scores) sum += s.f1;
  return sum / static_cast<double>(scores.size());
}

std::vector<std::string> top_confusions(const FieldTally& t, std::size_t count) {
  std::vector<std::pair<const std::pair<std::string, std::optional<std::string>>*, std::size_t>>
      wrong;
  for (const auto& [pair, n] : t.confusions) {
    if (pair.second) wrong.emplace_back(&pair, n);
  }
  std::stable_sort(wrong.begin(), wrong.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < wrong.size() && i < count; ++i) {
    lines.push_back(wrong[i].first->first + " -> " + *wrong[i].first->second + " " +
                    std::to_string(wrong[i].second));
  }
  return lines;
}

double FieldEvaluation::accuracy() const { return ratio(tally.checked_right, tally.gold); }
double FieldEvaluation::coverage() const { return ratio(covered, values); }

Value Evaluation::to_json() const {
  Value out = {{"files", files},
               {"records", records},
               {"failed", failed},
               {"retries", retries},
               {"prompt_tokens", prompt_tokens},
               {"completion_tokens", completion_tokens},
               {"cached_tokens", cached_tokens},
               {"fields", Value::array()},
               {"all", field_json(all)}};
  for (const FieldEvaluation& e : fields) out["fields"].push_back(field_json(e));
  return out;
}

Evaluation evaluate_results(const std::vector<std::string>& paths,
                            const EvaluationOptions& options) {
  std::vector<std::string> fields = options.fields;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (std::find(fields.begin(), fields.begin() + static_cast<std::ptrdiff_t>(i), fields[i]) !=
        fields.begin() + static_cast<std::ptrdiff_t>(i)) {
      throw ValueError("the field " + repr(Value(fields[i])) + " is named twice");
    }
  }
  const bool fields_given = !fields.empty();
  Evaluation result;
  result.files = paths;
  JobTally tally;
  std::vector<Section> sections;
  const auto new_section = [&](const std::string& field) {
    Section s;
    s.eval.field = field;
    const auto threshold = options.thresholds.find(field);
    if (threshold != options.thresholds.end()) s.eval.threshold = threshold->second;
    s.eval.similarity.right.resize(options.histogram_bins);
    s.eval.similarity.wrong.resize(options.histogram_bins);
    return s;
  };
  for (const std::string& field : fields) sections.push_back(new_section(field));
  Section all = new_section(kAllFields);
  read_results(paths, [&](const ResultLine& line) {
    if (!fields_given && !line.error) {
      for (const auto& [field, decision] : line.decisions.items()) {
        if (std::find(fields.begin(), fields.end(), field) != fields.end()) continue;
        fields.push_back(field);
        sections.push_back(new_section(field));
      }
    }
    count_result(tally, line, fields);
    result.retries += line.attempts > 1 ? line.attempts - 1 : 0;
    result.prompt_tokens += token_count(line.usage, "prompt_tokens");
    result.completion_tokens += token_count(line.usage, "completion_tokens");
    result.cached_tokens += cached_prompt_tokens(line.usage);
    for (std::size_t i = 0; i < fields.size(); ++i) {
      FieldValue v{&line, &fields[i], nullptr, "", Value(), true_label_of(line, fields[i]), false};
      if (!line.error) {
        const auto decision = line.decisions.find(fields[i]);
        if (decision != line.decisions.end()) {
          v.decision = &*decision;
          v.kind = decision->value("decision", Value("")).get<std::string>();
        }
        v.checked = line.checked.value(fields[i], Value());
      }
      v.right = v.truth != nullptr && is_true_label(v.checked, *v.truth);
      add_value(sections[i], v, options);
      add_value(all, v, options);
    }
  });
  if (fields.empty()) throw ValueError("no field to evaluate: no line has a decision");
  result.records = tally.done;
  result.failed = tally.failed;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    Section& s = sections[i];
    s.eval.tally = tally.fields[fields[i]];
    s.eval.values = tally.done;
    all.eval.tally += fields.size() == 1 ? s.eval.tally : prefixed(s.eval.tally, fields[i]);
    finish(s, options);
    result.fields.push_back(std::move(s.eval));
  }
  all.eval.values = tally.done * fields.size();
  finish(all, options);
  result.all = std::move(all.eval);
  return result;
}

RunComparison compare_runs(const std::string& first, const std::string& second,
                           const std::vector<std::string>& fields, std::size_t limit) {
  EvaluationOptions options{.fields = fields, .examples = 0};
  const Evaluation a = evaluate_results({first}, options);
  options.fields.clear();
  for (const FieldEvaluation& e : a.fields) options.fields.push_back(e.field);
  const Evaluation b = evaluate_results({second}, options);
  RunComparison out;
  const auto sides = [](const Evaluation& e) {
    std::vector<RunComparison::Side> sides;
    const auto side = [](const FieldEvaluation& f) {
      return RunComparison::Side{
          f.field,
          f.accuracy(),
          f.tally.gold,
          f.coverage(),
          f.with_confidence == 0 ? std::nullopt : std::optional<double>(f.mean_confidence),
          f.ece};
    };
    for (const FieldEvaluation& f : e.fields) sides.push_back(side(f));
    sides.push_back(side(e.all));
    return sides;
  };
  out.first = sides(a);
  out.second = sides(b);

  std::unordered_map<std::string, Value> checked;  // id_key to the first run's checked values
  read_results({first}, [&](const ResultLine& line) {
    checked.emplace(id_key(line.id), line.error ? Value() : line.checked);
  });
  read_results({second}, [&](const ResultLine& line) {
    const auto found = checked.find(id_key(line.id));
    if (found == checked.end()) {
      ++out.only_second;
      return;
    }
    ++out.common;
    for (const std::string& field : options.fields) {
      const Value x = found->second.is_object() ? found->second.value(field, Value()) : Value();
      const Value y = line.error ? Value() : line.checked.value(field, Value());
      if (x.is_null() == y.is_null() && (x.is_null() || str(x) == str(y))) continue;
      ++out.differing;
      if (out.differences.size() < limit) {
        const Value* truth = true_label_of(line, field);
        out.differences.push_back({line.id, field, x, y, truth != nullptr ? *truth : Value()});
      }
    }
    checked.erase(found);
  });
  out.only_first = checked.size();
  return out;
}

}  // namespace tavrin::labeling

namespace tavrin::labeling {

std::vector<std::string> evaluation_lines(const Evaluation& e) {
  std::vector<std::string> lines;
  lines.push_back("  records   " + std::to_string(e.records) + " (" + std::to_string(e.failed) +
                  " failed), retries " + std::to_string(e.retries) + ", tokens " +
                  token_summary(e.prompt_tokens, e.cached_tokens, e.completion_tokens));
  lines.push_back("    " + padded("field", 14) + padded("accuracy", 10) + padded("coverage", 10) +
                  padded("macro-F1", 10) + padded("confidence", 12) + "ECE");
  const auto row = [&](const FieldEvaluation& f) {
    lines.push_back(
        "    " + padded(f.field, 14) + padded(percent(f.tally.checked_right, f.tally.gold), 10) +
        padded(percent(f.covered, f.values), 10) + padded(optional_fixed(f.macro_f1, 3), 10) +
        padded(f.with_confidence == 0 ? "-" : fixed(f.mean_confidence, 3), 12) +
        optional_fixed(f.ece, 4));
  };
  for (const FieldEvaluation& f : e.fields) row(f);
  if (e.fields.size() > 1) row(e.all);
  return lines;
}

std::vector<std::string> comparison_lines(const RunComparison& c) {
  std::vector<std::string> lines;
  lines.push_back("    " + padded("field", 14) + padded("accuracy", 17) + padded("coverage", 17) +
                  padded("confidence", 17) + "ECE");
  const auto pair = [](const std::string& a, const std::string& b) {
    return padded(a + " | " + b, 17);
  };
  for (std::size_t i = 0; i < c.first.size() && i < c.second.size(); ++i) {
    const RunComparison::Side& a = c.first[i];
    const RunComparison::Side& b = c.second[i];
    const auto accuracy = [](const RunComparison::Side& s) {
      return s.gold == 0 ? std::string("-") : fixed(100 * s.accuracy, 1) + "%";
    };
    lines.push_back(
        "    " + padded(a.field, 14) + pair(accuracy(a), accuracy(b)) +
        pair(fixed(100 * a.coverage, 1) + "%", fixed(100 * b.coverage, 1) + "%") +
        pair(optional_fixed(a.mean_confidence, 3), optional_fixed(b.mean_confidence, 3)) +
        optional_fixed(a.ece, 4) + " | " + optional_fixed(b.ece, 4));
  }
  lines.push_back("  records   " + std::to_string(c.common) + " in both runs, " +
                  std::to_string(c.only_first) + " only in the first, " +
                  std::to_string(c.only_second) + " only in the second (not compared)");
  lines.push_back("  differ    " + std::to_string(c.differing) + " values" +
                  (c.differences.size() < c.differing
                       ? " (the first " + std::to_string(c.differences.size()) + " below)"
                       : std::string()));
  for (const RunComparison::Difference& d : c.differences) {
    lines.push_back("    id " + shown(d.id) + "  " + d.field + "  " + shown(d.first) + " -> " +
                    shown(d.second) +
                    (d.truth.is_null() ? "" : "  (true: " + shown(d.truth) + ")"));
  }
  return lines;
}

}  // namespace tavrin::labeling
