#include "tavrin/labeling/journal.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tavrin/core/errors.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::labeling {
namespace {

using tavrin::testing::expect_error;
using tavrin::testing::file_contents;
using tavrin::testing::TempDir;

void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(Journal, ARunAgainSeesWhatTheFirstWrote) {
  TempDir dir;
  const std::string path = dir / "results.jsonl";
  {
    Journal journal(path);
    EXPECT_EQ(journal.resumed(), 0u);
    journal.append({{"id", 7}, {"checked", {{"类别", "退款"}}}});
    journal.append({{"id", "7"}, {"error", "HTTP status 503"}});
    expect_error<ValueError>(
        [&] {
          journal.append({{"id", 7}});
        },
        "results file '" + path + "' already holds the id 7");
    expect_error<ValueError>(
        [&] {
          journal.append({{"checked", 1}});
        },
        "a result for '" + path + "' must be an object with an \"id\"");
    journal.close();
  }
  EXPECT_EQ(file_contents(path),
            "{\"id\":7,\"checked\":{\"类别\":\"退款\"}}\n{\"id\":\"7\",\"error\":\"HTTP status "
            "503\"}\n");
  Journal again(path);
  EXPECT_EQ(again.resumed(), 2u);
  EXPECT_EQ(again.resumed_failed(), 1u);
  EXPECT_TRUE(again.holds(Value(7)));
  EXPECT_TRUE(again.holds(Value("7")));
  EXPECT_FALSE(again.holds(Value(8)));
}

TEST(Journal, ATornLastLineIsCutOffAndNeverRead) {
  TempDir dir;
  const std::string path = dir / "results.jsonl";
  for (const std::string torn : {"{\"id\":2,\"chec", "{\"id\":2}"}) {
    write_text(path, "{\"id\":1}\n\n" + torn);
    Journal journal(path);
    EXPECT_TRUE(journal.holds(Value(1)));
    EXPECT_FALSE(journal.holds(Value(2))) << torn;
    journal.append({{"id", 2}});
    journal.close();
    EXPECT_EQ(file_contents(path), "{\"id\":1}\n\n{\"id\":2}\n");
  }
}

TEST(Journal, DroppingFailedLinesRewritesTheFileWithoutThem) {
  TempDir dir;
  const std::string path = dir / "results.jsonl";
  write_text(path, "{\"id\":1,\"error\":\"timeout\"}\n{\"id\":2,\"error\":null}\n{\"id\":3,\"er");
  Journal journal(path, /*drop_failed=*/true);
  EXPECT_FALSE(journal.holds(Value(1)));
  EXPECT_TRUE(journal.holds(Value(2)));
  EXPECT_EQ(journal.resumed(), 1u);
  EXPECT_EQ(file_contents(path), "{\"id\":2,\"error\":null}\n");
  journal.append({{"id", 1}});
  journal.close();
  EXPECT_EQ(file_contents(path), "{\"id\":2,\"error\":null}\n{\"id\":1}\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(Journal, AFileThatIsNotResultsIsRefusedNamingTheLine) {
  TempDir dir;
  const std::string path = dir / "results.jsonl";
  write_text(path, "{\"id\":1}\n[1, 2]\n");
  expect_error<ValueError>(
      [&] { Journal journal(path); },
      "results file '" + path + "' line 2 is not a JSON object with an \"id\"");
  write_text(path, "{\"id\":1}\n{\"x\":1}\n");
  expect_error<ValueError>(
      [&] { Journal journal(path); },
      "results file '" + path + "' line 2 is not a JSON object with an \"id\"");
  write_text(path, "{\"id\":1}\n{\"id\":1}\n");
  expect_error<ValueError>([&] { Journal journal(path); },
                           "results file '" + path + "' line 2 repeats the id 1");
  EXPECT_EQ(file_contents(path), "{\"id\":1}\n{\"id\":1}\n");  // left as it was
  expect_error<ValueError>([&] { Journal journal(dir.path().string()); },
                           "results file '" + dir.path().string() + "' is not a regular file");
}

}  // namespace
}  // namespace tavrin::labeling
