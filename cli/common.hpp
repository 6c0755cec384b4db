// Helpers that every subcommand of the `tavrin` tool shares: parsing the inputs that operators
// hand over (labels.json, JSON Lines), the LLM endpoint from options or environment, and the
// layout of a stores folder and its loading.
//
//   Value labels = read_label_file("examples/data/labels.json").labels;  // {"product": [...]}
//   label_fields(labels)                                        // -> {"product", "category", ...}
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/excerpt.hpp"
#include "tavrin/core/value.hpp"
#include "tavrin/labeling/prompt.hpp"

namespace quellin {
struct ClientOptions;
}  // namespace quellin

namespace tavrin::frame {
class DataFrame;
}  // namespace tavrin::frame

namespace tavrin::vectorstore {
class Embeddings;
class FAISS;
class VectorStore;
}  // namespace tavrin::vectorstore

namespace tavrin::cli {

using labeling::StoreMap;

/// A fault of the command line or of anything it names (a bad option value, an input file that
/// is missing, is no regular file or does not parse, a store that does not fit its labels),
/// found before the command starts its work: the tool exits with status 2 instead of 1.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Work that started and ended early with an exit status of its own (128 + the signal that
/// stopped it), instead of 1.
class ExitError : public std::runtime_error {
 public:
  ExitError(const std::string& what, int status) : std::runtime_error(what), status_(status) {}
  int status() const noexcept { return status_; }

 private:
  int status_;
};

/// `text` quoted for a message, cut to its excerpt (never half a character) with "..." after a
/// cut, control characters shown as blanks: the quoting of the library's messages.
using tavrin::internal::in_quotes;

/// Throws a UsageError naming `what` and the byte offset unless `text` is well-formed UTF-8.
void require_utf8(std::string_view text, const std::string& what);

/// Runs `parse` and yields its value; a ValueError it throws (bad input) is a UsageError.
template <class Parse>
auto usage_checked(Parse parse) {
  try {
    return parse();
  } catch (const ValueError& e) {
    throw UsageError(e.what());
  }
}

/// labeling::parse_label_file of the input at `path` (read_input: "-" is standard input), with
/// the descriptions, instructions and multi-label fields; a fault is a UsageError.
labeling::LabelFile read_label_file(const std::string& path);

/// labeling::chosen_fields of the fields of `fields_option` (comma-separated; empty: every
/// field of `labels`), its faults UsageErrors naming `labels_source`.
std::vector<std::string> chosen_fields(const Value& labels, const std::string& fields_option,
                                       const std::string& labels_source);

/// One JSON object per non-blank line. A line that is not a JSON object is a UsageError
/// naming `source` and the line number.
std::vector<Value> parse_json_lines(std::string_view text, const std::string& source);

/// Splits a comma-separated option value ("product,category") into trimmed names; an empty
/// name is a UsageError naming `option`.
std::vector<std::string> split_names(std::string_view list, std::string_view option);

/// Row `i` of `table` as an object of column name to cell, in column order.
Value row_object(const frame::DataFrame& table, std::size_t i);

/// Throws a UsageError naming `source` and the first of `columns` that `table` lacks.
void require_columns(const frame::DataFrame& table, const std::vector<std::string>& columns,
                     const std::string& source);

/// Where the LLM is: the address and the key. The key is never printed.
struct Endpoint {
  std::string url;
  std::string key;
};

/// Where an API key may come from, for messages: its option, its file option, its variable.
struct KeySource {
  std::string_view option;
  std::string_view file_option;
  const char* variable;
};
inline constexpr KeySource kLlmKey{"--llm-key", "--llm-key-file", "TAVRIN_LLM_KEY"};
inline constexpr KeySource kEmbedKey{"--embed-key", "--embed-key-file", "TAVRIN_EMBED_KEY"};

/// The API key in the regular file at `path`: its content without one trailing line feed (or
/// CR LF). A file that read_input refuses or cannot read, "-", an empty key, or one holding
/// CR, LF or NUL is a UsageError naming `option` and the path, never the content.
std::string read_key_file(const std::string& path, std::string_view option);

/// The key of `source`: `key` (its option) when not empty, else that of `key_file` when one is
/// named (read_key_file), else `from_environment` (the variable's value; null when unset).
/// Both the option and the file is a UsageError.
std::string resolve_key(const std::string& key, const std::string& key_file,
                        const char* from_environment, const KeySource& source);

/// The endpoint of the options: the address (CLI11 already read TAVRIN_LLM_URL when
/// --llm-url was left out) and the key of resolve_key (kLlmKey, the environment's
/// TAVRIN_LLM_KEY); nullopt when neither address nor key is given, a UsageError when only a key
/// is.
std::optional<Endpoint> resolve_endpoint(const LlmOptions& options);

/// resolve_endpoint that demands an endpoint: a UsageError when none is given.
Endpoint require_endpoint(const LlmOptions& options);

/// A pooled client's settings: `retries`, and `timeout` (seconds) as the limit of each attempt
/// in all and of each silence, rounded to milliseconds. A timeout outside
/// quellin::kMinTimeoutSeconds to kMaxTimeoutSeconds, NaN included, is a UsageError.
quellin::ClientOptions client_options(unsigned retries, double timeout);

/// Runs `work`, which embeds with `model`. When the model's endpoint fails (an HTTP status, a
/// broken or timed-out connection, after its retries), the error is rethrown as one line that
/// names the endpoint (without its query or key) before the failure.
void naming_embedding_endpoint(const vectorstore::Embeddings& model,
                               const std::function<void()>& work);

/// The embedding model of the options: OpenAIEmbeddings at `url` with `model` and the key of
/// resolve_key (kEmbedKey, the environment's TAVRIN_EMBED_KEY; a UsageError when one of url
/// and model is given without the other), else the offline HashingEmbeddings (hashed character
/// n-grams, no network, no weights).
std::shared_ptr<vectorstore::Embeddings> embeddings_from(const EmbedOptions& options);

}  // namespace tavrin::cli
