// The results file of a labelling job: one JSON object per line, each holding the record's
// "id", appended as records finish, so that a job run again with the same file does only what
// is left.
//
//   Journal journal("results.jsonl");          // reads what an earlier run wrote
//   if (!journal.holds(Value(7))) journal.append({{"id", 7}, {"checked", {{"类别", "退款"}}}});
//   journal.close();                            // synced to disk
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "tavrin/core/value.hpp"

namespace tavrin::labeling {

/// How a results file matches ids: by their text (Python's str), so that a record whose id a
/// table reads as text ("7") matches the line an older run wrote with the number 7.
std::string id_key(const Value& id);

/// An append-only JSON Lines file of results keyed by "id". A line is written with one
/// system call as soon as it is appended (a crash loses at most the line being written), and
/// the file is synced to disk at most `sync_interval` after a line and when closed. The journal
/// holds an exclusive lock (flock) on the file for its life: one journal per file, a second
/// one, in this process or another, is refused. Not safe for use from several threads at once.
class Journal {
 public:
  /// Opens `path` (the file a link names), creating it when absent, locks it, and reads the
  /// ids of its lines. A last line without its line feed that is no JSON object with an "id" is
  /// what a crash left in the middle of a write: it is cut off the file, never read as a
  /// result; a whole one (a hand edit) is kept and gets its line feed. ValueError naming the
  /// file when another journal holds it. With `drop_failed`, lines that carry an "error" are
  /// removed (the file is rewritten whole, atomically), so that their records are done again and
  /// the file still holds every record once. ValueError naming the file and line for a complete
  /// line that is not a JSON object with an "id", or an id that two lines share;
  /// std::filesystem::filesystem_error when the file cannot be opened, read or written.
  /// `on_line`, when set, sees each line kept, as it is read; a ValueError it throws (saying
  /// what is wrong, e.g. "has no \"decisions\" object") comes out naming the file and line.
  explicit Journal(std::string path, bool drop_failed = false,
                   std::chrono::milliseconds sync_interval = std::chrono::seconds(1),
                   const std::function<void(const Value&)>& on_line = {});
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;
  /// Closes the file; errors are lost here, so call close() to see them.
  ~Journal();

  /// Whether a line with this id is in the file (written by this run or an earlier one).
  bool holds(const Value& id) const;
  /// How many lines the file held when opened (after dropping failed ones), and of them how
  /// many carry an "error".
  std::size_t resumed() const noexcept { return resumed_; }
  std::size_t resumed_failed() const noexcept { return resumed_failed_; }

  /// Writes `result` (an object with an "id" not yet in the file) as one line. ValueError for a
  /// missing or repeated id; filesystem_error when the write fails, after which the file is cut
  /// back to its last whole line and every later append fails.
  void append(const Value& result);

  /// Syncs to disk and closes; filesystem_error on failure. Appending afterwards is an error.
  void close();

  const std::string& path() const noexcept { return path_; }

 private:
  void open_locked();
  void read_existing(bool drop_failed, const std::function<void(const Value&)>& on_line);
  void write_all(std::string_view bytes);
  void sync();
  [[noreturn]] void fail(const char* what, int error) const;

  std::string path_;
  int descriptor_ = -1;
  std::unordered_set<std::string> ids_;  // id_key of each id
  std::size_t resumed_ = 0;
  std::size_t resumed_failed_ = 0;
  std::chrono::milliseconds sync_interval_;
  std::chrono::steady_clock::time_point last_sync_;
  bool unsynced_ = false;
  off_t size_ = 0;       // up to the end of the last whole line written
  bool broken_ = false;  // a write failed: nothing more is appended
};

}  // namespace tavrin::labeling
