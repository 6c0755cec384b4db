#include "tavrin/labeling/run_settings.hpp"

#include <openssl/evp.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <system_error>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/atomic_file.hpp"
#include "tavrin/core/json.hpp"
#include "tavrin/labeling/calibration.hpp"
#include "tavrin/labeling/repair.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"

namespace tavrin::labeling {
namespace {

namespace fs = std::filesystem;

std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 is not available");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0xF];
  }
  return hex;
}

std::string identity_of(const vectorstore::Embeddings& model) {
  const std::string identity = model.identity();
  return identity.empty() ? "unknown" : identity;
}

// The identities of the embedding models the job searches with, each once, in a fixed order.
Value embedding_identities(const Prompter& prompter, const StoreMap& field_stores) {
  std::set<std::string> identities;
  for (const auto& model : prompter.query_models()) identities.insert(identity_of(*model));
  for (const auto& [field, store] : field_stores) {
    const auto* faiss = dynamic_cast<const vectorstore::FAISS*>(store.get());
    if (faiss != nullptr && faiss->embedding_model()) {
      identities.insert(identity_of(*faiss->embedding_model()));
    }
  }
  return Value(std::vector<std::string>(identities.begin(), identities.end()));
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in && !in.eof()) {
    throw fs::filesystem_error("cannot read the run settings", path,
                               std::error_code(errno, std::generic_category()));
  }
  return text;
}

bool holds_lines(const std::string& out_path) {
  std::error_code error;
  const auto size = fs::file_size(out_path, error);
  return !error && size > 0;
}

// How values were settled besides min_score; absent from files written before the plain
// rules, which then resume without comparing it.
Value check_settings(const JobSettings& settings) {
  Value check = Value::object();
  check["rules"] = "plain";
  check["no_answer_words"] = settings.no_answer_words;
  check["repair"] = repair_name(settings.repair);
  if (settings.repair == Repair::ask) check["repair_choices"] = settings.repair_choices;
  return check;
}

// The record beside `out_path`; null when there is none or it is no JSON object (not ours to
// repair here: the next resume names the fault).
Value recorded_settings(const std::string& out_path) {
  const std::string path = run_settings_path(out_path);
  if (!fs::exists(path)) return Value();
  try {
    Value recorded = json_loads(read_text(path));
    return recorded.is_object() ? recorded : Value();
  } catch (const ValueError&) {
    return Value();
  }
}

}  // namespace

std::string run_settings_path(const std::string& out_path) { return out_path + ".run.json"; }

Value run_settings(const Prompter& prompter, const StoreMap& field_stores,
                   const JobSettings& settings) {
  const PromptSettings& prompt = prompter.settings();
  const std::string& text = prompt.prompt_template.text();
  Value run = Value::object();
  run["target_fields"] = prompt.fields;
  run["text_fields"] = settings.text_fields;
  run["max_text_chars"] = settings.max_text_chars;
  run["id_column"] = settings.id_column;
  run["model"] = settings.model;
  run["template"] = text;
  run["template_sha256"] = sha256_hex(text);
  run["labels_sha256"] = sha256_hex(prompt.labels.dump());
  // Descriptions and instructions shape every prompt as much as the labels do.
  Value notes = Value::object();
  for (const auto& [field, note] : prompt.notes) {
    notes[field] = {{"descriptions", note.descriptions},
                    {"instruction", note.instruction},
                    {"multi_label", note.multi_label}};
  }
  run["label_notes_sha256"] = sha256_hex(notes.dump());
  run["prompt_language"] = language_name(prompt.language);
  run["examples"] = prompt.examples;
  run["max_labels"] = prompt.max_labels;
  run["embedding_models"] = embedding_identities(prompter, field_stores);
  run["min_score"] = settings.min_score ? Value(*settings.min_score) : Value();
  run["check"] = check_settings(settings);
  run["shard"] = std::to_string(settings.shard.index) + "/" + std::to_string(settings.shard.count);
  // A calibration decides which values abstain; absent from runs without one, so that files
  // written before calibrations resume.
  if (settings.calibration) {
    run["calibration_sha256"] = sha256_hex(settings.calibration->to_json().dump());
  }
  return run;
}

void require_same_run_settings(const std::string& out_path, const Value& run) {
  const std::string path = run_settings_path(out_path);
  if (holds_lines(out_path) && fs::exists(path)) {
    Value recorded;
    try {
      recorded = json_loads(read_text(path));
    } catch (const ValueError& e) {
      throw ValueError("run settings '" + path + "' are not valid JSON: " + e.what());
    }
    if (!recorded.is_object()) throw ValueError("run settings '" + path + "' are no JSON object");
    std::string differences;
    for (const auto& [name, value] : run.items()) {
      const auto then = recorded.find(name);
      if (then == recorded.end() || *then == value) continue;
      differences += (differences.empty() ? "" : "; ") + name + ": " + then->dump() + " in '" +
                     path + "', " + value.dump() + " now";
    }
    if (!differences.empty()) {
      throw ValueError("results file '" + out_path +
                       "' was written with other settings, which a resume would mix into it: " +
                       differences + " (use another results file)");
    }
  }
}

void write_run_settings(const std::string& out_path, const Value& run) {
  internal::AtomicFile file(run_settings_path(out_path));
  file.write(run.dump(2) + "\n");
  file.commit();
}

void add_run_note(const std::string& out_path, const std::string& name, const Value& value) {
  Value recorded = recorded_settings(out_path);
  if (recorded.is_null()) return;
  recorded[name] = value;
  write_run_settings(out_path, recorded);
}

Value run_note(const std::string& out_path, const std::string& name) {
  const Value recorded = recorded_settings(out_path);
  return recorded.is_object() ? recorded.value(name, Value()) : Value();
}

}  // namespace tavrin::labeling
