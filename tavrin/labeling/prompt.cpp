#include "tavrin/labeling/prompt.hpp"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <utility>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/excerpt.hpp"
#include "tavrin/core/internal/utf8.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/vectorstore/exact_scan.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"

namespace tavrin::labeling {
namespace {

// Documents searched beyond the examples wanted, to make up for those left out as copies of
// the record itself.
constexpr std::size_t kSpareExamples = 8;

// What is the same for every record comes first and what differs last, so that endpoints that
// cache a prompt's beginning can reuse it from record to record.
constexpr std::string_view kDefaultTemplate =
    "你是数据标注助手。请阅读下面的记录，为每个字段从允许的标签中选出一个。\n"
    "需要标注的字段：{fields}\n"
    "允许的标签：\n"
    "{label_lists}"
    "参考示例：\n"
    "{examples}"
    "{nearest_labels}"
    "待标注的记录：{record}\n"
    "只输出一个 JSON 对象，键为 {fields}，值为所选标签，不要输出其他内容。";

constexpr std::string_view kEnglishTemplate =
    "You are a data labelling assistant. Read the record below and, for each field, choose one "
    "of its allowed labels.\n"
    "Fields to label: {fields}\n"
    "Allowed labels:\n"
    "{label_lists}"
    "Examples:\n"
    "{examples}"
    "{nearest_labels}"
    "Record to label: {record}\n"
    "Output only one JSON object whose keys are {fields} and whose values are the chosen "
    "labels, and nothing else.";

// The words a prompt's parts are written with, in each language.
struct Wording {
  std::string_view label_separator;
  std::string_view open_note;  // before a field's instruction
  std::string_view note_separator;
  std::string_view close_note;
  std::string_view multi_label;  // a field whose answer is a list
  std::string_view example;      // "Example" before its number
  std::string_view example_colon;
  std::string_view answer;
  std::string_view no_examples;
  std::string_view see_nearest;  // a narrowed field's list in the part every record shares
  std::string_view nearest;      // the heading of the narrowed lists
};

constexpr Wording kChinese{.label_separator = "、",
                           .open_note = "（",
                           .note_separator = "；",
                           .close_note = "）",
                           .multi_label = "可多选，答案为所选标签的 JSON 数组",
                           .example = "示例 ",
                           .example_colon = "：",
                           .answer = "答案：",
                           .no_examples = "（无）\n",
                           .see_nearest = "见下方“与本条记录最接近的标签”",
                           .nearest = "与本条记录最接近的标签：\n"};
constexpr Wording kEnglish{
    .label_separator = ", ",
    .open_note = " (",
    .note_separator = "; ",
    .close_note = ")",
    .multi_label = "several labels may apply: answer with a JSON array of labels",
    .example = "Example ",
    .example_colon = ": ",
    .answer = "Answer: ",
    .no_examples = "(none)\n",
    .see_nearest = "see \"Labels nearest this record\" below",
    .nearest = "Labels nearest this record:\n"};

const Wording& wording(PromptLanguage language) {
  return language == PromptLanguage::en ? kEnglish : kChinese;
}

// Han ideographs: the unified blocks and their extensions, and the compatibility blocks.
bool is_han(std::uint32_t cp) {
  return (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x4E00 && cp <= 0x9FFF) ||
         (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0x20000 && cp <= 0x323AF);
}

bool any_han(const Value& value) {
  if (value.is_string()) return has_han(value.get_ref<const std::string&>());
  if (value.is_array()) return std::any_of(value.begin(), value.end(), any_han);
  if (value.is_object()) {
    for (const auto& [key, item] : value.items()) {
      if (has_han(key) || any_han(item)) return true;
    }
  }
  return false;
}

struct Placeholder {
  std::string_view name;
  std::string PromptParts::*part;
};

constexpr Placeholder kPlaceholders[] = {
    {"fields", &PromptParts::fields},           {"labels", &PromptParts::labels},
    {"examples", &PromptParts::examples},       {"record", &PromptParts::record},
    {"label_lists", &PromptParts::label_lists}, {"nearest_labels", &PromptParts::nearest_labels}};

// Letters, digits and "_", and any non-ASCII byte, so that a misspelt name in another script
// is caught too.
bool is_name_char(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 0x80 || c == '_' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
         (c >= 'A' && c <= 'Z');
}

// The length of the placeholder `{name}` at text[i], or 0 when none starts there.
std::size_t placeholder_length(std::string_view text, std::size_t i) {
  std::size_t end = i + 1;
  while (end < text.size() && is_name_char(text[end])) ++end;
  return end > i + 1 && end < text.size() && text[end] == '}' ? end - i + 1 : 0;
}

std::string joined(const std::vector<std::string>& items, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += separator;
    out += items[i];
  }
  return out;
}

std::string label_text(const Value& label) {
  return label.is_string() ? label.get<std::string>() : str(label);
}

}  // namespace

std::string_view language_name(PromptLanguage language) noexcept {
  return language == PromptLanguage::en ? "en" : "zh";
}

PromptLanguage parse_prompt_language(std::string_view name, const std::string& source) {
  if (name == "zh") return PromptLanguage::zh;
  if (name == "en") return PromptLanguage::en;
  throw ValueError(source + " must be zh or en, not " + repr(Value(std::string(name))));
}

bool has_han(std::string_view text) noexcept {
  for (std::size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    std::uint32_t cp = 0;
    const std::size_t length = tavrin::internal::decode_code_point(text.substr(i), cp);
    if (length == 0) return false;
    if (is_han(cp)) return true;
    i += length;
  }
  return false;
}

PromptLanguage detect_prompt_language(const LabelFile& labels,
                                      const std::vector<std::string>& texts) {
  bool han = any_han(labels.labels);
  for (const auto& [field, notes] : labels.notes) {
    han = han || has_han(field) || has_han(notes.instruction) || any_han(notes.descriptions);
  }
  han = han || std::any_of(texts.begin(), texts.end(),
                           [](const std::string& text) { return has_han(text); });
  return han ? PromptLanguage::zh : PromptLanguage::en;
}

PromptLanguage detect_prompt_language(const LabelFile& labels, const frame::DataFrame& records,
                                      const std::vector<std::string>& text_fields) {
  std::vector<std::string> texts;
  const std::vector<std::string>& columns = records.columns();
  for (std::size_t i = 0; i < records.size(); ++i) {
    for (const std::string& field : text_fields) {
      if (std::find(columns.begin(), columns.end(), field) == columns.end()) continue;
      const Value& cell = records.iloc(i)[field];
      if (cell.is_string()) texts.push_back(cell.get<std::string>());
    }
  }
  return detect_prompt_language(labels, texts);
}

PromptTemplate::PromptTemplate() : PromptTemplate(kDefaultTemplate, "default") {
  is_default_ = true;
}

PromptTemplate PromptTemplate::default_for(PromptLanguage language) {
  PromptTemplate prompt = language == PromptLanguage::en
                              ? PromptTemplate(kEnglishTemplate, "default")
                              : PromptTemplate(kDefaultTemplate, "default");
  prompt.is_default_ = true;
  return prompt;
}

PromptTemplate::PromptTemplate(std::string_view text, const std::string& source) : text_(text) {
  // A prompt is sent as JSON text, which cannot carry a bad byte.
  if (const std::size_t bad = tavrin::internal::first_invalid_utf8(text);
      bad != std::string_view::npos) {
    throw ValueError("prompt template " + source + " is not valid UTF-8 (byte " +
                     std::to_string(bad) + ")");
  }
  Piece piece;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if ((c == '{' || c == '}') && i + 1 < text.size() && text[i + 1] == c) {
      piece.literal += c;
      i += 2;
      continue;
    }
    const std::size_t length = c == '{' ? placeholder_length(text, i) : 0;
    if (length == 0) {
      piece.literal += c;
      ++i;
      continue;
    }
    const std::string_view name = text.substr(i + 1, length - 2);
    const Placeholder* known = nullptr;
    for (const Placeholder& p : kPlaceholders) {
      if (p.name == name) known = &p;
    }
    if (known == nullptr) {
      throw ValueError("prompt template " + source + " has the unknown placeholder {" +
                       std::string(name) +
                       "}; the known ones are {fields}, {labels}, {label_lists}, {nearest_labels}, "
                       "{examples} and {record} (write {{ and }} for braces)");
    }
    piece.placeholder = known->part;
    pieces_.push_back(std::move(piece));
    piece = Piece();
    i += length;
  }
  pieces_.push_back(std::move(piece));
  const bool has_record = std::any_of(pieces_.begin(), pieces_.end(), [](const Piece& p) {
    return p.placeholder == &PromptParts::record;
  });
  if (!has_record) {
    throw ValueError("prompt template " + source +
                     " has no {record} placeholder: every record would get the same prompt");
  }
}

PromptTemplate read_prompt_template(const std::string& path) {
  const std::string source = tavrin::internal::in_quotes(path);
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    throw ValueError("prompt template " + source + " is not a readable regular file");
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) throw ValueError("prompt template " + source + " cannot be read");
  return PromptTemplate(text.str(), source);
}

std::string PromptTemplate::render(const PromptParts& parts) const {
  std::string out;
  for (const Piece& piece : pieces_) {
    out += piece.literal;
    if (piece.placeholder != nullptr) out += parts.*piece.placeholder;
  }
  return out;
}

// A record's text with its query vectors as the models give them, one per embedding model,
// each embedded when a search first needs it unless the caller made it.
struct Prompter::Query {
  const std::string& text;
  std::vector<std::vector<float>> vectors;  // by model; empty until embedded
};

// One store as the prompter searches it: a FAISS store through an exact scan of its vectors,
// any other store through its own similarity_search.
class Prompter::Search {
 public:
  // `models` holds the embedding models of the stores made searchable before; a FAISS store
  // whose model is one of them (the same object, or the same known identity) shares its
  // query vectors, else its model is added.
  Search(std::shared_ptr<const vectorstore::VectorStore> store,
         std::vector<std::shared_ptr<vectorstore::Embeddings>>& models)
      : store_(std::move(store)),
        faiss_(std::dynamic_pointer_cast<const vectorstore::FAISS>(store_)) {
    if (!faiss_) return;
    scan_.emplace(*faiss_);
    std::shared_ptr<vectorstore::Embeddings> model = faiss_->embedding_model();
    const std::string identity = model->identity();
    const auto same = [&](const std::shared_ptr<vectorstore::Embeddings>& other) {
      return other == model || (!identity.empty() && other->identity() == identity);
    };
    model_ =
        static_cast<std::size_t>(std::find_if(models.begin(), models.end(), same) - models.begin());
    if (model_ == models.size()) models.push_back(std::move(model));
  }

  // For each record i of `queries`, calls `take(i, document)` with the documents nearest it,
  // most similar first, until `topk` came or it returns false. A FAISS store is scanned once
  // for all the records.
  template <class Take>
  void nearest(std::vector<Query>& queries, std::size_t topk, Take take) const {
    if (!faiss_) {
      for (std::size_t i = 0; i < queries.size(); ++i) {
        for (const vectorstore::Document& doc :
             store_->similarity_search(Value(queries[i].text), topk)) {
          if (!take(i, doc)) break;
        }
      }
      return;
    }
    if (faiss_->size() == 0) return;
    std::vector<std::vector<float>> vectors;
    for (Query& query : queries) {
      std::vector<float>& embedded = query.vectors[model_];
      if (embedded.empty()) embedded = faiss_->embedding_model()->embed_query(query.text);
      vectors.push_back(faiss_->query_vector_of(embedded));
    }
    const auto found = scan_->nearest_each(vectors, topk);
    for (std::size_t i = 0; i < queries.size(); ++i) {
      for (const auto& [position, score] : found[i]) {
        if (!take(i, faiss_->documents()[position])) break;
      }
    }
  }

 private:
  std::shared_ptr<const vectorstore::VectorStore> store_;
  std::shared_ptr<const vectorstore::FAISS> faiss_;  // null for another kind of store
  std::optional<vectorstore::ExactScan> scan_;
  std::size_t model_ = 0;
};

Prompter::Prompter(PromptSettings settings,
                   std::shared_ptr<const vectorstore::VectorStore> train_store,
                   StoreMap field_stores)
    : settings_(std::move(settings)) {
  if (settings_.prompt_template.is_default()) {
    settings_.prompt_template = PromptTemplate::default_for(settings_.language);
  }
  for (const std::string& field : settings_.fields) {
    const auto allowed = settings_.labels.find(field);
    if (allowed == settings_.labels.end() || !allowed->is_array()) {
      throw ValueError("labels has no list of allowed labels for field " + repr(Value(field)));
    }
    if (allowed->size() <= settings_.max_labels) continue;
    const auto store = field_stores.find(field);
    if (store == field_stores.end() || !store->second) {
      throw ValueError("field " + repr(Value(field)) + " has more than " +
                       std::to_string(settings_.max_labels) +
                       " labels and no store to pick the nearest of them");
    }
    narrowed_[field] = std::make_shared<const Search>(store->second, models_);
  }
  if (settings_.examples > 0) {
    if (!train_store) throw ValueError("examples are asked for but there is no training store");
    train_search_ = std::make_shared<const Search>(std::move(train_store), models_);
  }
}

std::vector<std::vector<Example>> Prompter::examples(std::vector<Query>& queries,
                                                     const std::vector<Value>& golds) const {
  std::vector<std::vector<Example>> examples(queries.size());
  if (!train_search_) return examples;
  // More than needed, so that the record itself, and copies of it, can be left out.
  train_search_->nearest(
      queries, settings_.examples + kSpareExamples,
      [&](std::size_t i, const vectorstore::Document& doc) {
        const Value& gold = golds[i];
        Example example{doc.page_content, Value::object()};
        bool same_labels = gold.is_object();
        for (const std::string& field : settings_.fields) {
          const auto value = doc.metadata.find(field);
          if (value != doc.metadata.end()) example.labels[field] = *value;
          const auto own = gold.is_object() ? gold.find(field) : gold.end();
          if (same_labels && (value == doc.metadata.end() || own == gold.end() || *value != *own)) {
            same_labels = false;
          }
        }
        if (!(same_labels && example.text == queries[i].text)) {
          examples[i].push_back(std::move(example));
        }
        return examples[i].size() < settings_.examples;
      });
  return examples;
}

std::vector<std::string> Prompter::labels(const std::string& field, std::vector<Query>& one) const {
  std::vector<std::string> shown;
  const auto narrowed = narrowed_.find(field);
  if (narrowed == narrowed_.end()) {
    for (const Value& label : settings_.labels[field]) shown.push_back(label_text(label));
    return shown;
  }
  narrowed->second->nearest(one, settings_.max_labels,
                            [&](std::size_t, const vectorstore::Document& doc) {
                              shown.push_back(doc.page_content);
                              return true;
                            });
  return shown;
}

// "- field", with the field's instruction and whether it takes several labels.
std::string Prompter::field_head(const std::string& field) const {
  const Wording& words = wording(settings_.language);
  std::string head = "- " + field;
  const auto found = settings_.notes.find(field);
  if (found == settings_.notes.end()) return head;
  std::vector<std::string> said;
  if (!found->second.instruction.empty()) said.push_back(found->second.instruction);
  if (found->second.multi_label) said.emplace_back(words.multi_label);
  if (!said.empty()) {
    head += std::string(words.open_note) + joined(said, words.note_separator) +
            std::string(words.close_note);
  }
  return head;
}

// What follows a field's head: its labels on the line, or one a line with their descriptions.
std::string Prompter::label_list(const std::string& field,
                                 const std::vector<std::string>& shown) const {
  const Wording& words = wording(settings_.language);
  const auto found = settings_.notes.find(field);
  const bool described = found != settings_.notes.end() &&
                         std::any_of(shown.begin(), shown.end(), [&](const std::string& label) {
                           return found->second.descriptions.contains(label);
                         });
  if (!described) return ": " + joined(shown, words.label_separator) + "\n";
  // One label a line, so that each description stays beside its label.
  std::string list = ":\n";
  for (const std::string& label : shown) {
    list += "  - " + label;
    const auto description = found->second.descriptions.find(label);
    if (description != found->second.descriptions.end()) {
      list += ": " + label_text(*description);
    }
    list += "\n";
  }
  return list;
}

std::vector<Prompter::Query> Prompter::queries_of(const std::vector<std::string>& texts) const {
  std::vector<Query> queries;
  queries.reserve(texts.size());
  for (const std::string& text : texts) {
    queries.push_back(Query{text, std::vector<std::vector<float>>(models_.size())});
  }
  return queries;
}

std::vector<Example> Prompter::examples_for(const std::string& text, const Value& gold) const {
  const std::vector<std::string> texts = {text};  // outlives the queries that refer to it
  std::vector<Query> one = queries_of(texts);
  return std::move(examples(one, {gold})[0]);
}

std::vector<std::string> Prompter::labels_for(const std::string& field,
                                              const std::string& text) const {
  const std::vector<std::string> texts = {text};
  std::vector<Query> one = queries_of(texts);
  return labels(field, one);
}

std::string Prompter::prompt_for(const std::string& text, const Value& gold) const {
  return std::move(prompts_for({text}, {gold})[0]);
}

std::vector<std::string> Prompter::prompts_for(const std::vector<std::string>& texts,
                                               const std::vector<Value>& golds) const {
  std::vector<std::string> texts_only;
  for (RecordPrompt& prompt : render(texts, golds, queries_of(texts))) {
    texts_only.push_back(std::move(prompt.text));
  }
  return texts_only;
}

std::vector<RecordPrompt> Prompter::prompts_for(const std::vector<std::string>& texts,
                                                const std::vector<Value>& golds,
                                                QueryVectors by_model) const {
  std::vector<Query> queries = queries_of(texts);
  if (by_model.size() != models_.size()) {
    throw ValueError("prompts_for has query vectors of " + std::to_string(by_model.size()) +
                     " models for " + std::to_string(models_.size()));
  }
  for (std::size_t m = 0; m < by_model.size(); ++m) {
    if (by_model[m].size() != texts.size()) {
      throw ValueError("prompts_for has " + std::to_string(by_model[m].size()) +
                       " query vectors of model " + std::to_string(m) + " for " +
                       std::to_string(texts.size()) + " texts");
    }
    for (std::size_t i = 0; i < texts.size(); ++i) {
      queries[i].vectors[m] = std::move(by_model[m][i]);
    }
  }
  return render(texts, golds, std::move(queries));
}

std::vector<RecordPrompt> Prompter::render(const std::vector<std::string>& texts,
                                           const std::vector<Value>& golds,
                                           std::vector<Query> queries) const {
  if (texts.size() != golds.size()) {
    throw ValueError("prompts_for has " + std::to_string(texts.size()) + " texts and " +
                     std::to_string(golds.size()) + " gold values");
  }
  const std::vector<std::vector<Example>> examples = this->examples(queries, golds);
  std::vector<RecordPrompt> prompts;
  for (std::size_t r = 0; r < queries.size(); ++r) {
    std::vector<Query> one = {std::move(queries[r])};
    PromptParts parts;
    RecordPrompt prompt;
    parts.fields = joined(settings_.fields, ", ");
    const Wording& words = wording(settings_.language);
    for (const std::string& field : settings_.fields) {
      const std::vector<std::string> shown = labels(field, one);
      const std::string head = field_head(field);
      const std::string list = label_list(field, shown);
      parts.labels += head + list;
      if (narrowed_.contains(field)) {
        parts.label_lists += head + ": " + std::string(words.see_nearest) + "\n";
        parts.nearest_labels += "- " + field + list;
      } else {
        parts.label_lists += head + list;
      }
      prompt.shown[field] = shown;
    }
    if (!parts.nearest_labels.empty()) {
      parts.nearest_labels.insert(0, words.nearest);
    }
    for (std::size_t i = 0; i < examples[r].size(); ++i) {
      parts.examples += std::string(words.example) + std::to_string(i + 1) +
                        std::string(words.example_colon) + examples[r][i].text + "\n" +
                        std::string(words.answer) + examples[r][i].labels.dump() + "\n";
      prompt.example_labels.push_back(examples[r][i].labels);
    }
    if (examples[r].empty()) parts.examples = words.no_examples;
    parts.record = texts[r];
    prompt.text = settings_.prompt_template.render(parts);
    prompts.push_back(std::move(prompt));
  }
  return prompts;
}

}  // namespace tavrin::labeling
