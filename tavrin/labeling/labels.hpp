// The allowed labels of a labelling job, from labels.json: for each field a list of labels, or
// a mapping of label to description (order kept), or an object that adds an instruction for the
// model and declares the field multi-label.
//
//   {"category": ["退款", "物流配送"],
//    "topic": {"billing": "invoices, charges and refunds", "login": "signing in"},
//    "tags": {"labels": ["bug", "ui"], "instruction": "all that apply", "multi_label": true}}
//
//   LabelFile file = read_label_file("labels.json");
//   file.labels          // {"category": [...], "topic": ["billing", "login"], "tags": [...]}
//   file.notes["topic"]  // .descriptions {"billing": "invoices, …", …}
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tavrin/core/value.hpp"

namespace tavrin::frame {
class DataFrame;
}  // namespace tavrin::frame

namespace tavrin::labeling {

/// What labels.json says of a field besides its labels.
struct FieldNotes {
  Value descriptions = Value::object();  // label to its description; labels without one absent
  std::string instruction{};             // for the model, about this field
  bool multi_label = false;              // the answer is a list of labels
};

/// A labels file: the labels of each field as the check takes them, and the notes of the
/// fields that have any.
struct LabelFile {
  Value labels = Value::object();             // field name to its array of allowed labels
  std::map<std::string, FieldNotes> notes{};  // fields with descriptions, instruction, multi
};

/// Reads a labels file from JSON text (a leading UTF-8 byte order mark is allowed): an object
/// of field name to a non-empty array of texts, a non-empty object of label to description
/// (texts), or an object with "labels" (either form) and optionally "instruction" (text) and
/// "multi_label" (true or false). Anything else, and two different labels of a
/// field that normalise alike (normalized_label), are ValueErrors naming `source` and the field.
LabelFile parse_label_file(std::string_view json_text, const std::string& source);

/// parse_label_file of the regular file at `path`; ValueError naming it when it cannot be read.
LabelFile read_label_file(const std::string& path);

/// The labels of parse_label_file: field name to its array of allowed labels.
Value parse_labels(std::string_view json_text, const std::string& source);

/// The labels of read_label_file.
Value read_labels(const std::string& path);

/// The fields of `notes` whose answer is a list of labels, in name order.
std::vector<std::string> multi_label_fields(const std::map<std::string, FieldNotes>& notes);

/// The field names of a labels object, in file order.
std::vector<std::string> label_fields(const Value& labels);

/// The fields a job works on: `fields`, or every field of `labels` when it is empty.
/// ValueError naming `source` (the labels file) and the first field it has no labels for (its
/// every value would be replaced), or a field name that cannot name a store folder
/// (brollin::is_plain_folder_name).
std::vector<std::string> chosen_fields(const Value& labels, std::vector<std::string> fields,
                                       const std::string& source);

/// The rows of a table whose value of one field is no allowed label.
struct OffLabelRows {
  std::string field{};
  std::size_t rows = 0;     // rows whose value is no allowed label
  std::size_t of = 0;       // rows of the table
  Value example = Value();  // the first such value
};

/// For each of `fields` that has any, in order: the rows of `table` whose value of the field
/// (as text, str) is none of its allowed labels. An empty cell is no value and not counted; in
/// a multi-label field a cell that reads as a list (["a", "b"], JSON or Python literal) counts
/// when one of its items is no allowed label. A field that is no column of `table` is passed
/// over; every field must have labels.
std::vector<OffLabelRows> off_label_rows(const LabelFile& labels, const frame::DataFrame& table,
                                         const std::vector<std::string>& fields);

}  // namespace tavrin::labeling
