#include "tavrin/core/internal/atomic_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/test_helpers.hpp"

namespace tavrin::internal {
namespace {

namespace fs = std::filesystem;
using tavrin::testing::file_contents;
using tavrin::testing::TempDir;

constexpr fs::perms kOwnerReadWrite = fs::perms::owner_read | fs::perms::owner_write;

std::ptrdiff_t entries_in(const fs::path& dir) {
  return std::distance(fs::directory_iterator(dir), fs::directory_iterator());
}

void write_committed(const std::string& path, std::string_view bytes) {
  AtomicFile file(path);
  file.write(bytes);
  file.commit();
}

TEST(AtomicFile, CommitReplacesTheTargetAndLeavesNothingElse) {
  TempDir dir;
  std::ofstream(dir / "out") << "old contents that are longer than the new ones\n";
  AtomicFile file(dir / "out");
  file.write("new ");
  file.write("bytes");
  EXPECT_EQ(file_contents(dir / "out"), "old contents that are longer than the new ones\n");
  file.commit();
  EXPECT_EQ(file_contents(dir / "out"), "new bytes");
  EXPECT_EQ(entries_in(dir.path()), 1);
}

TEST(AtomicFile, UncommittedFileLeavesNoTraceAndKeepsTheTarget) {
  TempDir dir;
  std::ofstream(dir / "kept") << "old";
  {
    AtomicFile file(dir / "kept");
    file.write("never seen");
    AtomicFile closed(dir / "absent");
    closed.write("closed but not renamed");
    closed.close();
  }
  EXPECT_EQ(file_contents(dir / "kept"), "old");
  EXPECT_EQ(entries_in(dir.path()), 1);
}

TEST(AtomicFile, NewFileFollowsTheUmaskAndReplacedFileKeepsItsPermissions) {
  TempDir dir;
  const mode_t previous = ::umask(022);
  write_committed(dir / "new", "a");
  std::ofstream(dir / "private") << "old";
  fs::permissions(dir / "private", kOwnerReadWrite);
  write_committed(dir / "private", "b");
  ::umask(previous);
  EXPECT_EQ(fs::status(dir / "new").permissions(),
            kOwnerReadWrite | fs::perms::group_read | fs::perms::others_read);
  EXPECT_EQ(fs::status(dir / "private").permissions(), kOwnerReadWrite);
  EXPECT_EQ(file_contents(dir / "private"), "b");
}

TEST(AtomicFile, TargetNameOfTheLongestAllowedLengthIsWritten) {
  TempDir dir;
  const std::string target = dir / std::string(255, 'n');
  write_committed(target, "x");
  EXPECT_EQ(file_contents(target), "x");
}

TEST(AtomicFile, MissingFolderIsAFilesystemErrorNamingTheTarget) {
  TempDir dir;
  const std::string target = dir / "missing/out";
  try {
    AtomicFile file(target);
    ADD_FAILURE() << "no exception";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.path1(), target);
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
  }
  EXPECT_EQ(entries_in(dir.path()), 0);
}

TEST(AtomicFile, FailedRenameNamesTheTargetAndLeavesNoTemporaryFile) {
  TempDir dir;
  fs::create_directories(dir.path() / "occupied" / "child");
  try {
    write_committed(dir / "occupied", "x");
    ADD_FAILURE() << "no exception";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.path1(), dir / "occupied");
  }
  EXPECT_EQ(entries_in(dir.path()), 1);
}

}  // namespace
}  // namespace tavrin::internal
