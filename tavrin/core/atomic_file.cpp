#include "tavrin/core/internal/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

namespace tavrin::internal {
namespace {

constexpr int kNameAttempts = 16;

std::string random_suffix() {
  std::random_device device;
  const unsigned long long value = (static_cast<unsigned long long>(device()) << 32) | device();
  char text[24];
  std::snprintf(text, sizeof text, "%016llx", value);
  return text;
}

}  // namespace

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    // A short name of its own, so that a target name near the length limit still works.
    temporary_path_ =
        (std::filesystem::path(path_).parent_path() / (".tavrin-" + random_suffix() + ".tmp"))
            .string();
    // 0666 so that the umask decides the permissions, as for any newly created file.
    descriptor_ = ::open(temporary_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor_ >= 0 || errno != EEXIST) {
      break;
    }
  }
  if (descriptor_ < 0) {
    fail("cannot create a temporary file beside", errno);
  }
  keep_permissions_of_target();
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
    close_descriptor();
    ::unlink(temporary_path_.c_str());
  }
}

void AtomicFile::write(std::string_view bytes) {
  const std::size_t first = size_;
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

void AtomicFile::close() {
  if (descriptor_ < 0) {
    return;
  }
  if (::fsync(descriptor_) != 0) {
    fail("cannot flush", errno);
  }
  const int closed = ::close(descriptor_);
  descriptor_ = -1;
  if (closed != 0) {
    fail("cannot close", errno);
  }
}

void AtomicFile::commit() {
  close();
  if (std::rename(temporary_path_.c_str(), path_.c_str()) != 0) {
    fail("cannot rename into place", errno);
  }
  committed_ = true;
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
