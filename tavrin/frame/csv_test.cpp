#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "tavrin/core/errors.hpp"
#include "tavrin/frame/csv_writer.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::frame {
namespace {

namespace fs = std::filesystem;
using tavrin::testing::expect_error;
using tavrin::testing::file_contents;

class Csv : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_ / name; }

  std::string write_and_read_back(const DataFrame& table, bool index = false) const {
    table.to_csv(path("out.csv"), index);
    return file_contents(path("out.csv"));
  }

  std::string file_with(const std::string& bytes) const {
    const std::string file = path("in.csv");
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }

  tavrin::testing::TempDir dir_;
};

// Expected bytes from pandas 1.5 to_csv(index=False) on the same one-kind columns, except the
// lone '\r', which pandas leaves unquoted.
TEST_F(Csv, WritesTheBytesPandasWrites) {
  struct Case {
    Value columns;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {Value{{"a", Value::array({"x\ry", "a b", " ", "x\"y", "c,d", "e\nf", nullptr, "售后"})}},
       "a\n\"x\ry\"\na b\n \n\"x\"\"y\"\n\"c,d\"\n\"e\nf\"\n\"\"\n售后\n"},
      {Value{{"a",
              Value::array({1.0, 0.1, 1e16, 1e-5, std::numeric_limits<double>::quiet_NaN(),
                            std::numeric_limits<double>::infinity(), -0.0, 123456789012345678.0})}},
       "a\n1.0\n0.1\n1e+16\n1e-05\n\"\"\ninf\n-0.0\n1.2345678901234568e+17\n"},
      {Value{{"a", Value::array({true, false})}, {"b", Value::array({-1, 9223372036854775807})}},
       "a,b\nTrue,-1\nFalse,9223372036854775807\n"},
      {Value{{"a", Value::array({Value{{"k", 1}}, Value::array({1, "x"}), nullptr})}},
       "a\n{'k': 1}\n\"[1, 'x']\"\n\"\"\n"},
      {Value{{"", Value::array({"x", ""})}}, "\"\"\nx\n\"\"\n"},
      {Value{{"a", Value::array()}, {"b,c", Value::array()}}, "a,\"b,c\"\n"},
      {Value::object(), "\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(write_and_read_back(DataFrame(c.columns)), c.bytes) << c.columns.dump();
  }
}

TEST_F(Csv, IndexWritesTheRowLabelsFirst) {
  const DataFrame table(Value{{"a", Value::array({10, 11, 12, 13, 14})}});
  EXPECT_EQ(write_and_read_back(table.sample(1, 42), true), ",a\n1,11\n4,14\n2,12\n0,10\n3,13\n");
}

TEST_F(Csv, ReplacesAnExistingFileAndLeavesNothingElse) {
  std::ofstream(path("out.csv")) << "old contents that are longer than the new ones\n";
  EXPECT_EQ(write_and_read_back(DataFrame(Value{{"a", Value::array({1})}})), "a\n1\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);
}

TEST_F(Csv, ReplacedFileKeepsItsPermissions) {
  std::ofstream(path("private.csv")) << "old\n";
  fs::permissions(path("private.csv"), fs::perms::owner_read | fs::perms::owner_write);
  DataFrame(Value{{"a", Value::array({1})}}).to_csv(path("private.csv"));
  EXPECT_EQ(fs::status(path("private.csv")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(file_contents(path("private.csv")), "a\n1\n");
}

TEST_F(Csv, TargetNameOfTheLongestAllowedLengthIsWritten) {
  const std::string target = path(std::string(250, 'n') + ".csv");
  DataFrame(Value{{"a", Value::array({1})}}).to_csv(target);
  EXPECT_EQ(file_contents(target), "a\n1\n");
}

TEST_F(Csv, FailedWriteNamesThePathAndLeavesNoFile) {
  const std::string target = path("missing/out.csv");
  try {
    DataFrame(Value{{"a", Value::array({1})}}).to_csv(target);
    ADD_FAILURE() << "no exception";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.path1(), target);
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
  }
  EXPECT_TRUE(fs::is_empty(dir_.path()));
}

TEST_F(Csv, ReadsOneKindPerColumn) {
  const double inf = std::numeric_limits<double>::infinity();
  const DataFrame table =
      read_csv(file_with("i,f,b,t,mixed,na,blank\n"
                         "1,1.5,True,x,1,NA,\n"
                         "-2,2,False,12,2.5,null,\n"
                         "+3,-1e3,,,99999999999999999999,None,\n"
                         ",inf,True,True,-Infinity,,\n"));
  EXPECT_EQ(table.to_dict(),
            (Value{{"i", Value::array({1, -2, 3, nullptr})},
                   {"f", Value::array({1.5, 2.0, -1000.0, inf})},
                   {"b", Value::array({true, false, nullptr, true})},
                   {"t", Value::array({"x", "12", nullptr, "True"})},
                   {"mixed", Value::array({1.0, 2.5, 1e20, -inf})},
                   {"na", Value::array({"NA", "null", "None", nullptr})},
                   {"blank", Value::array({nullptr, nullptr, nullptr, nullptr})}}));
  EXPECT_TRUE(table.iloc(0)["f"].is_number_float());
  EXPECT_TRUE(table.iloc(0)["i"].is_number_integer());
}

TEST_F(Csv, NotANumberIsAFloat) {
  const DataFrame table = read_csv(file_with("x\nnan\n-NaN\n"));
  EXPECT_TRUE(std::isnan(table.iloc(0)["x"].get<double>()));
  EXPECT_TRUE(std::isnan(table.iloc(1)["x"].get<double>()));
}

TEST_F(Csv, NumbersOutsideTheDoubleRangeStayText) {
  const DataFrame table = read_csv(file_with("huge,tiny,hex\n1e999,-1e999,0x10\n"));
  EXPECT_EQ(table.to_dict(), (Value{{"huge", Value::array({"1e999"})},
                                    {"tiny", Value::array({"-1e999"})},
                                    {"hex", Value::array({"0x10"})}}));
}

TEST_F(Csv, ReadsQuotingBomCrlfShortLinesAndBlankLines) {
  const DataFrame table =
      read_csv(file_with("\xEF\xBB\xBFq,\"a,b\"\r\n"
                         "\"say \"\"hi\"\"\",\"line\r\none\"\r\n"
                         "\r\n"
                         "only\r\n"
                         "\"\"\n"
                         "last,x"));
  EXPECT_EQ(table.to_dict(),
            (Value{{"q", Value::array({"say \"hi\"", "only", nullptr, "last"})},
                   {"a,b", Value::array({"line\r\none", nullptr, nullptr, "x"})}}));
}

TEST_F(Csv, MalformedInputNamesTheLine) {
  struct Case {
    std::string bytes;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"a,b\n1,2\n\"multi\nline\",2\n1,2,3\n", "read_csv: expected 2 fields, saw 3 on line 5"},
      {"a\n1\n\"open\n\n", "read_csv: unterminated quote on line 3"},
      {"a,b\n\"x\"y,2\n", "read_csv: text after a closing quote on line 2"},
      {"a\n\"x\ny\"z\n", "read_csv: text after a closing quote on line 3"},
      {"a\nok\n\xC3\x28\n", "read_csv: invalid UTF-8 on line 3"},
      {"a\n\xED\xA0\x80\n", "read_csv: invalid UTF-8 on line 2"},
      {"a,b,a\n", "read_csv: duplicate column name 'a' on line 1"},
      {"", "read_csv: no header line in the file"},
      {"\n\n", "read_csv: no header line in the file"},
  };
  for (const Case& c : cases) {
    expect_error<ValueError>([&] { read_csv(file_with(c.bytes)); }, c.message);
  }
}

TEST_F(Csv, MissingFileIsAFilesystemErrorNamingThePath) {
  try {
    read_csv(path("absent.csv"));
    ADD_FAILURE() << "no exception";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.path1(), path("absent.csv"));
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
  }
}

TEST_F(Csv, ReadingWhatWasWrittenGivesTheTableBack) {
  const Value columns{
      {"id", Value::array({1, -7, 9223372036854775807, nullptr})},
      {"score", Value::array({0.1, 1e16, -0.0, 5e-324})},
      {"ok", Value::array({true, nullptr, false, true})},
      {"text", Value::array({"售后,\"服务\"", "a\nb", "x\ry", ""})},
  };
  const DataFrame table(columns);
  table.to_csv(path("round.csv"));
  const Value back = read_csv(path("round.csv")).to_dict();
  Value expected = columns;
  expected["text"][3] = nullptr;  // an empty text is written as an empty field
  EXPECT_EQ(back, expected);
  EXPECT_TRUE(std::signbit(back["score"][2].get<double>()));
}

TEST_F(Csv, FirstColumnNameStartingWithByteOrderMarkSurvives) {
  const DataFrame table(Value{{"\xEF\xBB\xBFid", Value::array({1})}});
  EXPECT_EQ(write_and_read_back(table), "\"\xEF\xBB\xBFid\"\n1\n");
  EXPECT_EQ(read_csv(path("out.csv")).columns(), table.columns());
}

TEST_F(Csv, RecordsLongerThanOneReadBlockSurvive) {
  const std::string long_text(9 << 20, 'x');
  Value ids = Value::array();
  Value texts = Value::array();
  for (int i = 0; i < 50000; ++i) {
    ids.push_back(i);
    texts.push_back(i == 25000 ? long_text + "\"\n" : "行" + std::to_string(i));
  }
  const DataFrame table(Value{{"id", ids}, {"text", texts}});
  table.to_csv(path("long.csv"));
  EXPECT_EQ(read_csv(path("long.csv")).to_dict(), table.to_dict());
}

// Row by row, the same bytes as the whole table at once; nothing before the commit.
TEST_F(Csv, AWriterOfRowsWritesWhatToCsvWrites) {
  const Value columns{{"\xEF\xBB\xBFid", Value::array({"07", "x,y", nullptr})},
                      {"n", Value::array({1, 2.5, true})}};
  const std::string whole = write_and_read_back(DataFrame(columns));
  {
    CsvWriter rows(path("rows.csv"), {"\xEF\xBB\xBFid", "n"});
    for (std::size_t i = 0; i < 3; ++i) {
      rows.write_row(std::vector<Value>{columns["\xEF\xBB\xBFid"][i], columns["n"][i]});
    }
    EXPECT_FALSE(fs::exists(path("rows.csv")));
    expect_error<ValueError>([&] { rows.write_row(std::vector<Value>{1}); },
                             "a row of 1 cells for 2 columns");
    rows.commit();
  }
  EXPECT_EQ(file_contents(path("rows.csv")), whole);
  { CsvWriter abandoned(path("abandoned.csv"), {"a"}); }
  EXPECT_FALSE(fs::exists(path("abandoned.csv")));
}

}  // namespace
}  // namespace tavrin::frame
