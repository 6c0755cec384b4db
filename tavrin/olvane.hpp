// Result checking by retrieval: each predicted field value that is not among the field's
// allowed labels is replaced by the most similar value in that field's vector store.
//
//   check_result(Value{{"类别", "售后-服务"}}, Value{{"类别", {"售后服务", "退款"}}}, {"类别"},
//                {{"类别", store}})
//   // -> {"类别": "售后服务"}
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tavrin/brollin.hpp"
#include "tavrin/core/value.hpp"
#include "tavrin/vectorstore/vector_store.hpp"

namespace tavrin::olvane {

using brollin::data2faiss;

/// 检查预测结果的有效性
///     Args:
///         result (dict): 预测结果字典
///         labels (dict): 标签字典
///         tgt_fieldnames (list): 需要检查的字段列表
///         DB_MAPS (dict): 数据库映射字典
///         如果预测的结果不在labels中，则通过向量检索召回一个相似的
///     Returns:
///         checked_result(dict): 检查后的结果
///
/// The answer has the fields of `tgt_fieldnames` in that order (a repeated field once, at
/// its first place, with the later value). A value missing from `result` is null. A value
/// that its allowed collection holds (a list: an element equals it; a mapping: it is a key; a
/// text: it is text and a substring) comes back unchanged; any other is replaced by the
/// page_content of the first document of the field's store searched with topk 1.
/// TypeError when `result` or `labels` is not a mapping, or an allowed collection is of
/// another kind; KeyError when a value must be replaced and DB_MAPS has no store for the
/// field; IndexError when the search finds no document.
Value check_result(
    const Value& result, const Value& labels, const std::vector<std::string>& tgt_fieldnames,
    const std::map<std::string, std::shared_ptr<const vectorstore::VectorStore>>& DB_MAPS);

}  // namespace tavrin::olvane
