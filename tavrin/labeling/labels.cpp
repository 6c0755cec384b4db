#include "tavrin/labeling/labels.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "tavrin/brollin.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/excerpt.hpp"
#include "tavrin/core/internal/utf8.hpp"
#include "tavrin/core/json.hpp"
#include "tavrin/core/literal.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/frame/dataframe.hpp"
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

std::string cell_text(const Value& cell) {
  return cell.is_string() ? cell.get<std::string>() : str(cell);
}

// The items of a multi-label cell written as a list, or null when it is not one.
Value list_in(const Value& cell) {
  if (cell.is_array()) return cell;
  if (!cell.is_string() || !cell.get_ref<const std::string&>().starts_with('[')) return Value();
  try {
    Value items = literal_eval(cell.get_ref<const std::string&>());
    return items.is_array() ? items : Value();
  } catch (const std::exception&) {
    return Value();  // not a list after all: checked as one label
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

std::vector<std::string> multi_label_fields(const std::map<std::string, FieldNotes>& notes) {
  std::vector<std::string> fields;
  for (const auto& [field, note] : notes) {
    if (note.multi_label) fields.push_back(field);
  }
  return fields;
}

std::vector<std::string> label_fields(const Value& labels) {
  std::vector<std::string> fields;
  for (const auto& [field, values] : labels.items()) fields.push_back(field);
  return fields;
}

std::vector<std::string> chosen_fields(const Value& labels, std::vector<std::string> fields,
                                       const std::string& source) {
  if (fields.empty()) fields = label_fields(labels);
  for (const std::string& field : fields) {
    if (!labels.contains(field)) {
      throw ValueError(source + " has no labels for field " + in_quotes(field));
    }
    // Refused here, before a store is built or loaded, and not once work has begun.
    if (!brollin::is_plain_folder_name(field)) {
      throw ValueError("field name " + in_quotes(field) + " cannot name a store folder");
    }
  }
  return fields;
}

}  // namespace tavrin::labeling

namespace tavrin::labeling {

std::vector<OffLabelRows> off_label_rows(const LabelFile& labels, const frame::DataFrame& table,
                                         const std::vector<std::string>& fields) {
  std::vector<OffLabelRows> found;
  const std::vector<std::string>& columns = table.columns();
  for (const std::string& field : fields) {
    if (std::find(columns.begin(), columns.end(), field) == columns.end()) continue;
    std::set<std::string> allowed;
    for (const Value& label : labels.labels.at(field)) allowed.insert(cell_text(label));
    const auto notes = labels.notes.find(field);
    const bool multi = notes != labels.notes.end() && notes->second.multi_label;
    const auto is_allowed = [&](const Value& value) { return allowed.contains(cell_text(value)); };
    OffLabelRows off{field, 0, table.size(), Value()};
    for (std::size_t i = 0; i < table.size(); ++i) {
      const Value& cell = table.iloc(i)[field];
      if (cell.is_null() || (cell.is_string() && cell.get_ref<const std::string&>().empty())) {
        continue;
      }
      const Value items = multi ? list_in(cell) : Value();
      const bool ok =
          items.is_array() ? std::all_of(items.begin(), items.end(), is_allowed) : is_allowed(cell);
      if (ok) continue;
      if (off.rows++ == 0) off.example = cell;
    }
    if (off.rows > 0) found.push_back(std::move(off));
  }
  return found;
}

}  // namespace tavrin::labeling
