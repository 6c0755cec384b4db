// A file that appears at its path complete or not at all: written under a temporary name in
// the same folder, flushed to disk, then renamed over the target. A writer killed before it
// commits leaves its temporary file behind; the next AtomicFile created in that folder removes
// it.
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
  /// Removes the temporary files that dead writers left in the folder of `path`, then creates
  /// its own there, with the permissions of the file it will replace, if any; filesystem_error
  /// naming `path` on failure.
  explicit AtomicFile(std::string path);
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  /// Removes the temporary file unless commit() succeeded.
  ~AtomicFile();

  /// Appends `bytes`; filesystem_error naming the target path on failure.
  void write(std::string_view bytes);

  /// Flushes what is written to disk, so that several files can be checked complete before any
  /// of them replaces its target; filesystem_error naming the target on failure. The file stays
  /// open (and claimed against cleaning) until commit or destruction.
  void flush();

  /// Flushes the file if needed, then renames it into place.
  void commit();

 private:
  [[noreturn]] void fail(const char* what, int error) const;
  void close_descriptor();
  bool claim_own_file();
  void keep_permissions_of_target();
  void start_writeback(std::size_t offset, std::size_t size) const;

  std::string path_;
  std::string temporary_path_;
  int descriptor_ = -1;
  std::size_t size_ = 0;  // bytes written so far
  bool flushed_ = false;
  bool committed_ = false;
};

}  // namespace tavrin::internal
