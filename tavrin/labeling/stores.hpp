// The stores of a labelling job on disk, and the labels they hold: a stores folder as
// `tavrin build` writes it (`<stores>/train`, the training rows; `<stores>/fields/<field>`, the
// allowed labels of each field) or as brollin::data2faiss writes it with a base folder of the
// caller's (`<base>/<field>`), and labels.json, field name to allowed labels.
//
//   Value labels = read_labels("examples/data/labels.json");   // {"product": ["手机", ...]}
//   StoreMap stores = load_field_stores("stores", labels, label_fields(labels), model);
//   auto train = load_train_store("stores", model);             // for the prompts' examples
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavrin/core/value.hpp"
#include "tavrin/labeling/labels.hpp"
#include "tavrin/labeling/prompt.hpp"

namespace tavrin::vectorstore {
class FAISS;
}  // namespace tavrin::vectorstore

namespace tavrin::labeling {

/// The folder of the training-data store inside a stores folder: `<stores>/train`.
std::filesystem::path train_store_dir(const std::filesystem::path& stores);

/// The parent folder of the per-field stores as they are written: `<stores>/fields`.
std::filesystem::path field_stores_dir(const std::filesystem::path& stores);

/// The parent folder of the per-field stores when reading a stores folder: `<stores>/fields`
/// when it is a folder, else `<stores>` itself (the data2faiss layout `<base>/<field>`).
std::filesystem::path find_field_stores_dir(const std::filesystem::path& stores);

/// Loads the training-data store of a stores folder. A missing or damaged store is a
/// ValueError that says to rebuild the stores.
std::shared_ptr<const vectorstore::VectorStore> load_train_store(
    const std::filesystem::path& stores,
    const std::shared_ptr<vectorstore::Embeddings>& embeddings);

/// ValueError naming `field`, `folder` and the difference unless the texts of the documents of
/// `store` are the labels `allowed` for that field, as sets: each label is one document's
/// page_content, so a store built from other labels, or copied from another field's folder,
/// would answer values that are no allowed label.
void require_store_of_labels(const vectorstore::FAISS& store, const Value& allowed,
                             const std::string& field, const std::filesystem::path& folder);

/// Loads the store of each of `fields` from find_field_stores_dir(stores) and requires it to
/// hold that field's entry of `labels` (require_store_of_labels). A field name that cannot
/// name a folder (brollin::is_plain_folder_name), a missing folder, a store that does not load
/// or one that holds other labels is a ValueError naming the field and the folder.
StoreMap load_field_stores(const std::filesystem::path& stores, const Value& labels,
                           const std::vector<std::string>& fields,
                           const std::shared_ptr<vectorstore::Embeddings>& embeddings);

/// What a stores folder records of how it was built, in `<stores>/stores.json` (beside the
/// stores, not in their own files): the columns joined into each training row's text.
struct StoresManifest {
  std::vector<std::string> text_fields;
};

/// Writes the manifest of the stores folder `stores`, atomically; filesystem_error on failure.
void write_stores_manifest(const std::filesystem::path& stores, const StoresManifest& manifest);

/// The manifest of the stores folder `stores`; nullopt when it has none (built before
/// manifests were written, or by data2faiss alone). ValueError naming the file when it is no
/// manifest.
std::optional<StoresManifest> read_stores_manifest(const std::filesystem::path& stores);

/// Throws ValueError unless `text_fields` are the text fields the stores at `stores` were
/// built on (when their manifest says): a record's text made of other columns would be
/// compared with training texts of another kind, and its examples and checks mislead.
void require_same_text_fields(const std::filesystem::path& stores,
                              const std::vector<std::string>& text_fields);

}  // namespace tavrin::labeling
