// How far to trust a checked value: the signals the job has about it (the model's own token
// probabilities, how the check settled it, the labels of the record's nearest examples) and
// one confidence in [0, 1] made of them.
//
//   const auto tokens = read_logprobs(reply["choices"][0]["logprobs"]);
//   ModelSignals model = model_signals(tokens, R"({"category": "billing"})", "category", labels);
//   model.probability         // -> product of the probabilities of the tokens of "billing"
//   Signals signals{.model = model, .neighbour_share = 0.75};
//   fixed_confidence(signals_input(check, signals))   // -> 0.93
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavrin/core/value.hpp"
#include "tavrin/olvane.hpp"

namespace tavrin::labeling {

/// One alternative the endpoint gave for a token ("top_logprobs").
struct TokenChoice {
  std::string text;
  double logprob = 0;
};

/// One token of an answer, with its log-probability and the most likely alternatives.
struct TokenLogprob {
  std::string text;
  double logprob = 0;
  std::vector<TokenChoice> top{};
};

/// The tokens of a chat reply's `choices[0].logprobs` ({"content": [{"token", "logprob",
/// "top_logprobs": [...]}, ...]}). Empty when it is null, or not of that form in any part: a
/// signal read half is worse than none.
std::vector<TokenLogprob> read_logprobs(const Value& logprobs);

/// Where the value of `field` lies in the JSON text `answer`, in bytes: the characters of a text
/// value (inside its quotes), or the whole of any other value (a list with its brackets). The
/// last place where the key is followed by ':' counts (a reasoning model may write the key in
/// its thoughts before the answer). nullopt when the key is not there in plain form.
struct ValueSpan {
  std::size_t begin = 0;
  std::size_t end = 0;
};
std::optional<ValueSpan> value_span(std::string_view answer, std::string_view field);

/// What the model's token probabilities say about one field's value.
struct ModelSignals {
  /// The probability of the tokens that cover the value's characters (their product).
  std::optional<double> probability{};
  /// At the value's first token: its probability over that of the alternatives whose text
  /// begins some allowed label (itself included). Only for a text value.
  std::optional<double> first_token_share{};
};

/// The signals of `field`'s value in `answer` from `tokens`, whose texts joined must be
/// `answer` (nothing otherwise: the offsets would not hold). `labels`: the field's allowed
/// labels (an array; anything else gives no first-token share).
ModelSignals model_signals(const std::vector<TokenLogprob>& tokens, std::string_view answer,
                           std::string_view field, const Value& labels);

/// The share of `examples` (the target values of the record's nearest training examples) whose
/// value of `field` is `checked` (compared as text; a list as the set of its elements).
/// nullopt when there are no examples or `checked` is null.
std::optional<double> neighbour_share(const std::vector<Value>& examples, const std::string& field,
                                      const Value& checked);

/// Everything the confidence of one field's checked value is made of.
struct Signals {
  std::string decision;                // the check's decision name ("kept", "replaced", ...)
  std::optional<double> similarity{};  // the chosen label's similarity, when searched
  std::optional<double> runner_up{};   // the runner-up's similarity, when there was one
  ModelSignals model{};
  std::optional<double> neighbour_share{};

  /// {"model_probability", "first_token_share", "neighbour_share"} (null when absent): what the
  /// decision itself does not already hold.
  Value to_json() const;
};

/// The signals of `check`, with what the model and the neighbours said.
Signals signals_of(const olvane::FieldCheck& check, ModelSignals model,
                   std::optional<double> neighbour_share);

/// The signals of a field of a result line read back: `decision` is its entry of "decisions"
/// (with "signals" when the job wrote them). A value reviewed or abstained for low confidence
/// counts as the decision it had ("decision_before").
Signals signals_from_json(const Value& decision);

/// Whether a decision leaves a value to trust at all (kept, normalized, asked, replaced).
bool has_confidence(std::string_view decision);

/// The names of the features of confidence_features, in order.
const std::vector<std::string>& feature_names();

/// The signals as numbers for a linear model: one-hot decision (kept, normalized, asked,
/// replaced), similarity and margin over the runner-up (searched values only), the log-odds of
/// the model's probability and of the first-token share (0 when absent) with a flag for each
/// absence, and the neighbour share less one half (0 when absent) with its flag.
std::vector<double> confidence_features(const Signals& signals);

/// The confidence without a calibration: a fixed logistic combination, a prior that says
/// "kept beats replaced, a sure model beats an unsure one, agreeing neighbours beat disagreeing
/// ones", not a probability fitted to data. nullopt for a decision without a value.
std::optional<double> fixed_confidence(const Signals& signals);

/// The logistic function.
double logistic(double z);

}  // namespace tavrin::labeling
