#include "tavrin/labeling/journal.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

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
    journal.append({{"id", "07"}, {"error", "HTTP status 503"}});
    // Ids match by their text: a number written by an older run is its text read as text.
    expect_error<ValueError>(
        [&] {
          journal.append({{"id", "7"}});
        },
        "results file '" + path + "' already holds the id \"7\"");
    expect_error<ValueError>(
        [&] {
          journal.append({{"checked", 1}});
        },
        "a result for '" + path + "' must be an object with an \"id\"");
    journal.close();
  }
  EXPECT_EQ(file_contents(path),
            "{\"id\":7,\"checked\":{\"类别\":\"退款\"}}\n{\"id\":\"07\",\"error\":\"HTTP status "
            "503\"}\n");
  Journal again(path);
  EXPECT_EQ(again.resumed(), 2u);
  EXPECT_EQ(again.resumed_failed(), 1u);
  EXPECT_TRUE(again.holds(Value(7)));
  EXPECT_TRUE(again.holds(Value("7")));
  EXPECT_TRUE(again.holds(Value("07")));
  EXPECT_FALSE(again.holds(Value(8)));
}

TEST(Journal, ATornLastLineIsCutOffAndAWholeOneOnlyLackingItsLineFeedIsKept) {
  TempDir dir;
  const std::string path = dir / "results.jsonl";
  write_text(path, "{\"id\":1}\n\n{\"id\":2,\"chec");
  {
    Journal journal(path);
    EXPECT_TRUE(journal.holds(Value(1)));
    EXPECT_FALSE(journal.holds(Value(2)));
    journal.append({{"id", 2}});
    journal.close();
  }
  EXPECT_EQ(file_contents(path), "{\"id\":1}\n\n{\"id\":2}\n");
  write_text(path, "{\"id\":1}\n{\"id\":2}");  // a hand edit
  Journal journal(path);
  EXPECT_TRUE(journal.holds(Value(2)));
  journal.append({{"id", 3}});
  journal.close();
  EXPECT_EQ(file_contents(path), "{\"id\":1}\n{\"id\":2}\n{\"id\":3}\n");
}

TEST(Journal, ASecondJournalOnTheSameFileIsRefusedEvenAfterARewrite) {
  TempDir dir;
  const std::string path = dir / "results.jsonl";
  write_text(path, "{\"id\":1,\"error\":\"timeout\"}\n");
  Journal first(path, /*drop_failed=*/true);
  const std::string refused = "results file '" + path +
                              "' is being written by another process; one results file per job "
                              "(give each shard its own)";
  expect_error<ValueError>([&] { Journal second(path); }, refused);
  std::filesystem::create_symlink(path, dir / "link.jsonl");
  expect_error<ValueError>([&] { Journal second(dir / "link.jsonl", true); },
                           "results file '" + (dir / "link.jsonl") +
                               "' is being written by another process; one results file per job "
                               "(give each shard its own)");
  first.close();
  Journal third(path);
  EXPECT_EQ(third.resumed(), 0u);
}

TEST(Journal, DroppingFailedLinesThroughALinkRewritesTheFileItNames) {
  TempDir dir;
  const std::string target = dir / "results.jsonl";
  write_text(target, "{\"id\":1,\"error\":\"timeout\"}\n{\"id\":2}\n");
  std::filesystem::create_symlink(target, dir / "link.jsonl");
  Journal journal(dir / "link.jsonl", /*drop_failed=*/true);
  journal.append({{"id", 1}});
  journal.close();
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.jsonl"));
  EXPECT_EQ(file_contents(target), "{\"id\":2}\n{\"id\":1}\n");
}

TEST(Journal, AWriteThatFailsPartWayCutsTheFileBackAndWritesNoMore) {
  TempDir dir;
  const std::string path = dir / "results.jsonl";
  write_text(path, "{\"id\":0}\n");
  // A child whose files may not grow past 100 bytes: a full disk, as the writer sees it.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100, 100};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    int status = 1;
    try {
      Journal journal(path);
      for (int id = 1; id < 100; ++id) {
        try {
          journal.append({{"id", id}, {"checked", {{"类别", "退款"}}}});
        } catch (const std::filesystem::filesystem_error&) {
          status = 0;
          try {
            journal.append({{"id", 1000}});
            status = 2;  // appended after a failure
          } catch (const std::filesystem::filesystem_error&) {
          }
          break;
        }
      }
    } catch (...) {
      status = 3;
    }
    ::_exit(status);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string text = file_contents(path);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n') << text;
  EXPECT_LT(text.size(), 100u);
  Journal again(path);  // every line whole
  EXPECT_GE(again.resumed(), 2u);
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
