// Repair by asking: a value that is no label after the plain rules, and that no label is close
// enough to, is settled by one more request to the model, which chooses among the labels
// nearest the value (or none), instead of being forced onto the nearest one.
//
//   RepairQuestion q{.record = "my card was charged twice", .field = "category",
//                    .value = "payments", .choices = {"billing", "refund", "account"}};
//   model(repair_request(q, "en"))  // -> {"category": "billing"}: settle_by_answer(check, …)
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavrin/core/value.hpp"
#include "tavrin/labeling/job.hpp"
#include "tavrin/olvane.hpp"

namespace tavrin::labeling {

/// "nearest" or "ask"; ValueError quoting `text` otherwise.
Repair parse_repair(std::string_view text);
std::string_view repair_name(Repair repair);

/// Whether `check` is settled by asking: with `min_score`, a value it abstained on; without, a
/// value it replaced. Never a multi-label field's list, whose elements the check settled.
bool needs_asking(const olvane::FieldCheck& check, std::optional<double> min_score);

/// One question to the model about one value.
struct RepairQuestion {
  std::string record{};  // the record's text
  std::string field{};
  Value value{};                         // what the model answered for the field
  std::vector<std::string> choices{};    // the labels nearest the value, most similar first
  std::string instruction{};             // the field's own, when it has one
  Value descriptions = Value::object();  // label to description, for the choices that have one
};

/// The request of `question` in `language` ("zh" or "en"; another is English): the record, the
/// field, the value given and the choices, with the choices as the only labels the answer may
/// give (ModelRequest::choices).
ModelRequest repair_request(const RepairQuestion& question, std::string_view language);

/// Settles `check` (a value needs_asking) by the model's `answer` to the question whose choices
/// were `choices`: decision asked with the chosen label (the model's text may be the label
/// written another way); a null answer, one that names no choice, or one that holds no mapping
/// is an abstention (checked null). The similarity scores found before stay.
void settle_by_answer(olvane::FieldCheck& check, const std::string& answer,
                      const std::vector<std::string>& choices);

}  // namespace tavrin::labeling
