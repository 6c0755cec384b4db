#include "tavrin/labeling/labels.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/excerpt.hpp"
#include "tavrin/core/internal/utf8.hpp"
#include "tavrin/core/json.hpp"
#include "tavrin/labeling/plain_rules.hpp"

namespace tavrin::labeling {
namespace {

namespace fs = std::filesystem;
using tavrin::internal::in_quotes;

std::string field_error(const std::string& source, const std::string& field,
                        const std::string& what) {
  return source + ": field " + in_quotes(field) + " " + what;
}

std::string text_of_label(const Value& label, const std::string& source, const std::string& field) {
  if (!label.is_string()) {
    throw ValueError(
        field_error(source, field, "has a label that is not text: " + in_quotes(label.dump())));
  }
  return label.get<std::string>();
}

// The labels of `given` (an array of labels, or an object of label to description) into
// `labels`, and their descriptions into `notes`.
void read_labels_of(const Value& given, const std::string& field, const std::string& source,
                    Value& labels, FieldNotes& notes) {
  labels = Value::array();
  if (given.is_array()) {
    for (const Value& label : given) labels.push_back(text_of_label(label, source, field));
  } else {
    for (const auto& [label, description] : given.items()) {
      if (!description.is_string()) {
        throw ValueError(field_error(source, field,
                                     "describes label " + in_quotes(label) +
                                         " with no text: " + in_quotes(description.dump())));
      }
      labels.push_back(label);
      if (!description.get<std::string>().empty()) notes.descriptions[label] = description;
    }
  }
  if (labels.empty()) {
    throw ValueError(field_error(source, field,
                                 "must list its allowed labels as a non-empty array, or an object "
                                 "of label to description"));
  }
}

// A field given as an object with "labels", and maybe "instruction" and "multi_label".
bool is_field_object(const Value& given) {
  if (!given.is_object()) return false;
  const auto labels = given.find("labels");
  return labels != given.end() && (labels->is_array() || labels->is_object());
}

void read_field(const Value& given, const std::string& field, const std::string& source,
                LabelFile& file) {
  FieldNotes notes;
  Value& labels = file.labels[field];
  if (!is_field_object(given)) {
    if (!given.is_array() && !given.is_object()) {
      throw ValueError(field_error(source, field,
                                   "must list its allowed labels as a non-empty array, or an "
                                   "object of label to description"));
    }
    read_labels_of(given, field, source, labels, notes);
  } else {
    for (const auto& [key, value] : given.items()) {
      if (key == "labels") {
        read_labels_of(value, field, source, labels, notes);
      } else if (key == "instruction" && value.is_string()) {
        notes.instruction = value.get<std::string>();
      } else if (key == "multi_label" && value.is_boolean()) {
        notes.multi_label = value.get<bool>();
      } else {
        throw ValueError(field_error(
            source, field,
            "has " + in_quotes(key) + ": " + value.dump() +
                "; a field object holds \"labels\", \"instruction\" (text) and \"multi_label\" "
                "(true or false)"));
      }
    }
  }
  if (!notes.descriptions.empty() || !notes.instruction.empty() || notes.multi_label) {
    file.notes[field] = std::move(notes);
  }
}

}  // namespace

LabelFile parse_label_file(std::string_view json_text, const std::string& source) {
  Value given;
  try {
    given = json_loads(tavrin::internal::without_bom(json_text));
  } catch (const ValueError& e) {
    throw ValueError(source + " is not valid JSON: " + e.what());
  }
  if (!given.is_object() || given.empty()) {
    throw ValueError(source + " must be a JSON object of field name to allowed labels");
  }
  LabelFile file;
  for (const auto& [field, labels] : given.items()) read_field(labels, field, source, file);
  require_distinct_normalized(file.labels, source);
  return file;
}

LabelFile read_label_file(const std::string& path) {
  std::error_code error;
  if (!fs::is_regular_file(path, error)) {
    throw ValueError("labels file " + in_quotes(path) + " is not a readable regular file");
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) throw ValueError("labels file " + in_quotes(path) + " cannot be read");
  return parse_label_file(text.str(), path);
}

Value parse_labels(std::string_view json_text, const std::string& source) {
  return parse_label_file(json_text, source).labels;
}

Value read_labels(const std::string& path) { return read_label_file(path).labels; }

std::vector<std::string> label_fields(const Value& labels) {
  std::vector<std::string> fields;
  for (const auto& [field, values] : labels.items()) fields.push_back(field);
  return fields;
}

}  // namespace tavrin::labeling
