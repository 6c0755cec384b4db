#include "cli/files.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "cli/common.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::cli {
namespace {

using tavrin::testing::expect_error;
using tavrin::testing::expect_error_then_reason;
using tavrin::testing::TempDir;

void spill(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// Runs `call` with standard input read from `path`, opened without blocking.
void with_stdin_from(const std::string& path, const std::function<void()>& call) {
  const int saved = ::dup(STDIN_FILENO);
  const int replacement = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(replacement, 0) << path;
  ::dup2(replacement, STDIN_FILENO);
  ::close(replacement);
  call();
  ::dup2(saved, STDIN_FILENO);
  ::close(saved);
}

TEST(ReadInput, ReadsARegularFileWhole) {
  TempDir dir;
  const std::string bytes = std::string("{\"a\": 1}\n\0\xff", 11) + std::string(200000, 'x');
  spill(dir / "in.jsonl", bytes);
  EXPECT_EQ(read_input(dir / "in.jsonl"), bytes);
  spill(dir / "empty", "");
  EXPECT_EQ(read_input(dir / "empty"), "");
}

TEST(ReadInput, RefusesAnythingButARegularFileNamingIt) {
  TempDir dir;
  std::filesystem::create_directory(dir / "adir");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const struct {
    std::string path;
    std::string message;
  } cases[] = {
      {dir / "adir", in_quotes(dir / "adir") + " is a directory, not a regular file"},
      // A named pipe without a writer would block the open: it is never opened.
      {dir / "fifo", in_quotes(dir / "fifo") + " is a named pipe, not a regular file"},
      {"/dev/null", "\"/dev/null\" is a device, not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    expect_error<UsageError>([&] { read_input(c.path); }, c.message);
  }
  for (const std::string& missing : {dir / "missing.json", dir / "adir/x/y"}) {
    expect_error_then_reason<UsageError>([&] { read_input(missing); },
                                         "cannot read " + in_quotes(missing) + ": ");
  }
}

TEST(ReadInput, StandardInputMayBeAFileOrAPipeButNotADirectoryOrDevice) {
  TempDir dir;
  spill(dir / "in", "prompt");
  with_stdin_from(dir / "in", [] { EXPECT_EQ(read_input("-"), "prompt"); });
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  // A pipe whose writer has gone: read to its end.
  with_stdin_from(dir / "fifo", [] { EXPECT_EQ(read_input("-"), ""); });
  std::filesystem::create_directory(dir / "adir");
  with_stdin_from(dir / "adir", [] {
    expect_error<UsageError>(
        [] { read_input("-"); },
        "standard input is a directory, not a regular file, a pipe or a terminal");
  });
  with_stdin_from("/dev/zero", [] {
    expect_error<UsageError>(
        [] { read_input("-"); },
        "standard input is a device, not a regular file, a pipe or a terminal");
  });
}

TEST(ReadTable, NamesTheFileInEveryFault) {
  TempDir dir;
  std::filesystem::create_directory(dir / "adir");
  const struct {
    const char* name;
    const char* content;
    const char* message;
  } cases[] = {
      {"ragged.csv", "a,b\n1,2,3\n", "expected 2 fields, saw 3 on line 2"},
      {"empty.csv", "", "no header line in the file"},
      {"quote.csv", "a,b\n\"1,2\n", "unterminated quote on line 2"},
      {"utf8.csv", "a,b\n\xff,2\n", "invalid UTF-8 on line 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    spill(dir / c.name, c.content);
    expect_error<UsageError>([&] { read_table(dir / c.name); }, dir / c.name + ": " + c.message);
  }
  expect_error<UsageError>([&] { read_table(dir / "adir"); },
                           in_quotes(dir / "adir") + " is a directory, not a regular file");
  expect_error<UsageError>(
      [] { read_table("-"); },
      "a CSV table cannot come from standard input (it is read twice): give a file");
  spill(dir / "good.csv", "a,b\n1,x\n");
  EXPECT_EQ(read_table(dir / "good.csv").size(), 1u);
}

TEST(RequireOutput, RefusesAnExistingPathOfAnotherKind) {
  TempDir dir;
  std::filesystem::create_directory(dir / "adir");
  spill(dir / "afile", "old");
  EXPECT_NO_THROW(require_output_file(dir / "afile", "--train"));
  EXPECT_NO_THROW(require_output_file(dir / "new.csv", "--train"));
  EXPECT_NO_THROW(require_output_folder(dir / "adir", "--out"));
  EXPECT_NO_THROW(require_output_folder(dir / "new/stores", "--out"));
  expect_error<UsageError>([&] { require_output_file(dir / "adir", "--train"); },
                           "--train " + in_quotes(dir / "adir") + " is a directory, not a file");
  expect_error<UsageError>([] { require_output_file("/dev/null", "--test"); },
                           "--test \"/dev/null\" is a device, not a file");
  expect_error<UsageError>(
      [&] { require_output_folder(dir / "afile", "--out"); },
      "--out " + in_quotes(dir / "afile") + " is a regular file, not a folder");
  expect_error_then_reason<UsageError>([&] { require_output_folder(dir / "afile/x", "--out"); },
                                       "cannot use --out " + in_quotes(dir / "afile/x") + ": ");
  expect_error<UsageError>([] { require_output_folder("", "--out"); }, "--out must name a folder");
  expect_error<UsageError>([] { require_output_file("", "--test"); }, "--test must name a file");
}

TEST(RequireDistinctOutputs, RefusesOneFileUnderTwoNames) {
  namespace fs = std::filesystem;
  TempDir dir;
  spill(dir / "a.csv", "old");
  spill(dir / "b.csv", "old");
  fs::create_symlink(dir / "a.csv", dir / "link.csv");
  fs::create_hard_link(dir / "a.csv", dir / "hard.csv");
  fs::create_directory(dir / "sub");
  fs::create_directory_symlink(dir / "sub", dir / "sublink");
  const struct {
    std::string first;
    std::string second;
  } same[] = {
      {dir / "a.csv", dir / "a.csv"},
      {dir / "a.csv", dir / "./a.csv"},
      {dir / "a.csv", dir / "link.csv"},
      {dir / "hard.csv", dir / "a.csv"},
      // Neither exists yet.
      {dir / "new.csv", dir / "sub/../new.csv"},
      {dir / "sub/new.csv", dir / "sublink/new.csv"},
  };
  for (const auto& c : same) {
    SCOPED_TRACE(c.second);
    expect_error<UsageError>(
        [&] { require_distinct_outputs(c.first, "--train", c.second, "--test"); },
        "--train " + in_quotes(c.first) + " and --test " + in_quotes(c.second) +
            " are the same file: the second would replace the first");
  }
  EXPECT_NO_THROW(require_distinct_outputs(dir / "a.csv", "--train", dir / "b.csv", "--test"));
  EXPECT_NO_THROW(require_distinct_outputs(dir / "a.csv", "--train", dir / "new.csv", "--test"));
  EXPECT_NO_THROW(
      require_distinct_outputs(dir / "new.csv", "--train", dir / "sub/new.csv", "--test"));
}

TEST(WriteFile, ReplacesTheFileWhole) {
  TempDir dir;
  spill(dir / "out.txt", "an older and longer content");
  write_file(dir / "out.txt", "new");
  EXPECT_EQ(tavrin::testing::file_contents(dir / "out.txt"), "new");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
}

}  // namespace
}  // namespace tavrin::cli
