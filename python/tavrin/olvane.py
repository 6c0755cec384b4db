# Result checking by retrieval: a predicted value that is not an allowed label of its field is
# replaced by the nearest document of that field's store. The stores may be tavrin's own (their
# search runs in C++) or any object with similarity_search.

from tavrin.brollin import data2faiss

from tavrin import _checks


def check_result(result: dict, labels: dict, tgt_fieldnames: list, DB_MAPS: dict):
    _checks.require(result, dict, "result")
    _checks.require(labels, dict, "labels")
    _checks.require(tgt_fieldnames, list, "tgt_fieldnames")
    _checks.require(DB_MAPS, dict, "DB_MAPS")
    checked_result = {}
    for field in tgt_fieldnames:
        val = result.get(field, None)
        # The collection's own membership test, and the very value kept: Python's equality
        # (1 == 1.0 == True) and identity, which no conversion would keep.
        if val not in labels.get(field, []):
            similar_vals = DB_MAPS.get(field, {}).similarity_search(val, topk=1)
            val = similar_vals[0].page_content
        checked_result[field] = val
    return checked_result


check_result.__doc__ = "检查预测结果的有效性\n    Args:\n        result (dict): 预测结果字典\n        labels (dict): 标签字典\n        tgt_fieldnames (list): 需要检查的字段列表\n        DB_MAPS (dict): 数据库映射字典\n        如果预测的结果不在labels中，则通过向量检索召回一个相似的\n    Returns:\n        checked_result(dict): 检查后的结果\n    "
