#include "tavrin/brollin.hpp"

#include <algorithm>
#include <iostream>
#include <utility>

#include "tavrin/core/check.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/excerpt.hpp"
#include "tavrin/core/progress.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"

namespace tavrin::brollin {

namespace {

Value row_metadata(const frame::DataFrame::Row& row,
                   const std::vector<std::string>& tgt_fieldnames) {
  Value metadata = Value::object();
  for (const std::string& name : tgt_fieldnames) metadata[name] = row[name];
  return metadata;
}

// Pairs text k with vector k, as many pairs as the shorter list has entries.
std::vector<vectorstore::FAISS::TextEmbedding> pair_up(std::vector<std::string>&& texts,
                                                       std::vector<std::vector<float>>&& vectors) {
  const std::size_t n = std::min(texts.size(), vectors.size());
  std::vector<vectorstore::FAISS::TextEmbedding> pairs;
  pairs.reserve(n);
  for (std::size_t i = 0; i < n; ++i)
    pairs.emplace_back(std::move(texts[i]), std::move(vectors[i]));
  return pairs;
}

// os.path.join of two components, the second never absolute here.
std::string join_path(const std::string& base, const std::string& name) {
  if (base.empty() || base.back() == '/') return base + name;
  return base + "/" + name;
}

void check_field_name(const std::string& name) {
  if (is_plain_folder_name(name)) return;
  const std::string_view cut = tavrin::internal::excerpt(name);
  const std::string shown = repr(Value(cut)) + (cut.size() < name.size() ? "..." : "");
  throw ValueError("faiss_tgt_fieldnames holds " + shown +
                   ", which cannot name a folder inside base_faiss_path");
}

}  // namespace

bool is_plain_folder_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::string row_text(const frame::DataFrame::Row& row,
                     const std::vector<std::string>& src_fieldnames) {
  std::string text;
  for (std::size_t i = 0; i < src_fieldnames.size(); ++i) {
    if (i > 0) text += ',';
    const Value& cell = row[src_fieldnames[i]];
    if (cell.is_string()) {
      text += cell.get_ref<const std::string&>();
    } else {
      text += str(cell);
    }
  }
  return text;
}

void save2faiss(const frame::DataFrame& datas, const std::vector<std::string>& src_fieldnames,
                const std::vector<std::string>& tgt_fieldnames, const std::string& faiss_index_path,
                std::shared_ptr<vectorstore::Embeddings> embedding_model, int /*batch_size*/) {
  std::vector<Value> metadatas;
  std::vector<std::string> texts;
  const std::size_t n = datas.size();
  metadatas.reserve(n);
  texts.reserve(n);
  for (std::size_t i : trange(n, "构建文档中")) {
    const frame::DataFrame::Row row = datas.iloc(i);
    std::string text = row_text(row, src_fieldnames);
    metadatas.push_back(row_metadata(row, tgt_fieldnames));
    texts.push_back(std::move(text));
  }

  if (!embedding_model) throw ValueError("save2faiss embedding_model must not be null");
  std::vector<std::vector<float>> embeddings = embedding_model->embed_documents(texts);
  auto db = vectorstore::FAISS::from_embeddings(pair_up(std::move(texts), std::move(embeddings)),
                                                embedding_model, std::move(metadatas),
                                                vectorstore::DistanceStrategy::COSINE);
  db.save_local(faiss_index_path);
  std::cout << "FAISS 已保存至：" + faiss_index_path + "\n" << std::flush;
}

void data2faiss(const Value& labels, const frame::DataFrame& train_data,
                const std::vector<std::string>& src_fieldnames,
                const std::vector<std::string>& tgt_fieldnames,
                const std::vector<std::string>& faiss_tgt_fieldnames,
                const std::string& train_data_faiss_path, const std::string& base_faiss_path,
                std::shared_ptr<vectorstore::Embeddings> embedding_model) {
  require_object(labels, "labels");
  for (const std::string& name : faiss_tgt_fieldnames) check_field_name(name);

  save2faiss(train_data, src_fieldnames, tgt_fieldnames, train_data_faiss_path, embedding_model);
  for (const std::string& fieldnames : faiss_tgt_fieldnames) {
    const auto found = labels.find(fieldnames);
    Value columns = Value::object();
    columns[fieldnames] = found != labels.end() ? *found : Value::array();
    const frame::DataFrame df(std::move(columns));
    const std::string df_faiss_path = join_path(base_faiss_path, fieldnames);
    save2faiss(df, {fieldnames}, {}, df_faiss_path, embedding_model);
  }
}

}  // namespace tavrin::brollin
