#include "tavrin/core/json_lines.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tavrin/core/errors.hpp"

namespace tavrin {
namespace {

struct Read {
  std::vector<std::size_t> numbers;
  std::vector<std::string> texts;
  bool last_terminated = true;
  std::uintmax_t terminated_bytes = 0;
};

Read read_all(const std::string& input) {
  std::istringstream in(input);
  JsonLines lines(in, "f");
  Read read;
  while (const auto line = lines.next()) {
    read.numbers.push_back(line->number);
    read.texts.push_back(line->text);
    read.last_terminated = line->terminated;
  }
  read.terminated_bytes = lines.terminated_bytes();
  return read;
}

TEST(JsonLines, PassesOverBlankLinesAByteOrderMarkAndCarriageReturnsButCountsEveryLine) {
  const Read read = read_all("\xEF\xBB\xBF{\"a\":1}\r\n\n \t\r\n{\"b\":2}\n");
  EXPECT_EQ(read.numbers, (std::vector<std::size_t>{1, 4}));
  EXPECT_EQ(read.texts, (std::vector<std::string>{"{\"a\":1}", "{\"b\":2}"}));
  EXPECT_TRUE(read.last_terminated);
}

TEST(JsonLines, TellsALastLineWithoutLineFeedAndTheBytesBeforeIt) {
  const Read torn = read_all("{\"a\":1}\n\n{\"b\"");
  EXPECT_EQ(torn.texts.back(), "{\"b\"");
  EXPECT_FALSE(torn.last_terminated);
  EXPECT_EQ(torn.terminated_bytes, 9u);  // the first line and the blank one
  EXPECT_EQ(read_all("{}\n\n").terminated_bytes, 4u);
}

TEST(JsonLines, ObjectNamesTheSourceAndLineOfWhatIsNoObject) {
  std::istringstream in("{\"a\": [1]}\n[1, 2]\n{oops\n");
  JsonLines lines(in, "p.jsonl");
  EXPECT_EQ(lines.object(*lines.next()), Value({{"a", {1}}}));
  try {
    lines.object(*lines.next());
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "p.jsonl line 2 must be a JSON object, not \"[1, 2]\"");
  }
  try {
    lines.object(*lines.next());
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("p.jsonl line 3 is not valid JSON: ", 0), 0u) << e.what();
  }
  EXPECT_FALSE(lines.next());
  EXPECT_FALSE(lines.failed());
}

}  // namespace
}  // namespace tavrin
