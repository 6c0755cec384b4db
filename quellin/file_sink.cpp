#include "quellin/internal/file_sink.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <system_error>
#include <utility>

#include <boost/beast/http/error.hpp>
#include <boost/system/errc.hpp>

namespace quellin::internal {

namespace {

namespace http = boost::beast::http;
using ErrorCode = boost::system::error_code;

[[noreturn]] void fail(const std::string& what, const std::filesystem::path& path, int error) {
  throw std::filesystem::filesystem_error("quellin: " + what, path,
                                          std::error_code(error, std::generic_category()));
}

std::string random_hex(std::size_t digits) {
  std::random_device device;
  std::uniform_int_distribution<int> pick(0, 15);
  std::string text;
  for (std::size_t i = 0; i < digits; ++i) text += "0123456789abcdef"[pick(device)];
  return text;
}

}  // namespace

FileSink::FileSink(std::filesystem::path to, std::uint64_t max_bytes)
    : to_(std::move(to)), max_bytes_(max_bytes) {
  if (!to_.has_filename() || std::filesystem::is_directory(to_)) {
    throw ValueError("download target " + to_.string() + " is a folder, not a file");
  }
  // Hidden and marked as unfinished, so that nothing takes it for the download itself.
  // Appended piece by piece: GCC 12 takes the chained concatenation for an overlapping copy
  // (-Wrestrict) at -O3.
  std::string name = ".";
  name += to_.filename().string();
  name += '.';
  name += random_hex(16);
  name += ".part";
  temporary_ = to_.parent_path() / name;
  descriptor_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (descriptor_ < 0) fail("cannot create the download's temporary file", temporary_, errno);
}

FileSink::~FileSink() {
  close();
  if (!committed_) {
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
  }
}

void FileSink::close() noexcept {
  if (descriptor_ >= 0) ::close(descriptor_);
  descriptor_ = -1;
}

void FileSink::clear() {
  BodySink::clear();
  to_file_ = false;
  if (written_ == 0) return;
  // What an earlier attempt wrote is dropped.
  if (::ftruncate(descriptor_, 0) != 0 || ::lseek(descriptor_, 0, SEEK_SET) != 0) {
    fail("cannot empty the download's temporary file", temporary_, errno);
  }
  written_ = 0;
}

void FileSink::begin(unsigned status, std::optional<std::uint64_t> length, ErrorCode& ec) {
  to_file_ = status >= 200 && status <= 299;
  if (!to_file_) {
    BodySink::begin(status, length, ec);
  } else if (length && *length > max_bytes_) {
    ec = http::error::body_limit;
  }
}

void FileSink::write(std::string_view bytes, ErrorCode& ec) {
  if (!to_file_) {
    BodySink::write(bytes, ec);
    return;
  }
  if (bytes.size() > max_bytes_ - written_) {
    ec = http::error::body_limit;
    return;
  }
  while (!bytes.empty()) {
    const ssize_t n = ::write(descriptor_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      // Not the transport's fault: the exchange ends with this error, not retried.
      failure = std::make_exception_ptr(
          std::filesystem::filesystem_error("quellin: cannot write the download", temporary_,
                                            std::error_code(errno, std::generic_category())));
      ec = boost::system::errc::make_error_code(boost::system::errc::io_error);
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
    written_ += static_cast<std::uint64_t>(n);
  }
}

std::string FileSink::over_limit() const {
  if (!to_file_) return BodySink::over_limit();
  return "quellin: download body over its limit of " + std::to_string(max_bytes_) + " bytes";
}

std::uint64_t FileSink::commit() {
  // On disk before it takes the name, so that a crash cannot leave a short file under it.
  if (::fsync(descriptor_) != 0) fail("cannot write the download", temporary_, errno);
  const int closed = ::close(std::exchange(descriptor_, -1));
  if (closed != 0) fail("cannot write the download", temporary_, errno);
  std::error_code ec;
  std::filesystem::rename(temporary_, to_, ec);
  if (ec)
    throw std::filesystem::filesystem_error("quellin: cannot rename the download into place",
                                            temporary_, to_, ec);
  committed_ = true;
  return written_;
}

}  // namespace quellin::internal
