// Small helpers shared by the unit and end-to-end tests (header-only).
//
//   tavrin::testing::expect_error<tavrin::ValueError>([] { f(); }, "the exact message");
//   error_message<tavrin::ValueError>([] { f(); }, "ValueError")   // -> its message
//   tavrin::testing::expect_error_then_reason<tavrin::ValueError>([] { f(); }, "cannot read x: ");
//   tavrin::testing::TempDir dir;  std::string p = dir / "store";
//   std::string out = tavrin::testing::captured_stdout([] { g(); });
//   std::string bytes = tavrin::testing::file_contents(p);
//   tavrin::testing::names_in(dir.path())   // -> {"store"}
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace tavrin::testing {

/// Expects `call` to throw exactly an `Error` whose message is `message`.
template <class Error>
void expect_error(const std::function<void()>& call, const std::string& message) {
  try {
    call();
    ADD_FAILURE() << "no exception, expected: " << message;
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
}

/// The message of the `Error` that `call` throws, or "no <what>" when it throws none: for
/// tables of inputs and the messages they must get.
template <class Error, class Call>
std::string error_message(Call&& call, const std::string& what) {
  try {
    call();
  } catch (const Error& e) {
    return e.what();
  }
  return "no " + what;
}

/// Expects `call` to throw exactly an `Error` whose message is `ours` followed by a reason that
/// the C library words (strerror: "No such file or directory" here, other words elsewhere).
template <class Error>
void expect_error_then_reason(const std::function<void()>& call, const std::string& ours) {
  try {
    call();
    ADD_FAILURE() << "no exception, expected: " << ours << "<reason>";
  } catch (const Error& e) {
    const std::string message = e.what();
    EXPECT_TRUE(message.starts_with(ours) && message.size() > ours.size())
        << message << "\n  expected: " << ours << "<reason>";
  }
}

/// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavrin_test.XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() { std::filesystem::remove_all(path_); }

  const std::filesystem::path& path() const { return path_; }
  /// The path of `name` inside the folder, as text.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

/// The bytes of `file`; empty when it cannot be read.
inline std::string file_contents(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

/// The names of the entries of `folder`, sorted.
inline std::vector<std::string> names_in(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

/// The path of `relative` in the source tree: its root comes from CTest, or, for a test run by
/// hand, from this file's place in the tree.
inline std::string source_path(const std::string& relative) {
  const char* root = std::getenv("TAVRIN_SOURCE_DIR");
  const std::filesystem::path base =
      root != nullptr ? std::filesystem::path(root)
                      : std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
  return (base / relative).string();
}

/// What `call` wrote to standard output; an exception passes through after the capture ends.
inline std::string captured_stdout(const std::function<void()>& call) {
  ::testing::internal::CaptureStdout();
  try {
    call();
  } catch (...) {
    ::testing::internal::GetCapturedStdout();
    throw;
  }
  return ::testing::internal::GetCapturedStdout();
}

}  // namespace tavrin::testing
