// Result checking by retrieval: each predicted field value that is not among the field's
// allowed labels is replaced by the most similar value in that field's vector store.
//
//   check_result(Value{{"类别", "售后-服务"}}, Value{{"类别", {"售后服务", "退款"}}}, {"类别"},
//                {{"类别", store}})
//   // -> {"类别": "售后服务"}
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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

/// How check_result_scored settled one field.
enum class Decision {
  kept,       // the predicted value is an allowed label
  replaced,   // the nearest label of the field's store took its place
  abstained,  // no label was similar enough (below min_score): the checked value is null
  missing,    // the prediction has no value (absent or null) for the field
  // Set by the labelling job's checker (labeling::Checker), never by check_result_scored:
  no_answer,  // the value says there is no answer ("n/a", "unknown", ""): the checked value is null
  invalid,    // a value of another kind than the labels (a number, a list): checked value null
  normalized,  // the value is a label written another way ("Animals", "noun.animal")
  asked,       // the model chose among the nearest labels when asked again
};

/// "kept", "replaced", "abstained", "missing", "no_answer", "invalid", "normalized" or
/// "asked".
std::string_view decision_name(Decision decision);

/// The check of one target field, with the evidence behind it.
struct FieldCheck {
  std::string field;
  Value predicted;  // the value of the prediction; null when missing
  Value checked;    // the value kept or put in its place; null when abstained or missing
  Decision decision = Decision::missing;
  /// Similarity of the chosen label: 1 when kept, the best label's when replaced or
  /// abstained, nullopt when missing.
  std::optional<double> score;
  /// The most similar label, when the store was searched (replaced or abstained).
  std::optional<std::string> nearest;
  /// The second most similar label and its similarity, when the store was searched and
  /// holds a second document.
  std::optional<std::string> runner_up;
  std::optional<double> runner_up_score;
  /// For a multi-label field (labeling::Checker), the check of each element of its list, in
  /// order; empty otherwise.
  std::vector<FieldCheck> elements{};

  /// {"decision", "predicted", "checked", "score", "nearest", "runner_up",
  /// "runner_up_score"}, and "elements" when there are any; what is absent is null.
  Value to_json() const;
};

/// The answer of check_result_scored.
struct ScoredCheck {
  /// As check_result's answer, with null for each field abstained or missing.
  Value checked_result = Value::object();
  /// One entry per distinct target field, in the order of tgt_fieldnames.
  std::vector<FieldCheck> fields;

  /// Each field's decision with its scores: field name to FieldCheck::to_json without the
  /// values ("decision", "score", "nearest", "runner_up", "runner_up_score").
  Value decisions() const;
};

/// A value that check_result_scored looks up in its field's store.
struct LookUp {
  std::string field;
  Value value;
};

/// The values of `result` that check_result_scored, given the same arguments, searches the
/// stores for: for each distinct target field in order, a value that is present, not null and
/// not an allowed label. A caller that embeds queries itself (awaiting them) learns from it
/// which texts to embed. TypeError as check_result_scored.
std::vector<LookUp> values_to_look_up(const Value& result, const Value& labels,
                                      const std::vector<std::string>& tgt_fieldnames);

/// check_result with the evidence of each decision and an optional floor on similarity.
///
/// Membership is check_result's own test, and a value that is not a member is looked up in
/// the field's store as check_result does (the nearest label is the same one), but the two
/// most similar labels are fetched so that the runner-up can be reported. A field without a
/// value is `missing` and not searched. With `min_score`, a value whose nearest label is less
/// similar than `min_score` is `abstained` instead of being forced onto that label. Errors
/// are check_result's; a NaN `min_score` is a ValueError.
ScoredCheck check_result_scored(
    const Value& result, const Value& labels, const std::vector<std::string>& tgt_fieldnames,
    const std::map<std::string, std::shared_ptr<const vectorstore::VectorStore>>& DB_MAPS,
    std::optional<double> min_score = std::nullopt);

}  // namespace tavrin::olvane
