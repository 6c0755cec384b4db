#include "tavrin/frame/dataframe.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "tavrin/core/errors.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::frame {
namespace {

using tavrin::testing::expect_error;

// A table with column "n" holding 0 .. rows - 1 and column "s" holding "r0", "r1", ...
DataFrame numbered(int rows) {
  Value n = Value::array();
  Value s = Value::array();
  for (int i = 0; i < rows; ++i) {
    n.push_back(i);
    s.push_back("r" + std::to_string(i));
  }
  return DataFrame(Value{{"n", n}, {"s", s}});
}

std::vector<int> column_n(const DataFrame& table) {
  std::vector<int> values;
  for (std::size_t i = 0; i < table.size(); ++i) {
    values.push_back(table.iloc(i)["n"].get<int>());
  }
  return values;
}

TEST(DataFrameConstruction, KeepsColumnOrderAndCellsUnchanged) {
  const Value cells = Value::array({1, 2.5, "售后", true, nullptr, Value{{"k", 1}}});
  const DataFrame table(Value{{"z", cells}, {"a", Value::array({0, 0, 0, 0, 0, 0})}});
  EXPECT_EQ(table.columns(), (std::vector<std::string>{"z", "a"}));
  ASSERT_EQ(table.size(), 6u);
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const Value& cell = table.iloc(i)["z"];
    EXPECT_EQ(cell, cells[i]);
    EXPECT_EQ(cell.type(), cells[i].type());
  }
}

TEST(DataFrameConstruction, EmptyListAndEmptyMappingGiveNoRows) {
  const DataFrame one_column(Value{{"name", Value::array()}});
  EXPECT_EQ(one_column.size(), 0u);
  EXPECT_EQ(one_column.columns(), (std::vector<std::string>{"name"}));
  EXPECT_EQ(DataFrame(Value::object()).size(), 0u);
  EXPECT_TRUE(DataFrame().columns().empty());
}

TEST(DataFrameConstruction, RejectsWrongKindsAndUnequalLengths) {
  expect_error<TypeError>([] { DataFrame(Value::array({1})); },
                          "columns must be a mapping, not array");
  expect_error<TypeError>(
      [] {
        DataFrame(Value{{"a", Value::array()}, {"b", 3}});
      },
      "column 'b' must be a list, not integer");
  expect_error<ValueError>(
      [] {
        DataFrame(Value{{"a", Value::array({1, 2})}, {"b", Value::array({1})}});
      },
      "all columns must have the same length: column 'a' has 2 values, column 'b' has 1");
}

TEST(DataFrameRow, MissingColumnAndPositionAreNamed) {
  const DataFrame table = numbered(3);
  expect_error<KeyError>([&] { (void)table.iloc(0)["question"]; },
                         "column 'question' is not in the table");
  expect_error<IndexError>([&] { (void)table.iloc(3); },
                           "iloc: position 3 is out of bounds for 3 rows");
}

TEST(DataFrameRow, LongColumnNameIsCutOnACharacterBoundary) {
  std::string name;
  for (int i = 0; i < 20; ++i) {
    name += "问";  // three bytes each: 40 bytes would split the fourteenth
  }
  expect_error<KeyError>([&] { (void)numbered(1).iloc(0)[name]; },
                         "column '" + name.substr(0, 39) + "...' is not in the table");
}

TEST(DataFrameRow, OutlivesTheTableItCameFrom) {
  const DataFrame::Row row = numbered(4).iloc(2);
  EXPECT_EQ(row["s"], "r2");
}

TEST(DataFrameSlice, FollowsPythonSliceRule) {
  struct Case {
    std::optional<std::ptrdiff_t> start, stop;
    std::vector<int> rows;
  };
  const std::vector<Case> cases = {
      {std::nullopt, std::nullopt, {0, 1, 2, 3, 4}},
      {std::nullopt, 2, {0, 1}},
      {3, std::nullopt, {3, 4}},
      {-2, std::nullopt, {3, 4}},
      {std::nullopt, -1, {0, 1, 2, 3}},
      {-100, 100, {0, 1, 2, 3, 4}},
      {4, 2, {}},
      {2, 2, {}},
      {100, std::nullopt, {}},
      {std::nullopt, -100, {}},
      {PTRDIFF_MIN, PTRDIFF_MAX, {0, 1, 2, 3, 4}},
  };
  const DataFrame table = numbered(5);
  for (const Case& c : cases) {
    const DataFrame part = table.iloc(c.start, c.stop);
    EXPECT_EQ(column_n(part), c.rows);
    EXPECT_EQ(part.columns(), table.columns());
  }
}

TEST(DataFrameSlice, OpenStopAndOpenStartPartitionTheRows) {
  const DataFrame table = numbered(7);
  for (std::ptrdiff_t n = -10; n <= 10; ++n) {
    std::vector<int> both = column_n(table.iloc(std::nullopt, n));
    const std::vector<int> rest = column_n(table.iloc(n, std::nullopt));
    both.insert(both.end(), rest.begin(), rest.end());
    EXPECT_EQ(both, column_n(table)) << "n = " << n;
  }
}

TEST(DataFrameSlice, SliceOfASliceCountsFromTheSlice) {
  const DataFrame part = numbered(10).iloc(2, 8).iloc(1, -1);
  EXPECT_EQ(column_n(part), (std::vector<int>{3, 4, 5, 6}));
}

// Expected orders from pandas 1.5: DataFrame({'n': range(10)}).sample(frac=..., random_state=42)
TEST(DataFrameSample, MatchesPandasOrderAndRoundsHalfToEven) {
  const DataFrame table = numbered(10);
  EXPECT_EQ(column_n(table.sample(1, 42)), (std::vector<int>{8, 1, 5, 0, 7, 2, 9, 4, 3, 6}));
  EXPECT_EQ(column_n(table.sample(0.25, 42)), (std::vector<int>{8, 1}));
  EXPECT_EQ(column_n(table.sample(0.35, 42)), (std::vector<int>{8, 1, 5, 0}));
  EXPECT_EQ(column_n(table.sample(0, 42)), (std::vector<int>{}));
  EXPECT_EQ(column_n(table), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(DataFrameSample, ShufflesThePositionsOfAView) {
  // permutation(5) for seed 42 is 1 4 2 0 3, applied to rows 5 .. 9.
  EXPECT_EQ(column_n(numbered(10).iloc(5, std::nullopt).sample(1, 42)),
            (std::vector<int>{6, 9, 7, 5, 8}));
}

TEST(DataFrameSample, RejectsFractionsOutsideZeroToOne) {
  const DataFrame table = numbered(3);
  expect_error<ValueError>([&] { table.sample(1.5, 42); },
                           "sample: frac must be within 0 and 1, not 1.5");
  expect_error<ValueError>([&] { table.sample(-0.5, 42); },
                           "sample: frac must be within 0 and 1, not -0.5");
  expect_error<ValueError>([&] { table.sample(std::nan(""), 42); },
                           "sample: frac must be within 0 and 1, not nan");
}

TEST(DataFrameResetIndex, OldLabelsBecomeAColumnUnlessDropped) {
  const DataFrame shuffled = numbered(10).sample(1, 42).iloc(std::nullopt, 3);
  const Value expected_labels = Value::array({8, 1, 5});
  EXPECT_EQ(shuffled.reset_index(false).to_dict(),
            (Value{{"index", expected_labels},
                   {"n", expected_labels},
                   {"s", Value::array({"r8", "r1", "r5"})}}));
  const DataFrame dropped = shuffled.reset_index(true);
  EXPECT_EQ(dropped.columns(), shuffled.columns());
  EXPECT_EQ(dropped.reset_index(false).to_dict()["index"], Value::array({0, 1, 2}));
}

TEST(DataFrameResetIndex, PicksAFreeNameForTheLabelColumn) {
  const DataFrame with_index(Value{{"index", Value::array({7})}});
  EXPECT_EQ(with_index.reset_index(false).columns(),
            (std::vector<std::string>{"level_0", "index"}));
  const DataFrame with_both(Value{{"index", Value::array({7})}, {"level_0", Value::array({7})}});
  expect_error<ValueError>([&] { with_both.reset_index(false); },
                           "reset_index: cannot insert 'level_0', already exists");
}

}  // namespace
}  // namespace tavrin::frame
