#include "cli/common.hpp"

#include <algorithm>
#include <chrono>
#include <functional>
#include <set>

#include "cli/files.hpp"
#include "quellin/client.hpp"
#include "tavrin/brollin.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/utf8.hpp"
#include "tavrin/core/json.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/openai/embeddings.hpp"
#include "tavrin/vectorstore/embeddings.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"

namespace tavrin::cli {
namespace {

// Files saved by some editors start with a UTF-8 byte order mark, which JSON parsers refuse.
std::string_view without_bom(std::string_view text) {
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  return text.starts_with(kBom) ? text.substr(kBom.size()) : text;
}

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

void require_label_list(const Value& values, const std::string& field, const std::string& source) {
  if (!values.is_array() || values.empty()) {
    throw UsageError(source + ": field " + in_quotes(field) +
                     " must list its allowed labels as a non-empty array");
  }
  for (const Value& label : values) {
    if (!label.is_string()) {
      throw UsageError(source + ": field " + in_quotes(field) +
                       " has a label that is not text: " + in_quotes(label.dump()));
    }
  }
}

constexpr std::string_view kRebuild = "rebuild the stores with `tavrin build`";
constexpr std::size_t kListedAtMost = 3;

// Up to kListedAtMost distinct `texts` that `others` lacks, quoted, then how many more there
// are: "\"a\", \"b\", \"c\" and 4 more". Empty when `others` has them all.
std::string listed_difference(const std::vector<std::string_view>& texts,
                              const std::set<std::string_view>& others) {
  std::string listed;
  std::set<std::string_view> seen;
  std::size_t count = 0;
  for (const std::string_view text : texts) {
    if (others.count(text) != 0 || !seen.insert(text).second) continue;
    if (count++ < kListedAtMost) listed += (listed.empty() ? "" : ", ") + in_quotes(text);
  }
  if (count > kListedAtMost) {
    listed += " and " + std::to_string(count - kListedAtMost) + " more";
  }
  return listed;
}

[[noreturn]] void unloadable_store(const std::string& which, const char* what) {
  throw UsageError(which + " cannot be loaded: " + what + " (" + std::string(kRebuild) + ")");
}

// `which` names the store in messages: "the store of field \"x\"", "the training store".
vectorstore::FAISS load_store(const std::filesystem::path& folder, const std::string& which,
                              const std::shared_ptr<vectorstore::Embeddings>& embeddings) {
  try {
    return vectorstore::FAISS::load_local(folder.string(), embeddings);
  } catch (const ValueError& e) {
    unloadable_store(which, e.what());
  } catch (const std::filesystem::filesystem_error& e) {
    unloadable_store(which, e.what());
  }
}

}  // namespace

std::string in_quotes(std::string_view text, std::size_t limit) {
  const std::string_view shown = tavrin::internal::excerpt(text, limit);
  std::string out = "\"";
  for (const char c : shown) out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  if (shown.size() < text.size()) out += "...";
  return out + "\"";
}

void require_utf8(std::string_view text, const std::string& what) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = tavrin::internal::well_formed_length(text.substr(i));
    if (length == 0) {
      throw UsageError(what + " is not valid UTF-8 (byte " + std::to_string(i) + ")");
    }
    i += length;
  }
}

Value parse_labels(std::string_view json_text, const std::string& source) {
  Value labels;
  try {
    labels = json_loads(without_bom(json_text));
  } catch (const ValueError& e) {
    throw UsageError(source + " is not valid JSON: " + e.what());
  }
  if (!labels.is_object() || labels.empty()) {
    throw UsageError(source + " must be a JSON object of field name to allowed labels");
  }
  for (const auto& [field, values] : labels.items()) {
    require_label_list(values, field, source);
  }
  return labels;
}

Value read_labels(const std::string& path) { return parse_labels(read_input(path), path); }

std::vector<std::string> label_fields(const Value& labels) {
  std::vector<std::string> fields;
  for (const auto& [field, values] : labels.items()) fields.push_back(field);
  return fields;
}

std::vector<std::string> chosen_fields(const Value& labels, const std::string& fields_option,
                                       const std::string& labels_source) {
  auto fields =
      fields_option.empty() ? label_fields(labels) : split_names(fields_option, "--fields");
  for (const std::string& field : fields) {
    if (!labels.contains(field)) {
      throw UsageError(labels_source + " has no labels for field " + in_quotes(field));
    }
    require_plain_field_name(field);
  }
  return fields;
}

void read_json_lines(std::string_view text, const std::string& source,
                     const std::function<void(Value)>& each,
                     const std::function<void(const std::string&)>& bad) {
  text = without_bom(text);
  std::size_t line_number = 0;
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view line = trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    ++line_number;
    if (line.empty()) continue;
    const std::string where = source + " line " + std::to_string(line_number);
    Value record;
    try {
      record = json_loads(line);
    } catch (const ValueError& e) {
      bad(where + " is not valid JSON: " + e.what());
      continue;
    }
    if (!record.is_object()) {
      bad(where + " must be a JSON object, not " + in_quotes(line));
      continue;
    }
    each(std::move(record));
  }
}

std::vector<Value> parse_json_lines(std::string_view text, const std::string& source) {
  std::vector<Value> records;
  read_json_lines(
      text, source, [&](Value record) { records.push_back(std::move(record)); },
      [](const std::string& why) { throw UsageError(why); });
  return records;
}

std::vector<std::string> split_names(std::string_view list, std::string_view option) {
  std::vector<std::string> names;
  while (true) {
    const auto comma = list.find(',');
    const std::string_view name = trim(list.substr(0, comma));
    if (name.empty()) {
      throw UsageError(std::string(option) + " has an empty name in " + in_quotes(list));
    }
    names.emplace_back(name);
    if (comma == std::string_view::npos) return names;
    list.remove_prefix(comma + 1);
  }
}

Value row_object(const frame::DataFrame& table, std::size_t i) {
  Value row = Value::object();
  const auto cells = table.iloc(i);
  for (const std::string& column : table.columns()) row[column] = cells[column];
  return row;
}

void require_columns(const frame::DataFrame& table, const std::vector<std::string>& columns,
                     const std::string& source) {
  const auto& present = table.columns();
  for (const std::string& column : columns) {
    if (std::find(present.begin(), present.end(), column) == present.end()) {
      throw UsageError(source + " has no column " + in_quotes(column));
    }
  }
}

std::optional<Endpoint> resolve_endpoint(const std::string& url, const std::string& key) {
  if (url.empty()) {
    if (!key.empty()) {
      throw UsageError("an LLM key was given but no address: add --llm-url or set TAVRIN_LLM_URL");
    }
    return std::nullopt;
  }
  return Endpoint{url, key};
}

Endpoint require_endpoint(const std::string& url, const std::string& key) {
  auto endpoint = resolve_endpoint(url, key);
  if (!endpoint) {
    throw UsageError(
        "no LLM endpoint: give --llm-url and --llm-key, or set TAVRIN_LLM_URL and "
        "TAVRIN_LLM_KEY");
  }
  return *std::move(endpoint);
}

std::filesystem::path train_store_dir(const std::filesystem::path& stores) {
  return stores / "train";
}

std::filesystem::path field_stores_dir(const std::filesystem::path& stores) {
  return stores / "fields";
}

std::filesystem::path find_field_stores_dir(const std::filesystem::path& stores) {
  const std::filesystem::path built = field_stores_dir(stores);
  return std::filesystem::is_directory(built) ? built : stores;
}

std::shared_ptr<const vectorstore::VectorStore> load_train_store(
    const std::filesystem::path& stores,
    const std::shared_ptr<vectorstore::Embeddings>& embeddings) {
  const std::filesystem::path folder = train_store_dir(stores);
  if (!std::filesystem::is_directory(folder)) {
    throw UsageError("no training store: " + in_quotes(folder.string()) + " is not a folder (" +
                     std::string(kRebuild) + ")");
  }
  return std::make_shared<const vectorstore::FAISS>(
      load_store(folder, "the training store", embeddings));
}

void require_plain_field_name(const std::string& field) {
  if (!brollin::is_plain_folder_name(field)) {
    throw UsageError("field name " + in_quotes(field) + " cannot name a store folder");
  }
}

void require_store_of_labels(const vectorstore::FAISS& store, const Value& allowed,
                             const std::string& field, const std::filesystem::path& folder) {
  std::vector<std::string_view> wanted;
  for (const Value& label : allowed) wanted.push_back(label.get_ref<const std::string&>());
  std::vector<std::string_view> held;
  for (const vectorstore::Document& document : store.documents()) {
    held.push_back(document.page_content);
  }
  const std::string missing = listed_difference(wanted, {held.begin(), held.end()});
  const std::string extra = listed_difference(held, {wanted.begin(), wanted.end()});
  if (missing.empty() && extra.empty()) return;
  std::string found = missing.empty() ? "" : "missing " + missing;
  if (!extra.empty()) found += (found.empty() ? "extra " : "; extra ") + extra;
  throw UsageError("the store of field " + in_quotes(field) + " in " + in_quotes(folder.string()) +
                   " does not hold the labels given for it (" + found +
                   "): " + std::string(kRebuild));
}

StoreMap load_field_stores(const std::filesystem::path& stores, const Value& labels,
                           const std::vector<std::string>& fields,
                           const std::shared_ptr<vectorstore::Embeddings>& embeddings) {
  StoreMap db_maps;
  for (const std::string& field : fields) {
    require_plain_field_name(field);
    const std::filesystem::path folder = find_field_stores_dir(stores) / field;
    if (!std::filesystem::is_directory(folder)) {
      throw UsageError("no store for field " + in_quotes(field) + ": " +
                       in_quotes(folder.string()) + " is not a folder (" + std::string(kRebuild) +
                       ")");
    }
    const auto allowed = labels.find(field);
    if (allowed == labels.end()) throw UsageError("no labels for field " + in_quotes(field));
    auto store = load_store(folder, "the store of field " + in_quotes(field), embeddings);
    require_store_of_labels(store, *allowed, field, folder);
    db_maps[field] = std::make_shared<const vectorstore::FAISS>(std::move(store));
  }
  return db_maps;
}

quellin::ClientOptions client_options(unsigned retries, double timeout) {
  quellin::ClientOptions client;
  client.retry.max_retries = retries;
  const auto limit = std::chrono::milliseconds(static_cast<long long>(timeout * 1000));
  client.timeout.total = limit;
  client.timeout.sock_read = limit;
  client.timeout.connect = std::min(client.timeout.connect, limit);
  return client;
}

void naming_embedding_endpoint(const vectorstore::Embeddings& model,
                               const std::function<void()>& work) {
  try {
    work();
  } catch (const quellin::HttpError& e) {
    throw std::runtime_error("embedding endpoint " + model.endpoint() + ": " + e.what());
  } catch (const quellin::TransportError& e) {
    throw std::runtime_error("embedding endpoint " + model.endpoint() + ": " + e.what());
  }
}

std::shared_ptr<vectorstore::Embeddings> embeddings_from(const EmbedOptions& options) {
  if (options.url.empty() && options.model.empty()) {
    return std::make_shared<vectorstore::HashingEmbeddings>();
  }
  if (options.url.empty() || options.model.empty()) {
    throw UsageError(
        "--embed-url and --embed-model go together (or TAVRIN_EMBED_URL and "
        "TAVRIN_EMBED_MODEL)");
  }
  openai::OpenAIEmbeddingsOptions settings;
  settings.batch_size = options.batch;
  settings.client = client_options(options.retries, options.timeout);
  try {
    return std::make_shared<openai::OpenAIEmbeddings>(options.url, options.key, options.model,
                                                      std::move(settings));
  } catch (const std::invalid_argument& e) {
    throw UsageError(std::string("--embed-url: ") + e.what());
  }
}

}  // namespace tavrin::cli
