#include "tavrin/frame/csv_stream.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tavrin/core/errors.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::frame {
namespace {

using tavrin::testing::expect_error;

class CsvStreamTest : public ::testing::Test {
 protected:
  std::string file_with(const std::string& bytes) const {
    const std::string file = dir_.path() / "in.csv";
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }

  tavrin::testing::TempDir dir_;
};

// The chunks' cells, column by column, as DataFrame::to_dict gives them.
Value cells_of(CsvStream& stream, std::size_t rows) {
  Value columns = Value::object();
  for (const std::string& name : stream.columns()) columns[name] = Value::array();
  for (DataFrame chunk = stream.next(rows); chunk.size() > 0; chunk = stream.next(rows)) {
    EXPECT_LE(chunk.size(), rows);
    const Value cells = chunk.to_dict();
    for (auto& [name, column] : columns.items()) {
      for (const Value& cell : cells[name]) column.push_back(cell);
    }
  }
  return columns;
}

TEST_F(CsvStreamTest, ChunksHoldTheCellsReadCsvReads) {
  // Kinds decided by the whole column (the 2.5 on the last line makes "n" floats), quoting,
  // a BOM, CRLF, short and blank lines.
  const std::string file = file_with(
      "\xEF\xBB\xBFid,n,\"a,b\",flag\r\n1,2,\"say \"\"hi\"\"\",True\r\n\r\n2,,\"line\r\none\"\n"
      "3,7\n4,1,x,False\n5,2.5,y,True\n");
  const Value expected = read_csv(file).to_dict();
  CsvStream stream(file);
  EXPECT_EQ(stream.columns(), (std::vector<std::string>{"id", "n", "a,b", "flag"}));
  EXPECT_EQ(stream.size(), 5u);
  for (std::size_t rows : {1, 2, 5, 1000}) {
    EXPECT_EQ(cells_of(stream, rows), expected) << rows << " rows a chunk";
    EXPECT_EQ(stream.next(rows).size(), 0u);
    stream.rewind();
  }
  // Rewound in the middle of the file.
  EXPECT_EQ(stream.next(2).iloc(0)["id"], 1);
  stream.rewind();
  EXPECT_EQ(stream.next(1).iloc(0)["id"], 1);
  EXPECT_TRUE(stream.next(1).iloc(0)["n"].is_null());
}

TEST_F(CsvStreamTest, AMalformedFileFailsBeforeAnyRowAndAChangedOneWhenRead) {
  expect_error<ValueError>([&] { CsvStream(file_with("a,b\n1,2\n1,2,3\n")); },
                           "read_csv: expected 2 fields, saw 3 on line 3");
  expect_error<ValueError>([&] { CsvStream(file_with("")); },
                           "read_csv: no header line in the file");
  const std::string file = file_with("a\n1\n2\n");
  CsvStream stream(file);
  file_with("a\n1\nx\n");
  EXPECT_EQ(stream.next(1).iloc(0)["a"], 1);
  expect_error<ValueError>([&] { stream.next(1); },
                           "read_csv: the file changed while it was read on line 3");
  file_with("a,b\n1,2\n");
  stream.rewind();
  expect_error<ValueError>([&] { stream.next(1); },
                           "read_csv: the file changed while it was read on line 1");
}

TEST_F(CsvStreamTest, ColumnsAskedForAsTextKeepWhatStandsInTheFile) {
  const std::string file = file_with("id,n\n007,1.50\n8,2\n,3\n");
  CsvStream typed(file);
  EXPECT_EQ(cells_of(typed, 2).dump(), R"({"id":[7,8,null],"n":[1.5,2.0,3.0]})");
  CsvStream text(file, {"id", "no such column"});
  EXPECT_EQ(cells_of(text, 2).dump(), R"({"id":["007","8",null],"n":[1.5,2.0,3.0]})");
}

}  // namespace
}  // namespace tavrin::frame
