#include "tavrin/labeling/calibration.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <utility>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/atomic_file.hpp"
#include "tavrin/core/json.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/labeling/results.hpp"
#include "tavrin/labeling/run_settings.hpp"

namespace tavrin::labeling {
namespace {

namespace fs = std::filesystem;

constexpr const char* kFormatKey = "tavrin_calibration";
constexpr int kFormatVersion = 1;
constexpr const char* kSettingKeys[] = {
    "target_fields", "model", "template_sha256", "labels_sha256", "embedding_models", "examples"};
constexpr std::size_t kReliabilityBins = 10;
// The figures of a field's fit, as calibration.json names them.
constexpr std::pair<const char*, double FieldCalibration::*> kFigures[] = {
    {"coverage", &FieldCalibration::coverage},
    {"precision", &FieldCalibration::precision},
    {"precision_bound", &FieldCalibration::precision_bound},
    {"ece_before", &FieldCalibration::ece_before},
    {"ece_after", &FieldCalibration::ece_after},
    {"brier_before", &FieldCalibration::brier_before},
    {"brier_after", &FieldCalibration::brier_after}};
// Cross-validation needs this many values per fold; fewer, and the figures are in-sample.
constexpr std::size_t kValuesPerFold = 10;
// The ridge penalty of the logistic regression: it keeps the weights finite when a signal
// separates right from wrong perfectly, or is constant (an absent signal's flag).
constexpr double kRidge = 1.0;
// Newton's method converges in a few steps; a step this small changes no probability that
// matters.
constexpr int kMaxNewtonSteps = 25;
constexpr double kNewtonTolerance = 1e-6;

// The values of one field the fit learns from: the features of each, whether it was right,
// and its fixed confidence. Features as float: a million values stay small.
struct Sample {
  std::size_t width = feature_names().size();
  std::vector<float> features{};
  std::vector<unsigned char> right{};
  std::vector<float> fixed{};

  std::size_t size() const { return right.size(); }
  const float* row(std::size_t i) const { return features.data() + i * width; }
};

struct Linear {
  std::vector<double> weights;
  double intercept = 0;

  double at(const float* x) const {
    double z = intercept;
    for (std::size_t j = 0; j < weights.size(); ++j) z += weights[j] * x[j];
    return logistic(z);
  }
};

// Solves a * x = b for a symmetric positive definite `a` (n by n, row-major) by Cholesky.
std::vector<double> solve(std::vector<double> a, std::vector<double> b, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    double d = a[j * n + j];
    for (std::size_t k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
    d = std::sqrt(std::max(d, 1e-12));
    a[j * n + j] = d;
    for (std::size_t i = j + 1; i < n; ++i) {
      double s = a[i * n + j];
      for (std::size_t k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
      a[i * n + j] = s / d;
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t k = 0; k < i; ++k) b[i] -= a[i * n + k] * b[k];
    b[i] /= a[i * n + i];
  }
  for (std::size_t i = n; i-- > 0;) {
    for (std::size_t k = i + 1; k < n; ++k) b[i] -= a[k * n + i] * b[k];
    b[i] /= a[i * n + i];
  }
  return b;
}

// Ridge-penalised logistic regression by Newton's method over the values `use` selects.
template <class Use>
Linear fit_logistic(const Sample& sample, Use use) {
  const std::size_t w = sample.width;
  const std::size_t n = w + 1;  // the intercept last
  Linear model{std::vector<double>(w, 0.0), 0};
  for (int step = 0; step < kMaxNewtonSteps; ++step) {
    std::vector<double> hessian(n * n, 0.0), gradient(n, 0.0);
    for (std::size_t i = 0; i < sample.size(); ++i) {
      if (!use(i)) continue;
      const float* x = sample.row(i);
      const double p = model.at(x);
      const double r = p - sample.right[i];
      const double v = std::max(p * (1 - p), 1e-9);
      for (std::size_t a = 0; a < n; ++a) {
        const double xa = a < w ? x[a] : 1.0;
        gradient[a] += r * xa;
        for (std::size_t b = 0; b <= a; ++b) hessian[a * n + b] += v * xa * (b < w ? x[b] : 1.0);
      }
    }
    for (std::size_t a = 0; a < n; ++a) {
      for (std::size_t b = 0; b < a; ++b) hessian[b * n + a] = hessian[a * n + b];
      if (a < w) {
        hessian[a * n + a] += kRidge;
        gradient[a] += kRidge * model.weights[a];
      }
    }
    const std::vector<double> delta = solve(std::move(hessian), std::move(gradient), n);
    double largest = 0;
    for (std::size_t a = 0; a < n; ++a) {
      (a < w ? model.weights[a] : model.intercept) -= delta[a];
      largest = std::max(largest, std::abs(delta[a]));
    }
    if (largest < kNewtonTolerance) break;
  }
  return model;
}

// The isotonic regression of rightness on `scores` (pool adjacent violators): a knot between
// each block and the next, midway between their scores (so that a score computed again, a
// rounding away, falls in the same block), with the block's share right.
std::pair<std::vector<double>, std::vector<double>> fit_isotonic(
    std::vector<std::pair<double, unsigned char>> points) {
  std::sort(points.begin(), points.end());
  struct Block {
    double low;
    double high;
    double right;
    double count;
  };
  std::vector<Block> blocks;
  for (std::size_t i = 0; i < points.size();) {
    Block block{points[i].first, points[i].first, 0, 0};
    // Equal scores are one point: the map is a function of the score.
    for (; i < points.size() && points[i].first == block.low; ++i) {
      block.right += points[i].second;
      block.count += 1;
    }
    blocks.push_back(block);
    while (blocks.size() > 1 && blocks[blocks.size() - 2].right * blocks.back().count >=
                                    blocks.back().right * blocks[blocks.size() - 2].count) {
      const Block last = blocks.back();
      blocks.pop_back();
      blocks.back().high = last.high;
      blocks.back().right += last.right;
      blocks.back().count += last.count;
    }
  }
  std::vector<double> knots, probabilities;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    knots.push_back(b == 0 ? blocks[b].low : (blocks[b - 1].high + blocks[b].low) / 2);
    probabilities.push_back(blocks[b].right / blocks[b].count);
  }
  return {knots, probabilities};
}

double step_at(const std::vector<double>& knots, const std::vector<double>& probabilities,
               double score) {
  const auto above = std::upper_bound(knots.begin(), knots.end(), score);
  return probabilities[above == knots.begin() ? 0 : (above - knots.begin()) - 1];
}

// One fit (logistic, then isotonic) over the values `use` selects.
template <class Use>
FieldCalibration fit(const Sample& sample, Use use) {
  FieldCalibration field;
  const Linear model = fit_logistic(sample, use);
  std::vector<std::pair<double, unsigned char>> points;
  for (std::size_t i = 0; i < sample.size(); ++i) {
    if (use(i)) points.emplace_back(model.at(sample.row(i)), sample.right[i]);
  }
  std::tie(field.knots, field.probabilities) = fit_isotonic(std::move(points));
  field.weights = model.weights;
  field.intercept = model.intercept;
  return field;
}

struct Fit {
  double ece = 0;
  double brier = 0;
};

Fit figures(const std::vector<double>& confidence, const std::vector<unsigned char>& right) {
  std::vector<double> sum(kReliabilityBins, 0), hits(kReliabilityBins, 0),
      count(kReliabilityBins, 0);
  Fit fit;
  for (std::size_t i = 0; i < confidence.size(); ++i) {
    const auto bin =
        std::min(kReliabilityBins - 1, static_cast<std::size_t>(confidence[i] * kReliabilityBins));
    sum[bin] += confidence[i];
    hits[bin] += right[i];
    count[bin] += 1;
    fit.brier += (confidence[i] - right[i]) * (confidence[i] - right[i]);
  }
  const auto n = static_cast<double>(confidence.size());
  for (std::size_t b = 0; b < kReliabilityBins; ++b) {
    if (count[b] > 0) fit.ece += std::abs(sum[b] - hits[b]) / n;
  }
  fit.brier /= n;
  return fit;
}

// The z of a one-sided confidence `level` of the normal distribution.
double normal_quantile(double level) {
  double low = -10, high = 10;
  for (int i = 0; i < 100; ++i) {
    const double mid = (low + high) / 2;
    (0.5 * std::erfc(-mid / std::sqrt(2.0)) < level ? low : high) = mid;
  }
  return (low + high) / 2;
}

// The lower bound of the Wilson score interval of `right` of `n`.
double wilson_lower(double right, double n, double z) {
  if (n == 0) return 0;
  const double p = right / n;
  const double z2 = z * z;
  return (p + z2 / (2 * n) - z * std::sqrt(p * (1 - p) / n + z2 / (4 * n * n))) / (1 + z2 / n);
}

// The lowest threshold on `confidence` whose values at or above it reach `target` (their
// precision's lower bound), with its coverage and precision.
void choose_threshold(FieldCalibration& field, const std::vector<double>& confidence,
                      const std::vector<unsigned char>& right, double target, double z) {
  std::vector<std::size_t> order(confidence.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return confidence[a] > confidence[b]; });
  double taken = 0, hits = 0;
  field.precision = 1;
  for (std::size_t k = 0; k < order.size(); ++k) {
    taken += 1;
    hits += right[order[k]];
    const bool last_of_value =
        k + 1 == order.size() || confidence[order[k + 1]] != confidence[order[k]];
    if (!last_of_value) continue;
    const double bound = wilson_lower(hits, taken, z);
    if (bound >= target) {
      field.threshold = confidence[order[k]];
      field.coverage = taken / static_cast<double>(order.size());
      field.precision = hits / taken;
      field.precision_bound = bound;
    }
  }
}

std::string fixed_digits(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

Value settings_beside(const std::string& path) {
  const std::string recorded = run_settings_path(path);
  if (!fs::exists(recorded)) return Value();
  std::ifstream in(recorded, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Value run;
  try {
    run = json_loads(text);
  } catch (const ValueError& e) {
    throw ValueError(repr(Value(recorded)) + " is no record of run settings: " + e.what());
  }
  if (!run.is_object()) throw ValueError(repr(Value(recorded)) + " is no JSON object");
  return calibration_settings(run);
}

// The settings the files at `paths` were made with, which must agree.
Value settings_of(const std::vector<std::string>& paths) {
  Value settings;
  std::string from;
  for (const std::string& path : paths) {
    Value these = settings_beside(path);
    if (these.is_null()) continue;
    if (!settings.is_null() && these != settings) {
      std::string differences;
      for (const auto& [key, value] : settings.items()) {
        const Value other = these.value(key, Value());
        if (other != value) differences += (differences.empty() ? "" : ", ") + key;
      }
      throw ValueError("the results files " + repr(Value(from)) + " and " + repr(Value(path)) +
                       " were made with other settings (" + differences + ")");
    }
    settings = std::move(these);
    from = path;
  }
  return settings.is_null() ? Value::object() : settings;
}

std::vector<std::string> fields_of(const CalibrationOptions& options, const Value& settings,
                                   const std::vector<std::string>& seen) {
  if (!options.fields.empty()) return options.fields;
  const auto targets = settings.find("target_fields");
  if (targets != settings.end() && targets->is_array()) {
    return targets->get<std::vector<std::string>>();
  }
  return seen;
}

double number_in(const Value& json, const char* key, const std::string& where) {
  const auto found = json.find(key);
  if (found == json.end() || !found->is_number()) {
    throw ValueError(where + " has no number \"" + key + "\"");
  }
  return found->get<double>();
}

std::vector<double> numbers_in(const Value& json, const char* key, const std::string& where) {
  const auto found = json.find(key);
  if (found == json.end() || !found->is_array()) {
    throw ValueError(where + " has no list \"" + key + "\"");
  }
  std::vector<double> numbers;
  for (const Value& n : *found) {
    if (!n.is_number()) throw ValueError(where + " has a \"" + key + "\" that is not all numbers");
    numbers.push_back(n.get<double>());
  }
  return numbers;
}

FieldCalibration field_from_json(const Value& json, const std::string& where) {
  if (!json.is_object()) throw ValueError(where + " is no object");
  FieldCalibration field;
  field.weights = numbers_in(json, "weights", where);
  field.intercept = number_in(json, "intercept", where);
  field.knots = numbers_in(json, "knots", where);
  field.probabilities = numbers_in(json, "probabilities", where);
  if (field.weights.size() != feature_names().size()) {
    throw ValueError(where + " has " + std::to_string(field.weights.size()) + " weights, not " +
                     std::to_string(feature_names().size()));
  }
  if (field.knots.empty() || field.knots.size() != field.probabilities.size() ||
      !std::is_sorted(field.knots.begin(), field.knots.end())) {
    throw ValueError(where + " has no increasing knots with a probability each");
  }
  for (const double p : field.probabilities) {
    if (!(p >= 0 && p <= 1)) throw ValueError(where + " has a probability outside [0, 1]");
  }
  const Value threshold = json.value("threshold", Value());
  if (!threshold.is_null()) {
    if (!threshold.is_number() || !(threshold.get<double>() >= 0 && threshold.get<double>() <= 1)) {
      throw ValueError(where + " has a threshold that is no number in [0, 1]");
    }
    field.threshold = threshold.get<double>();
  }
  for (const auto& [key, member] : kFigures) field.*member = json.value(key, 0.0);
  field.values = json.value("values", std::size_t{0});
  field.right = json.value("right", std::size_t{0});
  return field;
}

}  // namespace

double FieldCalibration::score(const Signals& signals) const {
  const std::vector<double> x = confidence_features(signals);
  double z = intercept;
  for (std::size_t j = 0; j < x.size() && j < weights.size(); ++j) z += weights[j] * x[j];
  return logistic(z);
}

std::optional<double> FieldCalibration::confidence(const Signals& signals) const {
  if (!has_confidence(signals.decision) || knots.empty()) return std::nullopt;
  return step_at(knots, probabilities, score(signals));
}

Value Calibration::to_json() const {
  Value json = Value::object();
  json[kFormatKey] = kFormatVersion;
  json["target_precision"] = target_precision;
  json["confidence_level"] = confidence_level;
  json["settings"] = settings;
  json["features"] = feature_names();
  Value all = Value::object();
  for (const auto& [name, field] : fields) {
    Value f = Value::object();
    f["threshold"] = field.threshold ? Value(*field.threshold) : Value();
    f["values"] = field.values;
    f["right"] = field.right;
    for (const auto& [key, member] : kFigures) f[key] = field.*member;
    f["weights"] = field.weights;
    f["intercept"] = field.intercept;
    f["knots"] = field.knots;
    f["probabilities"] = field.probabilities;
    all[name] = std::move(f);
  }
  json["fields"] = std::move(all);
  return json;
}

Calibration Calibration::from_json(const Value& json) {
  if (!json.is_object() || json.value(kFormatKey, Value()) != Value(kFormatVersion)) {
    throw ValueError("is no calibration (version " + std::to_string(kFormatVersion) + ")");
  }
  if (json.value("features", Value()) != Value(feature_names())) {
    throw ValueError("was made with other confidence features");
  }
  Calibration calibration;
  calibration.target_precision = number_in(json, "target_precision", "the calibration");
  calibration.confidence_level = number_in(json, "confidence_level", "the calibration");
  calibration.settings = json.value("settings", Value::object());
  const auto fields = json.find("fields");
  if (fields == json.end() || !fields->is_object()) {
    throw ValueError("has no \"fields\" object");
  }
  for (const auto& [name, field] : fields->items()) {
    calibration.fields[name] = field_from_json(field, "field " + repr(Value(name)));
  }
  return calibration;
}

Value calibration_settings(const Value& run) {
  Value settings = Value::object();
  for (const char* key : kSettingKeys) {
    const auto found = run.find(key);
    if (found != run.end()) settings[key] = *found;
  }
  return settings;
}

Calibration calibrate(const std::vector<std::string>& paths, const CalibrationOptions& options) {
  if (!(options.target_precision > 0 && options.target_precision <= 1)) {
    throw ValueError("the target precision " + fixed_digits(options.target_precision, 4) +
                     " is not in (0, 1]");
  }
  if (!(options.confidence_level >= 0.5 && options.confidence_level < 1)) {
    throw ValueError("the confidence level " + fixed_digits(options.confidence_level, 4) +
                     " is not in [0.5, 1)");
  }
  Calibration calibration;
  calibration.target_precision = options.target_precision;
  calibration.confidence_level = options.confidence_level;
  calibration.settings = settings_of(paths);
  std::vector<std::string> seen;
  std::map<std::string, Sample> samples;
  read_results(paths, [&](const ResultLine& line) {
    if (line.error || !line.decisions.is_object() || !line.gold.is_object()) return;
    for (const auto& [field, decision] : line.decisions.items()) {
      if (std::find(seen.begin(), seen.end(), field) == seen.end()) seen.push_back(field);
      const auto truth = line.gold.find(field);
      if (truth == line.gold.end() || truth->is_null()) continue;
      const Signals signals = signals_from_json(decision);
      if (!has_confidence(signals.decision)) continue;
      // A value reviewed or abstained for low confidence counts as the value the check gave.
      const Value& checked = decision.contains("checked_before")
                                 ? decision.at("checked_before")
                                 : line.checked.value(field, Value());
      Sample& sample = samples[field];
      const std::vector<double> x = confidence_features(signals);
      sample.features.insert(sample.features.end(), x.begin(), x.end());
      sample.right.push_back(!checked.is_null() && str(checked) == str(*truth) ? 1 : 0);
      sample.fixed.push_back(static_cast<float>(fixed_confidence(signals).value_or(0)));
    }
  });
  const double z = normal_quantile(options.confidence_level);
  for (const std::string& name : fields_of(options, calibration.settings, seen)) {
    const auto found = samples.find(name);
    if (found == samples.end()) {
      throw ValueError("field " + repr(Value(name)) +
                       " has no value with a true label to calibrate with");
    }
    const Sample& sample = found->second;
    FieldCalibration field = fit(sample, [](std::size_t) { return true; });
    field.values = sample.size();
    field.right = static_cast<std::size_t>(std::count(sample.right.begin(), sample.right.end(), 1));
    std::vector<double> calibrated(sample.size()), fixed(sample.size());
    for (std::size_t i = 0; i < sample.size(); ++i) {
      calibrated[i] = step_at(field.knots, field.probabilities,
                              Linear{field.weights, field.intercept}.at(sample.row(i)));
      fixed[i] = sample.fixed[i];
    }
    choose_threshold(field, calibrated, sample.right, options.target_precision, z);
    // The calibrated figures of values each fit did not see, when there are enough.
    std::vector<double> held_out = calibrated;
    const std::size_t folds = options.folds;
    if (folds >= 2 && sample.size() >= folds * kValuesPerFold) {
      for (std::size_t k = 0; k < folds; ++k) {
        const FieldCalibration part = fit(sample, [&](std::size_t i) { return i % folds != k; });
        const Linear model{part.weights, part.intercept};
        for (std::size_t i = k; i < sample.size(); i += folds) {
          held_out[i] = step_at(part.knots, part.probabilities, model.at(sample.row(i)));
        }
      }
    }
    const Fit before = figures(fixed, sample.right);
    const Fit after = figures(held_out, sample.right);
    field.ece_before = before.ece;
    field.brier_before = before.brier;
    field.ece_after = after.ece;
    field.brier_after = after.brier;
    calibration.fields[name] = std::move(field);
  }
  return calibration;
}

std::map<std::string, double> Calibration::thresholds() const {
  std::map<std::string, double> chosen;
  for (const auto& [name, field] : fields) {
    if (field.threshold) chosen[name] = *field.threshold;
  }
  return chosen;
}

void require_calibration_fits(const Calibration& calibration, const Value& run,
                              const std::string& calibration_path) {
  const Value now = calibration_settings(run);
  std::string differences;
  for (const auto& [key, value] : calibration.settings.items()) {
    const Value current = now.value(key, Value());
    if (current != value) {
      differences += "\n  " + key + ": " + value.dump() + " in " + calibration_path + ", " +
                     current.dump() + " now";
    }
  }
  const auto targets = run.find("target_fields");
  if (targets != run.end() && targets->is_array()) {
    for (const Value& field : *targets) {
      if (field.is_string() && calibration.fields.count(field.get<std::string>()) == 0) {
        differences += "\n  field " + repr(field) + " is not calibrated in " + calibration_path;
      }
    }
  }
  if (!differences.empty()) {
    throw ValueError(calibration_path + " was made from a run with other settings:" + differences);
  }
}

Calibration read_calibration(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw fs::filesystem_error("cannot read the calibration", path,
                               std::make_error_code(std::errc::no_such_file_or_directory));
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  try {
    return Calibration::from_json(json_loads(text));
  } catch (const ValueError& e) {
    throw ValueError(repr(Value(path)) + " " + e.what());
  }
}

void write_calibration(const std::string& path, const Calibration& calibration) {
  internal::AtomicFile file(path);
  file.write(calibration.to_json().dump(2) + "\n");
  file.commit();
}

void write_confidences(ResultLine& line, const olvane::ScoredCheck& scored,
                       const std::vector<TokenLogprob>& tokens, const std::vector<Value>& examples,
                       const Value& labels, const Calibration* calibration) {
  const std::string answer = line.answer.is_string() ? line.answer.get<std::string>() : "";
  for (const olvane::FieldCheck& check : scored.fields) {
    const ModelSignals model =
        tokens.empty()
            ? ModelSignals{}
            : model_signals(tokens, answer, check.field, labels.value(check.field, Value::array()));
    const Signals signals =
        signals_of(check, model, neighbour_share(examples, check.field, check.checked));
    const FieldCalibration* fitted =
        calibration != nullptr ? &calibration->fields.at(check.field) : nullptr;
    const std::optional<double> confidence =
        fitted != nullptr ? fitted->confidence(signals) : fixed_confidence(signals);
    Value& decision = line.decisions[check.field];
    decision["signals"] = signals.to_json();
    decision["confidence"] = confidence ? Value(*confidence) : Value();
    if (fitted != nullptr && confidence && !fitted->accepts(*confidence)) {
      decision["decision_before"] = decision["decision"];
      decision["checked_before"] = check.checked;
      decision["decision"] = "low_confidence";
      line.checked[check.field] = Value();
    }
  }
}

std::vector<std::string> calibration_lines(const Calibration& calibration) {
  std::vector<std::string> lines;
  const std::string target = fixed_digits(100 * calibration.target_precision, 1) + "%";
  for (const auto& [name, f] : calibration.fields) {
    std::string line = "  " + name + ": " + std::to_string(f.values) + " values, " +
                       fixed_digits(100.0 * static_cast<double>(f.right) /
                                        static_cast<double>(std::max<std::size_t>(f.values, 1)),
                                    1) +
                       "% right; ";
    if (f.threshold) {
      line += "threshold " + fixed_digits(*f.threshold, 3) + ", coverage " +
              fixed_digits(100 * f.coverage, 1) + "%, precision " +
              fixed_digits(100 * f.precision, 1) + "% (at least " +
              fixed_digits(100 * f.precision_bound, 1) + "% at " +
              fixed_digits(100 * calibration.confidence_level, 0) + "% confidence)";
    } else {
      line += "no threshold reaches a precision of " + target +
              ": coverage 0, every value goes to review";
    }
    line += "; ECE " + fixed_digits(f.ece_before, 3) + " before, " + fixed_digits(f.ece_after, 3) +
            " after; Brier " + fixed_digits(f.brier_before, 3) + " before, " +
            fixed_digits(f.brier_after, 3) + " after";
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace tavrin::labeling
