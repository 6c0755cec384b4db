# Splitting a table into a training file and a test file in the order seed 42 gives, the same
# as pandas' sample(frac=1, random_state=42): the shuffle and the files are written in C++.

import pandas as pd

from tavrin import _checks, _frames, _native


def split_data(
    datas: "pd.DataFrame",
    tgt_train_data_path: "str",
    tgt_test_data_path: "str",
    test_data_ratio: "float" = 0.1,
):
    test_data_ratio = _checks.as_float(test_data_ratio, "test_data_ratio")
    _checks.require(tgt_train_data_path, str, "tgt_train_data_path")
    _checks.require(tgt_test_data_path, str, "tgt_test_data_path")
    names, columns = _frames.table_columns(datas)
    _native.split_data(names, columns, tgt_train_data_path, tgt_test_data_path, test_data_ratio)


split_data.__doc__ = "拆分数据集为训练集和测试集，并保存为 CSV 文件\n\n    Args:\n        datas (pd.DataFrame): 包含数据的 DataFrame，必须包含 'question' 列\n        tgt_train_data_path (str): 训练集保存路径\n        tgt_test_data_path (str): 测试集保存路径\n        test_data_ratio (float, optional): 测试集比例. Defaults to 0.1.\n    "
