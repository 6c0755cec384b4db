// 实现向量化存储
//
// Vector store building: the rows of a table become one saved FAISS store (save2faiss), and
// one call builds the training-data store plus one store of allowed labels per field
// (data2faiss).
//
//   auto model = std::make_shared<vectorstore::HashingEmbeddings>();
//   brollin::save2faiss(frame::DataFrame(Value{{"q", {"退款"}}, {"label", {"售后"}}}), {"q"},
//                       {"label"}, "stores/train", model);
//   // stdout: FAISS 已保存至：stores/train
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tavrin/core/value.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/vectorstore/embeddings.hpp"

namespace tavrin::brollin {

/// 将数据保存到 FAISS 向量数据库中
///     Args:
///         :param datas (pd.DataFrame): 包含数据的 DataFrame，必须包含 src_fieldnames 中的列
///         :param src_fieldnames (list): 用于生成向量的字段列表
///         :param tgt_fieldnames (list): 需要保存的字段列表
///         :param faiss_index_path (str): FAISS 索引保存路径
///         :param embedding_model: 用于生成向量的模型.
///
/// Each row's text is its `src_fieldnames` cells through tavrin::str joined by ","; its
/// metadata maps each `tgt_fieldnames` name to the cell unchanged (a repeated name once). All
/// texts go to `embedding_model` in one embed_documents call, also when there are none; the
/// cosine store is saved to `faiss_index_path`, then "FAISS 已保存至：" + `faiss_index_path`
/// is printed. `batch_size` is read by nothing. ValueError when `embedding_model` is null or
/// answers fewer vectors than rows (vectors beyond the row count are dropped, as pairing texts
/// with vectors stops at the shorter list); KeyError for a missing column.
void save2faiss(const frame::DataFrame& datas, const std::vector<std::string>& src_fieldnames,
                const std::vector<std::string>& tgt_fieldnames, const std::string& faiss_index_path,
                std::shared_ptr<vectorstore::Embeddings> embedding_model, int batch_size = 64);

/// The text that save2faiss stores for `row`: its `src_fieldnames` cells, in order, each text
/// unchanged and any other value in its tavrin::str form, joined by "," (no quoting, so the
/// text cannot be split back). KeyError for a missing column.
std::string row_text(const frame::DataFrame::Row& row,
                     const std::vector<std::string>& src_fieldnames);

/// 根据标签将数据分割并保存为多个 FAISS 向量数据库
///     Args:
///         labels (dict): 标签字典，键为标签名，值为对应的标签值列表
///         train_data (pd.DataFrame): 训练数据 DataFrame
///         src_fieldnames (list): 用于生成向量的字段列表
///         tgt_fieldnames (list): 需要保存的字段列表
///         faiss_tgt_fieldnames (list): 用于过滤数据的字段列表
///         train_data_faiss_path (str): 训练数据 FAISS 索引保存路径
///         base_faiss_path (str): 基础 FAISS 索引保存路径
///         embedding_model: 用于生成向量的模型.
///
/// Saves the training-data store first, then for each name of `faiss_tgt_fieldnames` in
/// order a store of that field's labels (a missing field: no labels) at
/// `base_faiss_path`/name. TypeError when `labels` is not a mapping; ValueError, before any
/// store is built, for a field name that is empty, "." or "..", or holds "/" or a NUL byte,
/// since its folder would fall outside `base_faiss_path` or onto it.
void data2faiss(const Value& labels, const frame::DataFrame& train_data,
                const std::vector<std::string>& src_fieldnames,
                const std::vector<std::string>& tgt_fieldnames,
                const std::vector<std::string>& faiss_tgt_fieldnames,
                const std::string& train_data_faiss_path, const std::string& base_faiss_path,
                std::shared_ptr<vectorstore::Embeddings> embedding_model);

/// Whether `name` can name a folder inside another, as data2faiss requires of each field name:
/// not empty, not "." or "..", and without "/" or a NUL byte.
bool is_plain_folder_name(std::string_view name);

}  // namespace tavrin::brollin
