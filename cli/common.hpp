// Helpers that every subcommand of the `tavrin` tool shares: parsing the inputs that operators
// hand over (labels.json, JSON Lines), the LLM endpoint from options or environment, and the
// layout of a stores folder and its loading.
//
//   Value labels = read_labels("examples/data/labels.json");   // {"product": ["手机", ...], ...}
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
#include "tavrin/core/internal/excerpt.hpp"
#include "tavrin/core/value.hpp"

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

/// A fault of the command line or of anything it names (a bad option value, an input file that
/// is missing, is no regular file or does not parse, a store that does not fit its labels),
/// found before the command starts its work: the tool exits with status 2 instead of 1.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Field name to the store of its allowed values, as check_result takes them.
using StoreMap = std::map<std::string, std::shared_ptr<const vectorstore::VectorStore>>;

/// `text` quoted for a message, cut to its excerpt of at most `limit` bytes (never half a
/// character) with "..." after a cut, control characters shown as blanks.
std::string in_quotes(std::string_view text, std::size_t limit = tavrin::internal::kExcerptBytes);

/// Throws a UsageError naming `what` and the byte offset unless `text` is well-formed UTF-8.
void require_utf8(std::string_view text, const std::string& what);

/// The allowed labels of each field, from a JSON object of field name to a non-empty array of
/// texts. Anything else is a UsageError naming `source` and the field.
Value parse_labels(std::string_view json_text, const std::string& source);

/// parse_labels of the file at `path`.
Value read_labels(const std::string& path);

/// The field names of a labels object, in file order.
std::vector<std::string> label_fields(const Value& labels);

/// The fields a command works on: those of `fields_option` (comma-separated) or, when it is
/// empty, every field of `labels`. A UsageError names `labels_source` and the first field it
/// has no labels for (a field without labels would have every value replaced), or a field
/// name that cannot name a store folder.
std::vector<std::string> chosen_fields(const Value& labels, const std::string& fields_option,
                                       const std::string& labels_source);

/// Calls `each` with every non-blank line that is a JSON object, in order, and `bad` with a
/// message naming `source` and the line number for every other non-blank line.
void read_json_lines(std::string_view text, const std::string& source,
                     const std::function<void(Value)>& each,
                     const std::function<void(const std::string&)>& bad);

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

/// The endpoint from the options, each of which CLI11 already filled from its environment
/// variable when left out; nullopt when neither address nor key is given, a UsageError when
/// only one of them is.
std::optional<Endpoint> resolve_endpoint(const std::string& url, const std::string& key);

/// resolve_endpoint that demands an endpoint: a UsageError when none is given.
Endpoint require_endpoint(const std::string& url, const std::string& key);

/// The folder of the training-data store inside a stores folder.
std::filesystem::path train_store_dir(const std::filesystem::path& stores);

/// The parent folder of the per-field stores inside a stores folder.
std::filesystem::path field_stores_dir(const std::filesystem::path& stores);

/// The parent folder of the per-field stores when reading a stores folder: `<stores>/fields`
/// as `tavrin build` writes it, or `<stores>` itself as brollin::data2faiss writes it
/// (`<base>/<field>`).
std::filesystem::path find_field_stores_dir(const std::filesystem::path& stores);

/// Loads the training-data store of a stores folder, `<stores>/train`. A missing or damaged
/// store is a UsageError that says to rebuild.
std::shared_ptr<const vectorstore::VectorStore> load_train_store(
    const std::filesystem::path& stores,
    const std::shared_ptr<vectorstore::Embeddings>& embeddings);

/// Throws a UsageError unless `field` can name a folder inside another
/// (brollin::is_plain_folder_name).
void require_plain_field_name(const std::string& field);

/// Throws a UsageError naming `field` and `folder` unless the texts of the documents of
/// `store` are the labels `allowed` for that field, as sets: `tavrin build` stores each label
/// as one document's page_content, so a store built from other labels, or copied from
/// another field's folder, would answer values that are no allowed label.
void require_store_of_labels(const vectorstore::FAISS& store, const Value& allowed,
                             const std::string& field, const std::filesystem::path& folder);

/// Loads the store of each of `fields` from `field_stores_dir(stores)` and requires it to hold
/// that field's entry of `labels` (require_store_of_labels). A missing folder, a store that
/// does not load, or one that holds other labels is a UsageError naming the field and the
/// folder.
StoreMap load_field_stores(const std::filesystem::path& stores, const Value& labels,
                           const std::vector<std::string>& fields,
                           const std::shared_ptr<vectorstore::Embeddings>& embeddings);

/// A pooled client's settings: `retries`, and `timeout` (seconds) as the limit of each attempt
/// in all and of each silence.
quellin::ClientOptions client_options(unsigned retries, double timeout);

/// Runs `work`, which embeds with `model`. When the model's endpoint fails (an HTTP status, a
/// broken or timed-out connection, after its retries), the error is rethrown as one line that
/// names the endpoint (without its query or key) before the failure.
void naming_embedding_endpoint(const vectorstore::Embeddings& model,
                               const std::function<void()>& work);

/// The embedding model of the options: OpenAIEmbeddings at `url` with `model` (a UsageError
/// when one is given without the other), else the offline HashingEmbeddings (hashed character
/// n-grams, no network, no weights).
std::shared_ptr<vectorstore::Embeddings> embeddings_from(const EmbedOptions& options);

}  // namespace tavrin::cli
