#include "tavrin/labeling/confidence.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <set>

namespace tavrin::labeling {
namespace {

// Probabilities are kept away from 0 and 1 before their log-odds: a token at logprob 0 would
// otherwise outweigh every other signal.
constexpr double kProbabilityFloor = 1e-4;

double log_odds(double p) {
  p = std::clamp(p, kProbabilityFloor, 1 - kProbabilityFloor);
  return std::log(p / (1 - p));
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::size_t skip_blanks(std::string_view text, std::size_t at) {
  while (at < text.size() && is_blank(text[at])) ++at;
  return at;
}

// The end of the JSON string whose opening quote is at `open`: the position of its closing
// quote, or npos.
std::size_t string_end(std::string_view text, std::size_t open) {
  for (std::size_t i = open + 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      return i;
    }
  }
  return std::string_view::npos;
}

// The end (one past) of the JSON value that starts at `at`, or npos when it does not end.
std::size_t value_end(std::string_view text, std::size_t at) {
  if (text[at] == '"') {
    const std::size_t close = string_end(text, at);
    return close == std::string_view::npos ? close : close + 1;
  }
  if (text[at] == '[' || text[at] == '{') {
    int depth = 0;
    for (std::size_t i = at; i < text.size(); ++i) {
      if (text[i] == '"') {
        i = string_end(text, i);
        if (i == std::string_view::npos) return i;
      } else if (text[i] == '[' || text[i] == '{') {
        ++depth;
      } else if ((text[i] == ']' || text[i] == '}') && --depth == 0) {
        return i + 1;
      }
    }
    return std::string_view::npos;
  }
  std::size_t end = at;
  while (end < text.size() && text[end] != ',' && text[end] != '}' && text[end] != ']' &&
         !is_blank(text[end])) {
    ++end;
  }
  return end;
}

std::string label_text(const Value& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

// Whether `piece` (a token's text from the value's start on) begins some label, or is a whole
// label with what closes the value after it.
bool begins_a_label(std::string_view piece, const Value& labels) {
  if (piece.empty()) return false;
  for (const Value& label : labels) {
    const std::string text = label_text(label);
    if (text.starts_with(piece) || (!text.empty() && piece.starts_with(text))) return true;
  }
  return false;
}

std::optional<double> first_token_share(const TokenLogprob& first, std::size_t before_value,
                                        const Value& labels) {
  if (!labels.is_array() || before_value > first.text.size()) return std::nullopt;
  const std::string_view prefix = std::string_view(first.text).substr(0, before_value);
  const double chosen = std::exp(first.logprob);
  double total = chosen;
  for (const TokenChoice& other : first.top) {
    if (other.text == first.text || !other.text.starts_with(prefix)) continue;
    if (begins_a_label(std::string_view(other.text).substr(prefix.size()), labels)) {
      total += std::exp(other.logprob);
    }
  }
  return total > 0 ? std::optional(chosen / total) : std::nullopt;
}

std::set<std::string> as_label_set(const Value& value) {
  std::set<std::string> set;
  if (value.is_array()) {
    for (const Value& element : value) set.insert(label_text(element));
  } else if (!value.is_null()) {
    set.insert(label_text(value));
  }
  return set;
}

std::optional<double> number_or_null(const Value& object, const char* key) {
  if (!object.is_object()) return std::nullopt;
  const auto found = object.find(key);
  if (found == object.end() || !found->is_number()) return std::nullopt;
  return found->get<double>();
}

Value or_null(const std::optional<double>& number) { return number ? Value(*number) : Value(); }

enum Feature : std::size_t {
  kKept,
  kNormalized,
  kAsked,
  kReplaced,
  kSimilarity,
  kMargin,
  kModelLogOdds,
  kModelAbsent,
  kFirstTokenLogOdds,
  kFirstTokenAbsent,
  kNeighbours,
  kNeighboursAbsent,
  kFeatureCount,
};

// The weights of the fixed combination, by feature: a kept or normalised value starts above
// even odds and a replaced one below, a clear margin over the runner-up raises a replacement,
// and the model's own log-odds and the neighbours' agreement move it either way.
constexpr std::array<double, kFeatureCount> kFixedWeights = {1.5, 1.0, 0.0, -1.0, 0.0, 3.0,
                                                             1.0, 0.0, 0.5, 0.0,  2.0, 0.0};

}  // namespace

std::vector<TokenLogprob> read_logprobs(const Value& logprobs) {
  std::vector<TokenLogprob> tokens;
  if (!logprobs.is_object()) return tokens;
  const auto content = logprobs.find("content");
  if (content == logprobs.end() || !content->is_array()) return tokens;
  for (const Value& item : *content) {
    if (!item.is_object()) return {};
    const auto text = item.find("token");
    const std::optional<double> logprob = number_or_null(item, "logprob");
    if (text == item.end() || !text->is_string() || !logprob) return {};
    TokenLogprob token{text->get<std::string>(), *logprob};
    const auto top = item.find("top_logprobs");
    if (top != item.end() && top->is_array()) {
      for (const Value& other : *top) {
        const auto other_text = other.is_object() ? other.find("token") : other.end();
        const std::optional<double> other_logprob = number_or_null(other, "logprob");
        if (!other.is_object() || other_text == other.end() || !other_text->is_string() ||
            !other_logprob) {
          return {};
        }
        token.top.push_back({other_text->get<std::string>(), *other_logprob});
      }
    }
    tokens.push_back(std::move(token));
  }
  return tokens;
}

std::optional<ValueSpan> value_span(std::string_view answer, std::string_view field) {
  const std::string key = Value(std::string(field)).dump();
  std::size_t from = std::string_view::npos;
  for (std::size_t at = answer.rfind(key); at != std::string_view::npos;
       at = at == 0 ? std::string_view::npos : answer.rfind(key, at - 1)) {
    const std::size_t colon = skip_blanks(answer, at + key.size());
    if (colon < answer.size() && answer[colon] == ':') {
      from = skip_blanks(answer, colon + 1);
      break;
    }
  }
  if (from == std::string_view::npos || from >= answer.size()) return std::nullopt;
  const std::size_t end = value_end(answer, from);
  if (end == std::string_view::npos || end == from) return std::nullopt;
  if (answer[from] == '"') return ValueSpan{from + 1, end - 1};
  return ValueSpan{from, end};
}

ModelSignals model_signals(const std::vector<TokenLogprob>& tokens, std::string_view answer,
                           std::string_view field, const Value& labels) {
  std::size_t joined = 0;
  for (const TokenLogprob& token : tokens) {
    if (answer.substr(joined, token.text.size()) != token.text) return {};
    joined += token.text.size();
  }
  if (tokens.empty() || joined != answer.size()) return {};
  const std::optional<ValueSpan> span = value_span(answer, field);
  if (!span || span->begin == span->end) return {};
  ModelSignals signals;
  double log_probability = 0;
  bool first = true;
  std::size_t start = 0;
  for (const TokenLogprob& token : tokens) {
    const std::size_t end = start + token.text.size();
    if (end > span->begin && start < span->end) {
      log_probability += token.logprob;
      const bool text_value = span->begin > 0 && answer[span->begin - 1] == '"';
      if (first && text_value) {
        signals.first_token_share =
            first_token_share(token, span->begin > start ? span->begin - start : 0, labels);
      }
      first = false;
    }
    start = end;
  }
  signals.probability = std::exp(log_probability);
  return signals;
}

std::optional<double> neighbour_share(const std::vector<Value>& examples, const std::string& field,
                                      const Value& checked) {
  if (examples.empty() || checked.is_null()) return std::nullopt;
  const std::set<std::string> wanted = as_label_set(checked);
  std::size_t same = 0;
  for (const Value& example : examples) {
    if (example.is_object() && example.contains(field) &&
        as_label_set(example.at(field)) == wanted) {
      ++same;
    }
  }
  return static_cast<double>(same) / static_cast<double>(examples.size());
}

Value Signals::to_json() const {
  Value json = Value::object();
  json["model_probability"] = or_null(model.probability);
  json["first_token_share"] = or_null(model.first_token_share);
  json["neighbour_share"] = or_null(neighbour_share);
  return json;
}

Signals signals_of(const olvane::FieldCheck& check, ModelSignals model,
                   std::optional<double> neighbour_share) {
  Signals signals{std::string(olvane::decision_name(check.decision))};
  if (check.nearest) {  // searched: the similarity says how near the chosen label was
    signals.similarity = check.score;
    signals.runner_up = check.runner_up_score;
  }
  signals.model = model;
  signals.neighbour_share = neighbour_share;
  return signals;
}

Signals signals_from_json(const Value& decision) {
  Signals signals;
  if (!decision.is_object()) return signals;
  // A value a person reviewed, or one abstained below a threshold, keeps the decision it had.
  const auto name =
      decision.find(decision.contains("decision_before") ? "decision_before" : "decision");
  if (name != decision.end() && name->is_string()) signals.decision = name->get<std::string>();
  const auto nearest = decision.find("nearest");
  if (nearest != decision.end() && !nearest->is_null()) {
    signals.similarity = number_or_null(decision, "score");
    signals.runner_up = number_or_null(decision, "runner_up_score");
  }
  const auto written = decision.find("signals");
  if (written != decision.end() && written->is_object()) {
    signals.model.probability = number_or_null(*written, "model_probability");
    signals.model.first_token_share = number_or_null(*written, "first_token_share");
    signals.neighbour_share = number_or_null(*written, "neighbour_share");
  }
  return signals;
}

bool has_confidence(std::string_view decision) {
  return decision == "kept" || decision == "normalized" || decision == "asked" ||
         decision == "replaced";
}

const std::vector<std::string>& feature_names() {
  static const std::vector<std::string> names = {"kept",
                                                 "normalized",
                                                 "asked",
                                                 "replaced",
                                                 "similarity",
                                                 "margin",
                                                 "model_log_odds",
                                                 "model_absent",
                                                 "first_token_log_odds",
                                                 "first_token_absent",
                                                 "neighbour_share",
                                                 "neighbours_absent"};
  return names;
}

std::vector<double> confidence_features(const Signals& signals) {
  std::vector<double> x(kFeatureCount, 0.0);
  const std::string& d = signals.decision;
  x[kKept] = d == "kept" ? 1 : 0;
  x[kNormalized] = d == "normalized" ? 1 : 0;
  x[kAsked] = d == "asked" ? 1 : 0;
  x[kReplaced] = d == "replaced" ? 1 : 0;
  if (signals.similarity) {
    x[kSimilarity] = *signals.similarity;
    x[kMargin] = *signals.similarity - signals.runner_up.value_or(0.0);
  }
  x[kModelLogOdds] = signals.model.probability ? log_odds(*signals.model.probability) : 0;
  x[kModelAbsent] = signals.model.probability ? 0 : 1;
  x[kFirstTokenLogOdds] =
      signals.model.first_token_share ? log_odds(*signals.model.first_token_share) : 0;
  x[kFirstTokenAbsent] = signals.model.first_token_share ? 0 : 1;
  x[kNeighbours] = signals.neighbour_share ? *signals.neighbour_share - 0.5 : 0;
  x[kNeighboursAbsent] = signals.neighbour_share ? 0 : 1;
  return x;
}

double logistic(double z) { return 1 / (1 + std::exp(-z)); }

std::optional<double> fixed_confidence(const Signals& signals) {
  if (!has_confidence(signals.decision)) return std::nullopt;
  const std::vector<double> x = confidence_features(signals);
  double z = 0;
  for (std::size_t i = 0; i < x.size(); ++i) z += kFixedWeights[i] * x[i];
  return logistic(z);
}

}  // namespace tavrin::labeling
