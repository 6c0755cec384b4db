#include "tavrin/core/internal/atomic_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>
#include <vector>

namespace tavrin::internal {
namespace {

// How stale temporary files are told from live ones: every writer holds an exclusive flock on
// its temporary file from just after creating it until the file is renamed into place or
// removed. The kernel drops the locks of a process that dies, so a temporary file that can be
// locked has no writer any more, and a cleaner removes only files it has locked itself. Locks
// of flock(2) belong to an open file, not to a process, so a cleaner also stops at the live
// files of its own process.
//
// The one window is a writer's own, between its open and its flock: a cleaner can lock and
// remove the file there. Once the writer holds its lock it therefore checks that its name still
// leads to the file it opened, and otherwise starts over under a new name.
//
// Files named as writers before this scheme named them (".tavrin-<hex>.tmp") hold no lock and
// are never removed: one of them may belong to a live writer of an older build.
constexpr char kTemporaryPrefix[] = ".tavrin-";
constexpr char kTemporarySuffix[] = ".part";
constexpr std::size_t kRandomDigits = 16;
constexpr int kNameAttempts = 16;

std::string random_suffix() {
  std::random_device device;
  const unsigned long long value = (static_cast<unsigned long long>(device()) << 32) | device();
  char text[kRandomDigits + 1];
  std::snprintf(text, sizeof text, "%016llx", value);
  return text;
}

bool is_temporary_name(std::string_view name) {
  const std::string_view prefix = kTemporaryPrefix;
  const std::string_view suffix = kTemporarySuffix;
  return name.size() == prefix.size() + kRandomDigits + suffix.size() && name.starts_with(prefix) &&
         name.ends_with(suffix) &&
         name.substr(prefix.size(), kRandomDigits).find_first_not_of("0123456789abcdef") ==
             std::string_view::npos;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes, in `folder`, the temporary files whose writers are gone. Best effort: whatever
// cannot be examined or removed is left alone, and the write goes on.
void remove_abandoned_files(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    if (is_temporary_name(entry->d_name)) names.emplace_back(entry->d_name);
  }
  const int folder_descriptor = ::dirfd(dir);
  const auto named = [&](const std::string& name, struct stat& status) {
    return ::fstatat(folder_descriptor, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
  };
  for (const std::string& name : names) {
    // Only regular files are opened: opening a FIFO or a device could block or act on it.
    struct stat status {};
    if (!named(name, status) || !S_ISREG(status.st_mode)) continue;
    const int descriptor =
        ::openat(folder_descriptor, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) continue;
    struct stat opened {};
    if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0 && ::fstat(descriptor, &opened) == 0 &&
        named(name, status) && same_file(opened, status)) {
      ::unlinkat(folder_descriptor, name.c_str(), 0);
    }
    ::close(descriptor);
  }
  ::closedir(dir);
}

}  // namespace

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {
  const std::filesystem::path folder = std::filesystem::path(path_).parent_path();
  remove_abandoned_files(folder.empty() ? "." : folder.string());
  int error = EAGAIN;  // what is reported when every name was taken from under the writer
  for (int attempt = 0; attempt < kNameAttempts && descriptor_ < 0; ++attempt) {
    // A short name of its own, so that a target name near the length limit still works.
    temporary_path_ = (folder / (kTemporaryPrefix + random_suffix() + kTemporarySuffix)).string();
    // 0666 so that the umask decides the permissions, as for any newly created file.
    descriptor_ = ::open(temporary_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor_ < 0) {
      error = errno;
      if (error != EEXIST) break;
    } else if (!claim_own_file()) {
      close_descriptor();
    }
  }
  if (descriptor_ < 0) {
    fail("cannot create a temporary file beside", error);
  }
  try {
    keep_permissions_of_target();
  } catch (...) {
    ::unlink(temporary_path_.c_str());
    close_descriptor();
    throw;
  }
}

// Takes the writer's lock on its new file; false when the file no longer sits under its name
// (a cleaner removed it before the lock was taken). A filesystem without flock leaves the file
// unlocked, and then no cleaner can lock, so none removes it.
bool AtomicFile::claim_own_file() {
  int locked = 0;
  do {
    locked = ::flock(descriptor_, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    const int error = errno;
    if (error == EOPNOTSUPP || error == ENOSYS) return true;
    ::unlink(temporary_path_.c_str());
    close_descriptor();
    fail("cannot lock the temporary file beside", error);
  }
  struct stat opened {};
  struct stat named {};
  return ::fstat(descriptor_, &opened) == 0 && ::lstat(temporary_path_.c_str(), &named) == 0 &&
         same_file(opened, named);
}

// A file that is replaced keeps its permissions: a private file must not become readable to
// others because it was rewritten.
void AtomicFile::keep_permissions_of_target() {
  struct stat target {};
  if (::stat(path_.c_str(), &target) == 0 && S_ISREG(target.st_mode) &&
      ::fchmod(descriptor_, target.st_mode & 07777) != 0) {
    fail("cannot copy the permissions of", errno);
  }
}

AtomicFile::~AtomicFile() {
  if (!committed_) {
    // Removed while still locked, so that no cleaner ever sees it unclaimed.
    ::unlink(temporary_path_.c_str());
    close_descriptor();
  }
}

void AtomicFile::write(std::string_view bytes) {
  const std::size_t first = size_;
  flushed_ = false;
  while (!bytes.empty()) {
    const ssize_t written = ::write(descriptor_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      fail("cannot write", errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
    size_ += static_cast<std::size_t>(written);
  }
  start_writeback(first, size_ - first);
}

void AtomicFile::start_writeback(std::size_t offset, std::size_t size) const {
#ifdef __linux__
  // Hands what is written so far to the disk now, so that commit's fsync has little left to
  // wait for. A hint only: commit's fsync is what reports failures.
  ::sync_file_range(descriptor_, static_cast<off_t>(offset), static_cast<off_t>(size),
                    SYNC_FILE_RANGE_WRITE);
#else
  (void)offset;
  (void)size;
#endif
}

void AtomicFile::flush() {
  if (flushed_) {
    return;
  }
  if (::fsync(descriptor_) != 0) {
    fail("cannot flush", errno);
  }
  flushed_ = true;
}

void AtomicFile::commit() {
  flush();
  if (std::rename(temporary_path_.c_str(), path_.c_str()) != 0) {
    fail("cannot rename into place", errno);
  }
  committed_ = true;
  // The bytes are on disk already; closing only gives up the lock of a name that is gone.
  close_descriptor();
}

void AtomicFile::fail(const char* what, int error) const {
  throw std::filesystem::filesystem_error(what, path_,
                                          std::error_code(error, std::generic_category()));
}

void AtomicFile::close_descriptor() {
  if (descriptor_ >= 0) {
    ::close(descriptor_);
    descriptor_ = -1;
  }
}

}  // namespace tavrin::internal
