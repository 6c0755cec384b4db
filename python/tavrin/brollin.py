"""实现向量化存储"""

import pandas as pd
import os
import numpy as np
from tavrin.vectorstore import Document, DistanceStrategy, FAISS

from tavrin import _checks, _frames, _native


def save2faiss(
    datas: "pd.DataFrame",
    src_fieldnames: list,
    tgt_fieldnames: list,
    faiss_index_path: str,
    embedding_model,
    batch_size=64,
):
    _checks.require(src_fieldnames, list, "src_fieldnames")
    _checks.require(tgt_fieldnames, list, "tgt_fieldnames")
    _checks.require(faiss_index_path, str, "faiss_index_path")
    names, columns = _frames.row_columns(datas, src_fieldnames + tgt_fieldnames)
    # The rows' texts, the one embedding call, the store and its folder, the line: in C++.
    _native.save2faiss(
        names, columns, src_fieldnames, tgt_fieldnames, faiss_index_path, embedding_model
    )


save2faiss.__doc__ = "将数据保存到 FAISS 向量数据库中\n    Args:\n        :param datas (pd.DataFrame): 包含数据的 DataFrame，必须包含 src_fieldnames 中的列\n        :param src_fieldnames (list): 用于生成向量的字段列表\n        :param tgt_fieldnames (list): 需要保存的字段列表\n        :param faiss_index_path (str): FAISS 索引保存路径\n        :param embedding_model: 用于生成向量的模型.\n    "


def data2faiss(
    labels: dict,
    train_data: "pd.DataFrame",
    src_fieldnames: list,
    tgt_fieldnames: list,
    faiss_tgt_fieldnames: list,
    train_data_faiss_path: str,
    base_faiss_path: str,
    embedding_model,
):
    _checks.require(labels, dict, "labels")
    _checks.require(src_fieldnames, list, "src_fieldnames")
    _checks.require(tgt_fieldnames, list, "tgt_fieldnames")
    _checks.require(faiss_tgt_fieldnames, list, "faiss_tgt_fieldnames")
    _checks.require(train_data_faiss_path, str, "train_data_faiss_path")
    _checks.require(base_faiss_path, str, "base_faiss_path")
    save2faiss(
        datas=train_data,
        src_fieldnames=src_fieldnames,
        tgt_fieldnames=tgt_fieldnames,
        faiss_index_path=train_data_faiss_path,
        embedding_model=embedding_model,
    )
    for fieldnames in faiss_tgt_fieldnames:
        vals = labels.get(fieldnames, [])
        df = pd.DataFrame({fieldnames: vals})
        src_fieldnames = [fieldnames]
        tgt_fieldnames = []
        df_faiss_path = os.path.join(base_faiss_path, fieldnames)
        save2faiss(
            datas=df,
            src_fieldnames=src_fieldnames,
            tgt_fieldnames=tgt_fieldnames,
            faiss_index_path=df_faiss_path,
            embedding_model=embedding_model,
        )


data2faiss.__doc__ = "根据标签将数据分割并保存为多个 FAISS 向量数据库\n    Args:\n        labels (dict): 标签字典，键为标签名，值为对应的标签值列表\n        train_data (pd.DataFrame): 训练数据 DataFrame\n        src_fieldnames (list): 用于生成向量的字段列表\n        tgt_fieldnames (list): 需要保存的字段列表\n        faiss_tgt_fieldnames (list): 用于过滤数据的字段列表\n        train_data_faiss_path (str): 训练数据 FAISS 索引保存路径\n        base_faiss_path (str): 基础 FAISS 索引保存路径\n        embedding_model: 用于生成向量的模型.\n    "
