#include "tavrin/labeling/journal.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/atomic_file.hpp"
#include "tavrin/core/json_lines.hpp"
#include "tavrin/core/text.hpp"

namespace tavrin::labeling {
namespace {

namespace fs = std::filesystem;

std::string file_name(const std::string& path) { return "'" + path + "'"; }

}  // namespace

std::string id_key(const Value& id) { return str(id); }

Journal::Journal(std::string path, bool drop_failed, std::chrono::milliseconds sync_interval,
                 const std::function<void(const Value&)>& on_line)
    : path_(std::move(path)), sync_interval_(sync_interval) {
  std::error_code error;
  const fs::file_status status = fs::status(path_, error);
  if (fs::exists(status) && !fs::is_regular_file(status)) {
    throw ValueError("results file " + file_name(path_) + " is not a regular file");
  }
  open_locked();
  try {
    read_existing(drop_failed, on_line);
    size_ = ::lseek(descriptor_, 0, SEEK_END);
    if (size_ < 0) fail("cannot read the results file", errno);
  } catch (...) {
    // No destructor runs for a constructor that throws: let the lock go here.
    ::close(descriptor_);
    throw;
  }
  last_sync_ = std::chrono::steady_clock::now();
}

Journal::~Journal() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

// Opens the file for appending and holds an exclusive lock on it for the journal's life, so
// that a second process on the same file is refused instead of writing every id twice. The
// lock is on the file the path names now: a file replaced meanwhile (a --retry-failed rewrite
// of another process) is opened again.
void Journal::open_locked() {
  for (int attempt = 0;; ++attempt) {
    const int descriptor =
        ::open(path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);  // NOLINT
    if (descriptor < 0) fail("cannot open the results file", errno);
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(descriptor);
      if (error == EWOULDBLOCK) {
        throw ValueError("results file " + file_name(path_) +
                         " is being written by another process; one results file per job (give "
                         "each shard its own)");
      }
      fail("cannot lock the results file", error);
    }
    struct stat held {};
    struct stat named {};
    if (::fstat(descriptor, &held) == 0 && ::stat(path_.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      if (descriptor_ >= 0) ::close(descriptor_);
      descriptor_ = descriptor;
      return;
    }
    ::close(descriptor);
    if (attempt == 2) fail("cannot lock the results file", EAGAIN);
  }
}

// Reads the file line by line (it may be far larger than memory should hold), cuts off a torn
// last line, and with `drop_failed` writes the lines kept to a replacement of the file.
void Journal::read_existing(bool drop_failed, const std::function<void(const Value&)>& on_line) {
  std::ifstream in(path_, std::ios::binary);
  if (!in) fail("cannot read the results file", errno);
  std::optional<internal::AtomicFile> kept;
  // The file a link names is rewritten, not the link.
  if (drop_failed) kept.emplace(fs::canonical(path_).string());
  JsonLines lines(in, "results file " + file_name(path_));
  bool dropped = false;
  bool unterminated = false;  // a whole last line that only lacks its line feed
  while (const auto line = lines.next()) {
    Value result;
    try {
      result = lines.object(*line);
    } catch (const ValueError&) {
    }
    const auto id = result.is_object() ? result.find("id") : result.end();
    if (id == result.end()) {
      if (!line->terminated) break;  // torn by a crash in the middle of a write
      throw ValueError(lines.where(*line) + " is not a JSON object with an \"id\"");
    }
    unterminated = !line->terminated;
    const bool failed = result.contains("error") && !result["error"].is_null();
    if (failed && drop_failed) {
      dropped = true;
      continue;
    }
    if (!ids_.insert(id_key(*id)).second) {
      throw ValueError(lines.where(*line) + " repeats the id " + id->dump());
    }
    ++resumed_;
    if (failed) ++resumed_failed_;
    if (kept) kept->write(line->text + '\n');
    if (on_line) {
      try {
        on_line(result);
      } catch (const ValueError& e) {
        throw ValueError(lines.where(*line) + " " + e.what());
      }
    }
  }
  if (lines.failed()) fail("cannot read the results file", errno);
  in.close();
  if (dropped) {
    kept->commit();
    open_locked();
  } else if (unterminated) {
    write_all("\n");
  } else if (fs::file_size(path_) != lines.terminated_bytes()) {
    fs::resize_file(path_, lines.terminated_bytes());
  }
}

void Journal::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(descriptor_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      fail("cannot write the results file", errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

bool Journal::holds(const Value& id) const { return ids_.count(id_key(id)) != 0; }

void Journal::append(const Value& result) {
  if (descriptor_ < 0) throw ValueError("results file " + file_name(path_) + " is closed");
  const auto id = result.is_object() ? result.find("id") : result.end();
  if (!result.is_object() || id == result.end()) {
    throw ValueError("a result for " + file_name(path_) + " must be an object with an \"id\"");
  }
  if (ids_.count(id_key(*id)) != 0) {
    throw ValueError("results file " + file_name(path_) + " already holds the id " + id->dump());
  }
  if (broken_) {
    throw fs::filesystem_error("an earlier write of the results file failed", path_,
                               std::make_error_code(std::errc::io_error));
  }
  const std::string line = result.dump(-1, ' ', false, Value::error_handler_t::replace) + '\n';
  try {
    write_all(line);
  } catch (const fs::filesystem_error&) {
    // A line written in part (a full disk) would be a torn line in the middle of the file once
    // later lines follow it: cut the file back to its last whole line, and write no more.
    broken_ = true;
    if (::ftruncate(descriptor_, size_) != 0) {
      fail("cannot cut the results file back to its last whole line", errno);
    }
    throw;
  }
  size_ += static_cast<off_t>(line.size());
  ids_.insert(id_key(*id));
  unsynced_ = true;
  if (std::chrono::steady_clock::now() - last_sync_ >= sync_interval_) sync();
}

void Journal::sync() {
  if (unsynced_ && ::fdatasync(descriptor_) != 0) fail("cannot sync the results file", errno);
  unsynced_ = false;
  last_sync_ = std::chrono::steady_clock::now();
}

void Journal::close() {
  if (descriptor_ < 0) return;
  sync();
  const int closed = ::close(descriptor_);
  descriptor_ = -1;
  if (closed != 0) fail("cannot close the results file", errno);
}

void Journal::fail(const char* what, int error) const {
  throw fs::filesystem_error(what, path_, std::error_code(error, std::generic_category()));
}

}  // namespace tavrin::labeling
