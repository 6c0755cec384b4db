// A file that appears at its path complete or not at all: written under a temporary name in
// the same folder, flushed to disk, then renamed over the target.
//
//   AtomicFile file("out.csv");
//   file.write("a\n1\n");
//   file.commit();            // out.csv now holds "a\n1\n"; without commit nothing appears
#pragma once

#include <string>
#include <string_view>

namespace tavrin::internal {

class AtomicFile {
 public:
  /// Creates the temporary file beside `path`, with the permissions of the file it will
  /// replace, if any; filesystem_error naming `path` on failure.
  explicit AtomicFile(std::string path);
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  /// Removes the temporary file unless commit() succeeded.
  ~AtomicFile();

  /// Appends `bytes`; filesystem_error naming the target path on failure.
  void write(std::string_view bytes);

  /// Flushes the file to disk and closes it, so that several files can be checked complete
  /// before any of them replaces its target; filesystem_error naming the target on failure.
  void close();

  /// Closes the file if still open, then renames it into place.
  void commit();

 private:
  [[noreturn]] void fail(const char* what, int error) const;
  void close_descriptor();
  void keep_permissions_of_target();
  void start_writeback(std::size_t offset, std::size_t size) const;

  std::string path_;
  std::string temporary_path_;
  int descriptor_ = -1;
  std::size_t size_ = 0;  // bytes written so far
  bool committed_ = false;
};

}  // namespace tavrin::internal
