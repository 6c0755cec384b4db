// The prompt of a labelling job: the target fields with their allowed labels, a few labelled
// examples retrieved from the training store, and the record, in a template with the
// placeholders {fields}, {labels}, {examples} and {record}.
//
//   Prompter prompter({.fields = {"类别"}, .labels = {{"类别", {"退款", "物流配送"}}}},
//                     train_store, field_stores);
//   prompter.prompt_for("什么时候发货", Value())
//   // -> "你是数据标注助手。…\n- 类别: 退款、物流配送\n…待标注的记录：什么时候发货\n…"
//
// With `.language = PromptLanguage::en` the default template is English, and a field whose
// labels have descriptions (FieldNotes) shows one label a line:
//   "- topic (pick the main subject):\n  - billing: invoices, charges and refunds\n  - login\n"
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tavrin/core/value.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/labeling/labels.hpp"
#include "tavrin/vectorstore/embeddings.hpp"
#include "tavrin/vectorstore/vector_store.hpp"

namespace tavrin::labeling {

/// Field name to the store of its allowed labels, as check_result takes them.
using StoreMap = std::map<std::string, std::shared_ptr<const vectorstore::VectorStore>>;

/// What fills the placeholders of a template.
struct PromptParts {
  std::string fields;    // the target field names
  std::string labels;    // one line per field with its allowed labels
  std::string examples;  // the retrieved examples with their labels
  std::string record;    // the record's text
  // {labels} in two, for prompts whose beginning an endpoint can cache: `label_lists` is the
  // same for every record (a field whose list is narrowed per record is named, its labels
  // left to `nearest_labels`); `nearest_labels` holds the narrowed lists under a heading, or
  // nothing when no field is narrowed.
  std::string label_lists{};
  std::string nearest_labels{};
};

/// The language of a prompt's own words: the default template, the way `{labels}` and
/// `{examples}` are written.
enum class PromptLanguage { zh, en };

/// "zh" or "en".
std::string_view language_name(PromptLanguage language) noexcept;

/// The language named "zh" or "en"; ValueError naming `source` for anything else.
PromptLanguage parse_prompt_language(std::string_view name, const std::string& source);

/// Whether `text` holds a Han (Chinese) character; text that is not UTF-8 is read up to its
/// first bad byte.
bool has_han(std::string_view text) noexcept;

/// The language a prompt about this data is best written in: Chinese when a label, a
/// description or instruction, or one of `texts` (the first records' texts) holds a Han
/// character, English otherwise.
PromptLanguage detect_prompt_language(const LabelFile& labels,
                                      const std::vector<std::string>& texts);

/// detect_prompt_language with the texts of `records` (the first records of a table): the
/// text cells of their `text_fields`; a field that is no column is passed over.
PromptLanguage detect_prompt_language(const LabelFile& labels, const frame::DataFrame& records,
                                      const std::vector<std::string>& text_fields);

/// A prompt text with placeholders. `{fields}`, `{labels}`, `{examples}` and `{record}` are
/// replaced; `{{` and `}}` stand for single braces; any other brace is kept as it is, except
/// that a brace pair around a name (`{name}`) must be one of the four.
class PromptTemplate {
 public:
  /// The default template, in Chinese.
  PromptTemplate();
  /// The default template in `language`.
  static PromptTemplate default_for(PromptLanguage language);
  /// `text` read as a template. ValueError naming `source` and the placeholder for an unknown
  /// one, saying that `{record}` is missing (every record would get the same prompt), or
  /// giving the offset of the first byte that is not UTF-8.
  PromptTemplate(std::string_view text, const std::string& source);

  std::string render(const PromptParts& parts) const;

  /// The text the template was read from.
  const std::string& text() const noexcept { return text_; }

  /// Whether this is one of the default templates, not one read from a user's text.
  bool is_default() const noexcept { return is_default_; }

 private:
  struct Piece {
    std::string literal;                              // text before the placeholder
    std::string PromptParts::*placeholder = nullptr;  // null for the last piece
  };
  std::string text_;
  std::vector<Piece> pieces_;
  bool is_default_ = false;
};

/// The template in the regular file at `path`; ValueError naming it when it cannot be read, and
/// those of PromptTemplate.
PromptTemplate read_prompt_template(const std::string& path);

/// The prompt of one record, with the labels it shows.
struct RecordPrompt {
  std::string text;
  Value shown = Value::object();        // target field to the array of the labels the prompt shows
  std::vector<Value> example_labels{};  // the target values of the examples it shows, in order
};

/// A training document shown to the model as an example.
struct Example {
  std::string text;
  Value labels;  // the document's values of the target fields, in field order
};

struct PromptSettings {
  std::vector<std::string> fields;            // the target fields, in order
  Value labels = Value::object();             // field name to its list of allowed labels
  std::map<std::string, FieldNotes> notes{};  // descriptions, instructions, multi-label fields
  std::size_t examples = 4;                   // examples per record; 0 for none
  std::size_t max_labels = 50;  // a longer list shows only the labels nearest the record
  // The language of {labels} and {examples}; a default template is replaced by the default
  // template of this language.
  PromptLanguage language = PromptLanguage::zh;
  PromptTemplate prompt_template{};
};

/// Builds the prompt of each record. Stores are shared, not copied; searches are const and
/// may run from several threads when the stores' embedding models allow it. A FAISS store is
/// searched through a vectorstore::ExactScan of its vectors (the same neighbours and scores as
/// its own search, several times faster, for a copy of its vectors), and a record's text is
/// embedded once per embedding model for all the stores a prompt searches.
class Prompter {
 public:
  /// A default template in `settings` becomes the default template of `settings.language`.
  /// `train_store` may be null when `settings.examples` is 0; `field_stores` needs a store
  /// for each field whose labels are more than `max_labels`. ValueError naming the field for a
  /// field without a list of labels, or without the store it needs; ValueError when
  /// `train_store` is needed and null.
  Prompter(PromptSettings settings, std::shared_ptr<const vectorstore::VectorStore> train_store,
           StoreMap field_stores);

  /// Up to `examples` training documents nearest `text`, most similar first, leaving out the
  /// record itself: a document with the same text and, when `gold` (the record's own values
  /// of the target fields, or null) is an object, the same labels. Copies of the record count
  /// as the record; fewer examples come when more than a few of the nearest are copies.
  std::vector<Example> examples_for(const std::string& text, const Value& gold) const;

  /// The allowed labels of `field` to show for `text`: all of them in their order, or the
  /// `max_labels` nearest `text` when there are more.
  std::vector<std::string> labels_for(const std::string& field, const std::string& text) const;

  /// The whole prompt for a record.
  std::string prompt_for(const std::string& text, const Value& gold) const;

  /// prompt_for of each record, texts[i] with golds[i], the examples of all of them found in
  /// one pass over the training store: the same prompts, for less work per record.
  /// ValueError when the two lists differ in length.
  std::vector<std::string> prompts_for(const std::vector<std::string>& texts,
                                       const std::vector<Value>& golds) const;

  /// The embedding models of the FAISS stores a prompt searches, one per distinct model (the
  /// same object, or the same known identity), in a fixed order.
  const std::vector<std::shared_ptr<vectorstore::Embeddings>>& query_models() const noexcept {
    return models_;
  }

  /// Query vectors made by the caller: `by_model[m][i]` is what query_models()[m] gives for
  /// texts[i] (embed_query, or async_embed_queries, of the text).
  using QueryVectors = std::vector<std::vector<std::vector<float>>>;

  /// prompts_for with the query vectors already made, so that no store calls its model: the
  /// same prompts, each with the labels it shows. ValueError when `by_model` does not hold one
  /// vector per model and text.
  std::vector<RecordPrompt> prompts_for(const std::vector<std::string>& texts,
                                        const std::vector<Value>& golds,
                                        QueryVectors by_model) const;

  const PromptSettings& settings() const noexcept { return settings_; }

 private:
  class Search;
  struct Query;

  std::vector<Query> queries_of(const std::vector<std::string>& texts) const;
  std::vector<RecordPrompt> render(const std::vector<std::string>& texts,
                                   const std::vector<Value>& golds,
                                   std::vector<Query> queries) const;
  std::vector<std::vector<Example>> examples(std::vector<Query>& queries,
                                             const std::vector<Value>& golds) const;
  std::vector<std::string> labels(const std::string& field, std::vector<Query>& one) const;
  std::string field_head(const std::string& field) const;
  std::string label_list(const std::string& field, const std::vector<std::string>& shown) const;

  PromptSettings settings_;
  std::shared_ptr<const Search> train_search_;                     // null without examples
  std::map<std::string, std::shared_ptr<const Search>> narrowed_;  // fields with too many labels
  std::vector<std::shared_ptr<vectorstore::Embeddings>> models_;   // of the searched FAISS stores
};

}  // namespace tavrin::labeling
