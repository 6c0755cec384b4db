#include "tavrin/labeling/stores.hpp"

#include <iterator>

#include <fstream>
#include <set>
#include <sstream>

#include "tavrin/brollin.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/atomic_file.hpp"
#include "tavrin/core/internal/excerpt.hpp"
#include "tavrin/core/internal/utf8.hpp"
#include "tavrin/core/json.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"

namespace tavrin::labeling {
namespace {

namespace fs = std::filesystem;
using tavrin::internal::in_quotes;

constexpr std::string_view kRebuild = "rebuild the stores (tavrin build, or brollin::data2faiss)";
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
  throw ValueError(which + " cannot be loaded: " + what + " (" + std::string(kRebuild) + ")");
}

// `which` names the store in messages: "the store of field \"x\"", "the training store".
vectorstore::FAISS load_store(const fs::path& folder, const std::string& which,
                              const std::shared_ptr<vectorstore::Embeddings>& embeddings) {
  try {
    return vectorstore::FAISS::load_local(folder.string(), embeddings);
  } catch (const ValueError& e) {
    unloadable_store(which, e.what());
  } catch (const fs::filesystem_error& e) {
    unloadable_store(which, e.what());
  }
}

}  // namespace

fs::path train_store_dir(const fs::path& stores) { return stores / "train"; }

fs::path field_stores_dir(const fs::path& stores) { return stores / "fields"; }

fs::path find_field_stores_dir(const fs::path& stores) {
  const fs::path built = field_stores_dir(stores);
  return fs::is_directory(built) ? built : stores;
}

std::shared_ptr<const vectorstore::VectorStore> load_train_store(
    const fs::path& stores, const std::shared_ptr<vectorstore::Embeddings>& embeddings) {
  const fs::path folder = train_store_dir(stores);
  if (!fs::is_directory(folder)) {
    throw ValueError("no training store: " + in_quotes(folder.string()) + " is not a folder (" +
                     std::string(kRebuild) + ")");
  }
  return std::make_shared<const vectorstore::FAISS>(
      load_store(folder, "the training store", embeddings));
}

void require_store_of_labels(const vectorstore::FAISS& store, const Value& allowed,
                             const std::string& field, const fs::path& folder) {
  std::vector<std::string_view> wanted;
  for (const Value& label : allowed) {
    if (!label.is_string()) {
      throw ValueError("field " + in_quotes(field) +
                       " has a label that is not text: " + in_quotes(label.dump()));
    }
    wanted.push_back(label.get_ref<const std::string&>());
  }
  std::vector<std::string_view> held;
  for (const vectorstore::Document& document : store.documents()) {
    held.push_back(document.page_content);
  }
  const std::string missing = listed_difference(wanted, {held.begin(), held.end()});
  const std::string extra = listed_difference(held, {wanted.begin(), wanted.end()});
  if (missing.empty() && extra.empty()) return;
  std::string found = missing.empty() ? "" : "missing " + missing;
  if (!extra.empty()) found += (found.empty() ? "extra " : "; extra ") + extra;
  throw ValueError("the store of field " + in_quotes(field) + " in " + in_quotes(folder.string()) +
                   " does not hold the labels given for it (" + found +
                   "): " + std::string(kRebuild));
}

StoreMap load_field_stores(const fs::path& stores, const Value& labels,
                           const std::vector<std::string>& fields,
                           const std::shared_ptr<vectorstore::Embeddings>& embeddings) {
  StoreMap db_maps;
  for (const std::string& field : fields) {
    if (!brollin::is_plain_folder_name(field)) {
      throw ValueError("field name " + in_quotes(field) + " cannot name a store folder");
    }
    const fs::path folder = find_field_stores_dir(stores) / field;
    if (!fs::is_directory(folder)) {
      throw ValueError("no store for field " + in_quotes(field) + ": " +
                       in_quotes(folder.string()) + " is not a folder (" + std::string(kRebuild) +
                       ")");
    }
    const auto allowed = labels.find(field);
    if (allowed == labels.end() || !allowed->is_array()) {
      throw ValueError("no list of labels for field " + in_quotes(field));
    }
    auto store = load_store(folder, "the store of field " + in_quotes(field), embeddings);
    require_store_of_labels(store, *allowed, field, folder);
    db_maps[field] = std::make_shared<const vectorstore::FAISS>(std::move(store));
  }
  return db_maps;
}

namespace {

std::filesystem::path manifest_path(const std::filesystem::path& stores) {
  return stores / "stores.json";
}

std::string names(const std::vector<std::string>& list) { return Value(list).dump(); }

}  // namespace

void write_stores_manifest(const std::filesystem::path& stores, const StoresManifest& manifest) {
  internal::AtomicFile file(manifest_path(stores).string());
  file.write(Value({{"text_fields", manifest.text_fields}}).dump(2) + "\n");
  file.commit();
}

std::optional<StoresManifest> read_stores_manifest(const std::filesystem::path& stores) {
  const std::filesystem::path path = manifest_path(stores);
  if (!std::filesystem::exists(path)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string where = "stores manifest '" + path.string() + "'";
  Value json;
  try {
    json = json_loads(text);
  } catch (const ValueError& e) {
    throw ValueError(where + " is not valid JSON: " + e.what());
  }
  const auto fields = json.is_object() ? json.find("text_fields") : json.end();
  StoresManifest manifest;
  if (fields == json.end() || !fields->is_array()) {
    throw ValueError(where + " has no \"text_fields\" list");
  }
  for (const Value& field : *fields) {
    if (!field.is_string()) throw ValueError(where + " has a text field that is no text");
    manifest.text_fields.push_back(field.get<std::string>());
  }
  return manifest;
}

void require_same_text_fields(const std::filesystem::path& stores,
                              const std::vector<std::string>& text_fields) {
  const auto manifest = read_stores_manifest(stores);
  if (manifest && manifest->text_fields != text_fields) {
    throw ValueError("the stores in '" + stores.string() + "' were built on the text fields " +
                     names(manifest->text_fields) + ", not " + names(text_fields) +
                     ": give the same text fields, or build the stores again");
  }
}

}  // namespace tavrin::labeling
