#include "tavrin/tessick.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "tavrin/core/errors.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::tessick {
namespace {

namespace fs = std::filesystem;
using frame::DataFrame;
using tavrin::testing::file_contents;

// Row orders of numpy's RandomState(42).permutation(n), which pandas' sample(frac=1,
// random_state=42) follows.
const std::vector<int> kOrderOf10 = {8, 1, 5, 0, 7, 2, 9, 4, 3, 6};
const std::vector<int> kOrderOf9 = {7, 1, 5, 0, 8, 2, 4, 3, 6};
const std::vector<int> kHeadOrderOf100 = {83, 53, 70, 45, 44, 39, 22, 80, 10, 0};

// Columns "question" ("q0", "q1", ...) and "n" (0, 1, ...).
DataFrame questions(int rows) {
  Value question = Value::array();
  Value n = Value::array();
  for (int i = 0; i < rows; ++i) {
    question.push_back("q" + std::to_string(i));
    n.push_back(i);
  }
  return DataFrame(Value{{"question", question}, {"n", n}});
}

std::vector<int> slice(const std::vector<int>& order, std::size_t begin, std::size_t end) {
  return std::vector<int>(order.begin() + begin, order.begin() + end);
}

class SplitData : public ::testing::Test {
 protected:
  void SetUp() override {
    train_ = dir_ / "train.csv";
    test_ = dir_ / "test.csv";
  }

  // Runs split_data and answers the printed line.
  std::string split(const DataFrame& datas, double ratio) {
    ::testing::internal::CaptureStdout();
    try {
      split_data(datas, train_, test_, ratio);
    } catch (...) {
      printed_on_failure_ = ::testing::internal::GetCapturedStdout();
      throw;
    }
    return ::testing::internal::GetCapturedStdout();
  }

  std::string report(std::size_t train_rows, std::size_t test_rows) const {
    return "训练集数据量:" + std::to_string(train_rows) + "，保存到: " + train_ +
           ", 测试集数据量:" + std::to_string(test_rows) + "，保存到: " + test_ + "\n";
  }

  static std::vector<int> numbers_in(const std::string& file) {
    const DataFrame table = frame::read_csv(file);
    EXPECT_EQ(table.columns(), (std::vector<std::string>{"question", "n"}));
    std::vector<int> numbers;
    for (std::size_t i = 0; i < table.size(); ++i) {
      numbers.push_back(table.iloc(i)["n"].get<int>());
    }
    return numbers;
  }

  tavrin::testing::TempDir dir_;
  std::string train_;
  std::string test_;
  std::string printed_on_failure_;
};

TEST_F(SplitData, DefaultRatioWritesBothFilesAndReports) {
  const DataFrame datas = questions(10);
  EXPECT_EQ(split(datas, 0.1), report(9, 1));
  EXPECT_EQ(file_contents(test_), "question,n\nq8,8\n");
  EXPECT_EQ(file_contents(train_),
            "question,n\nq1,1\nq5,5\nq0,0\nq7,7\nq2,2\nq9,9\nq4,4\nq3,3\nq6,6\n");
  EXPECT_EQ(datas.iloc(0)["n"], 0);
}

TEST_F(SplitData, EdgeRatiosCutByThePositionRule) {
  const double huge = 1e300;  // finite product, far outside every integer type
  struct Case {
    int rows;
    double ratio;
    std::size_t test_rows;  // the first rows of the shuffled order; the others are training rows
  };
  const std::vector<Case> cases = {
      {9, 0.1, 0}, {10, 1, 10},    {10, 1.5, 10},  {10, -0.15, 9},
      {10, 0, 0},  {10, huge, 10}, {10, -huge, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.rows) + " rows, ratio " + std::to_string(c.ratio));
    const std::vector<int>& order = c.rows == 9 ? kOrderOf9 : kOrderOf10;
    EXPECT_EQ(split(questions(c.rows), c.ratio), report(order.size() - c.test_rows, c.test_rows));
    EXPECT_EQ(numbers_in(test_), slice(order, 0, c.test_rows));
    EXPECT_EQ(numbers_in(train_), slice(order, c.test_rows, order.size()));
  }
}

TEST_F(SplitData, ProductIsTruncatedNotRounded) {
  for (const auto& [ratio, test_rows] : {std::pair{0.57, 56u}, std::pair{0.29, 28u}}) {
    EXPECT_EQ(split(questions(100), ratio), report(100 - test_rows, test_rows));
    EXPECT_EQ(slice(numbers_in(test_), 0, 10), kHeadOrderOf100);
  }
}

TEST_F(SplitData, TableWithoutRowsWritesTwoHeaderOnlyFiles) {
  EXPECT_EQ(split(questions(0), 0.1), report(0, 0));
  EXPECT_EQ(file_contents(train_), "question,n\n");
  EXPECT_EQ(file_contents(test_), "question,n\n");
}

TEST_F(SplitData, NonFiniteProductFailsBeforeAnyFileIsWritten) {
  struct Case {
    int rows;
    double ratio;
    std::string message;
  };
  const std::vector<Case> cases = {
      {10, std::numeric_limits<double>::quiet_NaN(),
       "split_data: test_data_ratio nan times 10 rows is not a finite test size"},
      {10, -std::numeric_limits<double>::infinity(),
       "split_data: test_data_ratio -inf times 10 rows is not a finite test size"},
      {0, std::numeric_limits<double>::infinity(),
       "split_data: test_data_ratio inf times 0 rows is not a finite test size"},
      {10, std::numeric_limits<double>::max(),
       "split_data: test_data_ratio 1.7976931348623157e+308 times 10 rows is not a finite test "
       "size"},
  };
  for (const Case& c : cases) {
    try {
      split(questions(c.rows), c.ratio);
      ADD_FAILURE() << "no exception for " << c.message;
    } catch (const ValueError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
    EXPECT_EQ(printed_on_failure_, "");
    EXPECT_TRUE(fs::is_empty(dir_.path()));
  }
}

TEST_F(SplitData, FailedTestWriteKeepsTheTrainingFileAndPrintsNothing) {
  test_ = dir_ / "missing/test.csv";
  EXPECT_THROW(split(questions(10), 0.1), fs::filesystem_error);
  EXPECT_EQ(printed_on_failure_, "");
  EXPECT_EQ(numbers_in(train_), slice(kOrderOf10, 1, 10));
}

}  // namespace
}  // namespace tavrin::tessick
