#include "tavrin/core/internal/atomic_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/child_process.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::internal {
namespace {

namespace fs = std::filesystem;
using tavrin::testing::ChildProcess;
using tavrin::testing::file_contents;
using tavrin::testing::names_in;
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
    AtomicFile flushed(dir / "absent");
    flushed.write("flushed but not renamed");
    flushed.flush();
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

// A child that starts writing `target` and stays alive, its temporary file open, until killed.
ChildProcess writer_of(const std::string& target) {
  return ChildProcess([target](const std::function<void()>& ready) {
    AtomicFile file(target);
    file.write(std::string(1 << 16, 'x'));
    ready();
  });
}

TEST(AtomicFile, NextWriteRemovesWhatAKilledWriterLeftButNotALiveWritersFile) {
  TempDir dir;
  ChildProcess killed = writer_of(dir / "out");
  ASSERT_TRUE(killed.wait_ready());
  killed.kill();
  const std::vector<std::string> left = names_in(dir.path());
  ASSERT_EQ(left.size(), 1u);  // the killed writer's temporary file

  // The next writer of the same target removes it, and stays alive with its own file open.
  ChildProcess live = writer_of(dir / "out");
  ASSERT_TRUE(live.wait_ready());
  const std::vector<std::string> live_file = names_in(dir.path());
  ASSERT_EQ(live_file.size(), 1u);
  EXPECT_NE(live_file, left);

  write_committed(dir / "out", "new");
  EXPECT_EQ(file_contents(dir / "out"), "new");
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{live_file[0], "out"}));
  live.kill();
  write_committed(dir / "other", "x");  // any later write in the folder cleans up
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"other", "out"}));
}

TEST(AtomicFile, CleaningTouchesOnlyUnlockedRegularFilesOfItsOwnNaming) {
  TempDir dir;
  const std::vector<std::string> kept = {
      ".tavrin-0123456789abcdef.tmp",        // the unlocked naming of older builds
      ".tavrin-0123456789abcde.part",        // one digit short
      ".tavrin-0123456789ABCDEF.part",       // upper-case digits
      ".tavrin-0123456789abcdef.part.keep",  // longer
      "x.tavrin-0123456789abcdef.part",
  };
  for (const std::string& name : kept) std::ofstream(dir / name) << "keep";
  std::ofstream(dir / ".tavrin-00000000000000aa.part") << "left by a dead writer";
  // Opening a FIFO would block, following a link would reach outside the folder.
  ASSERT_EQ(::mkfifo((dir / ".tavrin-00000000000000bb.part").c_str(), 0600), 0);
  std::ofstream(dir / "linked") << "target";
  fs::create_symlink(dir / "linked", dir.path() / ".tavrin-00000000000000cc.part");

  AtomicFile same_process(dir / "first");  // live in this very process
  same_process.write("mine");
  write_committed(dir / "second", "x");
  same_process.commit();

  std::vector<std::string> expected = kept;
  expected.insert(expected.end(), {".tavrin-00000000000000bb.part", ".tavrin-00000000000000cc.part",
                                   "first", "linked", "second"});
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names_in(dir.path()), expected);
  EXPECT_EQ(file_contents(dir / "first"), "mine");
  EXPECT_EQ(file_contents(dir / "linked"), "target");
}

}  // namespace
}  // namespace tavrin::internal
