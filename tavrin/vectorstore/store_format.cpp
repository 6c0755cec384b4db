#include "tavrin/vectorstore/internal/store_format.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>

#include "tavrin/core/errors.hpp"

namespace tavrin::vectorstore::internal {

namespace fs = std::filesystem;

std::string fingerprint_hex(std::uint64_t n) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(n));
  return text;
}

void fail_store_file(const fs::path& path, const std::string& what) {
  throw ValueError("store file '" + path.string() + "' " + what);
}

void Fingerprint::add(const void* data, std::size_t size) {
  if (size == 0) return;  // `data` may then be null, which memcpy does not allow
  constexpr std::uint64_t kPrime = 1099511628211u;
  const auto mix = [&](const unsigned char* word_bytes) {
    std::uint64_t word;
    std::memcpy(&word, word_bytes, sizeof word);
    state_ = (state_ ^ word) * kPrime;
    state_ ^= state_ >> 29;
  };
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (pending_size_ > 0) {
    const std::size_t taken = std::min(size, sizeof pending_ - pending_size_);
    std::memcpy(pending_ + pending_size_, bytes, taken);
    pending_size_ += taken;
    bytes += taken;
    size -= taken;
    if (pending_size_ < sizeof pending_) return;
    mix(pending_);
    pending_size_ = 0;
  }
  for (; size >= sizeof(std::uint64_t);
       bytes += sizeof(std::uint64_t), size -= sizeof(std::uint64_t)) {
    mix(bytes);
  }
  std::memcpy(pending_, bytes, size);
  pending_size_ = size;
}

std::uint64_t Fingerprint::value() const {
  constexpr std::uint64_t kPrime = 1099511628211u;
  std::uint64_t h = state_;
  for (std::size_t i = 0; i < pending_size_; ++i) h = (h ^ pending_[i]) * kPrime;
  return h;
}

std::string Fingerprint::hex() const { return fingerprint_hex(value()); }

StoreFile::StoreFile(fs::path path) : path_(std::move(path)) {
  // Non-blocking, so that a FIFO in the file's place is refused instead of waited on.
  descriptor_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (descriptor_ < 0) fail("cannot be read: " + std::generic_category().message(errno));
  struct stat status {};
  std::string problem;
  if (::fstat(descriptor_, &status) != 0) {
    problem = "cannot be read: " + std::generic_category().message(errno);
  } else if (S_ISDIR(status.st_mode)) {
    problem = "is a folder, not a file";
  } else if (!S_ISREG(status.st_mode)) {
    problem = "is not a regular file";
  }
  if (!problem.empty()) {
    ::close(descriptor_);
    fail(problem);
  }
  size_ = static_cast<std::uint64_t>(status.st_size);
}

StoreFile::~StoreFile() { ::close(descriptor_); }

void StoreFile::read(void* out, std::size_t size) {
  auto* next = static_cast<char*>(out);
  while (size > 0) {
    const ssize_t got = ::read(descriptor_, next, size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) fail("cannot be read: " + std::generic_category().message(errno));
    if (got == 0) fail("ended while it was being read");
    next += got;
    size -= static_cast<std::size_t>(got);
  }
}

void StoreFile::fail(const std::string& what) const { fail_store_file(path_, what); }

}  // namespace tavrin::vectorstore::internal
