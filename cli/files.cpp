#include "cli/files.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <istream>
#include <memory>
#include <optional>
#include <streambuf>
#include <system_error>

#include "cli/common.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/atomic_file.hpp"
#include "tavrin/frame/dataframe.hpp"

namespace tavrin::cli {
namespace {

constexpr std::string_view kStandardInput = "-";

std::string reason(int error) { return std::generic_category().message(error); }

std::string named(const std::string& path) {
  return path == kStandardInput ? "standard input" : in_quotes(path);
}

const char* kind_of(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "a special file";
}

// Standard input may be anything a shell connects it to that ends by itself: a terminal ends
// with Ctrl-D; /dev/zero or a directory never give a usable end.
bool readable_stream(int descriptor, mode_t mode) {
  return S_ISREG(mode) || S_ISFIFO(mode) || S_ISSOCK(mode) ||
         (S_ISCHR(mode) && isatty(descriptor) != 0);
}

// A descriptor that is closed when `owned`; a member, so that it closes also when the
// constructor of Input throws after opening.
struct Descriptor {
  Descriptor() = default;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (owned) ::close(number);
  }
  int number = -1;
  bool owned = false;
};

// An open input; closes what it opened, never standard input.
class Input {
 public:
  // Checks the kind before opening, so that neither a named pipe nor a device is opened, and
  // again after, in case the path was replaced in between.
  explicit Input(const std::string& path) : path_(path) {
    if (path == kStandardInput) {
      descriptor_.number = STDIN_FILENO;
      const mode_t mode = current_mode();
      require_kind(readable_stream(descriptor_.number, mode),
                   "a regular file, a pipe or a terminal", mode);
      return;
    }
    struct stat before {};
    if (::stat(path.c_str(), &before) != 0) fail(errno);
    require_kind(S_ISREG(before.st_mode), "a regular file", before.st_mode);
    descriptor_.number = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor_.number < 0) fail(errno);
    descriptor_.owned = true;
    const mode_t mode = current_mode();
    require_kind(S_ISREG(mode), "a regular file", mode);
  }
  std::string read_all() const {
    std::string content;
    char block[1 << 16];
    while (const std::size_t got = read_some(block, sizeof block)) content.append(block, got);
    return content;
  }

  // Up to `size` bytes into `buffer`; 0 at the end of the input.
  std::size_t read_some(char* buffer, std::size_t size) const {
    while (true) {
      const ssize_t got = ::read(descriptor_.number, buffer, size);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // A non-blocking standard input: wait until it has more.
        pollfd ready{descriptor_.number, POLLIN, 0};
        ::poll(&ready, 1, -1);
      } else if (errno != EINTR) {
        fail(errno);
      }
    }
  }

 private:
  mode_t current_mode() const {
    struct stat now {};
    if (::fstat(descriptor_.number, &now) != 0) fail(errno);
    return now.st_mode;
  }

  void require_kind(bool fits, const char* wanted, mode_t mode) const {
    if (!fits) throw UsageError(named(path_) + " is " + kind_of(mode) + ", not " + wanted);
  }

  [[noreturn]] void fail(int error) const {
    throw UsageError("cannot read " + named(path_) + ": " + reason(error));
  }

  std::string path_;
  Descriptor descriptor_;
};

// An Input read a block at a time through a stream.
class InputBuffer : public std::streambuf {
 public:
  explicit InputBuffer(const std::string& path) : input_(path) {}

 protected:
  int_type underflow() override {
    const std::size_t got = input_.read_some(block_.data(), block_.size());
    if (got == 0) return traits_type::eof();
    setg(block_.data(), block_.data(), block_.data() + got);
    return traits_type::to_int_type(block_[0]);
  }

 private:
  Input input_;
  std::array<char, 1 << 16> block_{};
};

class InputStream : public std::istream {
 public:
  explicit InputStream(const std::string& path) : std::istream(nullptr), buffer_(path) {
    rdbuf(&buffer_);
    exceptions(std::ios::badbit);  // a failed read comes out as its UsageError
  }

 private:
  InputBuffer buffer_;
};

// Refuses an output path that is empty or already holds something that `fits` refuses.
void require_output(const std::string& path, std::string_view option, bool (*fits)(mode_t),
                    const char* wanted) {
  const std::string name(option);
  if (path.empty()) throw UsageError(name + " must name " + wanted);
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return;
    throw UsageError("cannot use " + name + " " + in_quotes(path) + ": " + reason(errno));
  }
  if (!fits(status.st_mode)) {
    throw UsageError(name + " " + in_quotes(path) + " is " + kind_of(status.st_mode) + ", not " +
                     wanted);
  }
}

// `path` made absolute, with every link, "." and ".." of its existing part resolved.
std::optional<std::filesystem::path> resolved(const std::string& path) {
  std::error_code error;
  std::filesystem::path full = std::filesystem::absolute(path, error);
  if (!error) full = std::filesystem::weakly_canonical(full, error);
  if (error) return std::nullopt;
  return full;
}

// Whether the paths `a` and `b` name one file; a path that cannot be resolved names none.
bool same_file(const std::string& a, const std::string& b) {
  std::error_code error;
  if (std::filesystem::exists(a, error) && std::filesystem::exists(b, error)) {
    const bool same = std::filesystem::equivalent(a, b, error);
    return same && !error;
  }
  // A file not there yet has no inode: the same path once resolved is the same file.
  const auto resolved_a = resolved(a);
  const auto resolved_b = resolved(b);
  return resolved_a && resolved_b && *resolved_a == *resolved_b;
}

// `read` of the CSV file at `path`, its faults UsageErrors that name the file.
template <class Read>
auto table_of(const std::string& path, Read read) {
  require_table_file(path);
  try {
    return read();
  } catch (const ValueError& e) {
    std::string_view message = e.what();
    constexpr std::string_view kReaderName = "read_csv: ";
    if (message.starts_with(kReaderName)) message.remove_prefix(kReaderName.size());
    throw UsageError(path + ": " + std::string(message));
  } catch (const std::filesystem::filesystem_error& e) {
    throw UsageError("cannot read " + in_quotes(path) + ": " + e.code().message());
  }
}

}  // namespace

std::string read_input(const std::string& path) { return Input(path).read_all(); }

std::unique_ptr<std::istream> open_input(const std::string& path) {
  return std::make_unique<InputStream>(path);
}

frame::DataFrame read_table(const std::string& path) {
  return table_of(path, [&] { return frame::read_csv(path); });
}

void require_table_file(const std::string& path) {
  if (path == kStandardInput) {
    throw UsageError("a CSV table cannot come from standard input (it is read twice): give a file");
  }
  Input{path};  // NOLINT(bugprone-unused-raii): checked, then closed; the reader opens it
}

void require_output_file(const std::string& path, std::string_view option) {
  require_output(
      path, option, [](mode_t mode) { return S_ISREG(mode); }, "a file");
}

void require_output_folder(const std::string& path, std::string_view option) {
  require_output(
      path, option, [](mode_t mode) { return S_ISDIR(mode); }, "a folder");
}

void require_distinct_outputs(const std::string& first, std::string_view first_option,
                              const std::string& second, std::string_view second_option) {
  if (same_file(first, second)) {
    throw UsageError(std::string(first_option) + " " + in_quotes(first) + " and " +
                     std::string(second_option) + " " + in_quotes(second) +
                     " are the same file: the second would replace the first");
  }
}

void write_file(const std::filesystem::path& path, std::string_view content) {
  tavrin::internal::AtomicFile file(path.string());
  file.write(content);
  file.commit();
}

}  // namespace tavrin::cli
