#include "cli/common.hpp"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <set>
#include <sstream>

#include "cli/files.hpp"
#include "quellin/client.hpp"
#include "quellin/quellin.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/utf8.hpp"
#include "tavrin/core/json_lines.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/labeling/labels.hpp"
#include "tavrin/labeling/stores.hpp"
#include "tavrin/openai/embeddings.hpp"
#include "tavrin/vectorstore/embeddings.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"

namespace tavrin::cli {
namespace {

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

}  // namespace

void require_utf8(std::string_view text, const std::string& what) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = tavrin::internal::well_formed_length(text.substr(i));
    if (length == 0) {
      throw UsageError(what + " is not valid UTF-8 (byte " + std::to_string(i) + ")");
    }
    i += length;
  }
}

labeling::LabelFile read_label_file(const std::string& path) {
  const std::string text = read_input(path);
  return usage_checked([&] { return labeling::parse_label_file(text, path); });
}

std::vector<std::string> chosen_fields(const Value& labels, const std::string& fields_option,
                                       const std::string& labels_source) {
  auto fields =
      fields_option.empty() ? std::vector<std::string>{} : split_names(fields_option, "--fields");
  return usage_checked(
      [&] { return labeling::chosen_fields(labels, std::move(fields), labels_source); });
}

std::vector<Value> parse_json_lines(std::string_view text, const std::string& source) {
  std::istringstream in{std::string(text)};
  JsonLines lines(in, source);
  std::vector<Value> records;
  while (const auto line = lines.next())
    records.push_back(usage_checked([&] { return lines.object(*line); }));
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

namespace {

// Refuses, before any work, an address the transport would refuse at each request.
void require_url(const std::string& url, const char* option) {
  try {
    quellin::require_endpoint_url(url);
  } catch (const ValueError& e) {
    throw UsageError(std::string(option) + ": " + e.what());
  }
}

}  // namespace

std::string read_key_file(const std::string& path, std::string_view option) {
  const std::string name(option);
  if (path == "-") throw UsageError(name + " must name a file, not standard input");
  std::string key;
  try {
    key = read_input(path);
  } catch (const UsageError& e) {
    throw UsageError(name + ": " + e.what());
  }
  if (key.ends_with('\n')) {
    key.pop_back();
    if (key.ends_with('\r')) key.pop_back();
  }
  if (key.empty()) throw UsageError(name + " " + in_quotes(path) + " holds no key");
  // A header value cannot hold them; the transport would refuse each request.
  if (key.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    throw UsageError(name + " " + in_quotes(path) + ": the key holds CR, LF or NUL");
  }
  return key;
}

std::string resolve_key(const std::string& key, const std::string& key_file,
                        const char* from_environment, const KeySource& source) {
  if (!key_file.empty()) {
    if (!key.empty()) {
      throw UsageError("give " + std::string(source.option) + " or " +
                       std::string(source.file_option) + ", not both");
    }
    return read_key_file(key_file, source.file_option);
  }
  if (!key.empty()) return key;
  return from_environment == nullptr ? std::string() : std::string(from_environment);
}

std::optional<Endpoint> resolve_endpoint(const LlmOptions& options) {
  std::string key =
      resolve_key(options.key, options.key_file, std::getenv(kLlmKey.variable), kLlmKey);
  if (options.url.empty()) {
    if (!key.empty()) {
      throw UsageError("an LLM key was given but no address: add --llm-url or set TAVRIN_LLM_URL");
    }
    return std::nullopt;
  }
  require_url(options.url, "--llm-url");
  return Endpoint{options.url, std::move(key)};
}

Endpoint require_endpoint(const LlmOptions& options) {
  auto endpoint = resolve_endpoint(options);
  if (!endpoint) {
    throw UsageError(
        "no LLM endpoint: give --llm-url and --llm-key-file, or set TAVRIN_LLM_URL and "
        "TAVRIN_LLM_KEY");
  }
  return *std::move(endpoint);
}

quellin::ClientOptions client_options(unsigned retries, double timeout) {
  try {
    return quellin::client_options(retries, timeout);
  } catch (const std::invalid_argument& e) {
    throw UsageError(std::string("--timeout: ") + e.what());
  }
}

void naming_embedding_endpoint(const vectorstore::Embeddings& model,
                               const std::function<void()>& work) {
  try {
    work();
  } catch (const quellin::HttpError& e) {
    throw std::runtime_error(vectorstore::model_name(model) + ": " + e.what());
  } catch (const quellin::TransportError& e) {
    throw std::runtime_error(vectorstore::model_name(model) + ": " + e.what());
  }
}

std::shared_ptr<vectorstore::Embeddings> embeddings_from(const EmbedOptions& options) {
  // Settled first, so that a bad key file is reported whichever model is chosen.
  std::string key =
      resolve_key(options.key, options.key_file, std::getenv(kEmbedKey.variable), kEmbedKey);
  if (options.url.empty() && options.model.empty()) {
    return std::make_shared<vectorstore::HashingEmbeddings>();
  }
  if (options.url.empty() || options.model.empty()) {
    throw UsageError(
        "--embed-url and --embed-model go together (or TAVRIN_EMBED_URL and "
        "TAVRIN_EMBED_MODEL)");
  }
  require_url(options.url, "--embed-url");
  openai::OpenAIEmbeddingsOptions settings;
  settings.batch_size = options.batch;
  settings.client = client_options(options.retries, options.timeout);
  try {
    return std::make_shared<openai::OpenAIEmbeddings>(options.url, std::move(key), options.model,
                                                      std::move(settings));
  } catch (const std::invalid_argument& e) {
    throw UsageError(std::string("--embed-url: ") + e.what());
  }
}

}  // namespace tavrin::cli
