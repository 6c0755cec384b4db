// Splitting a table of records into a training file and a test file, in a shuffled order that
// a fixed seed makes the same on every run.
//
//   split_data(table_of_100_rows, "train.csv", "test.csv");
//   // prints: 训练集数据量:90，保存到: train.csv, 测试集数据量:10，保存到: test.csv
#pragma once

#include <string>

#include "tavrin/frame/dataframe.hpp"

namespace tavrin::tessick {

/// 拆分数据集为训练集和测试集，并保存为 CSV 文件
///
///     Args:
///         datas (pd.DataFrame): 包含数据的 DataFrame，必须包含 'question' 列
///         tgt_train_data_path (str): 训练集保存路径
///         tgt_test_data_path (str): 测试集保存路径
///         test_data_ratio (float, optional): 测试集比例. Defaults to 0.1.
///
void split_data(const frame::DataFrame& datas, const std::string& tgt_train_data_path,
                const std::string& tgt_test_data_path, double test_data_ratio = 0.1);

}  // namespace tavrin::tessick
