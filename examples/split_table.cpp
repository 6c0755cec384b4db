// Reads a CSV file and splits it into a training file and a test file (10 % test, seed 42).
//
//   split_table tickets.csv train.csv test.csv
//   // 训练集数据量:2700，保存到: train.csv, 测试集数据量:300，保存到: test.csv
#include <exception>
#include <iostream>

#include "tavrin/frame/dataframe.hpp"
#include "tavrin/tessick.hpp"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: " << argv[0] << " <table.csv> <train.csv> <test.csv>\n";
    return 2;
  }
  try {
    tavrin::tessick::split_data(tavrin::frame::read_csv(argv[1]), argv[2], argv[3]);
  } catch (const std::exception& e) {
    std::cerr << argv[0] << ": " << e.what() << "\n";
    return 1;
  }
}
