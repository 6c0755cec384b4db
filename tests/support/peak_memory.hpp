// How much memory a call takes at its peak, and the large texts that probe it, for tests that
// bound it (header-only, Linux).
//
//   const auto grown = tavrin::testing::peak_memory_growth([&] { parse(text); });
//   if (!grown) GTEST_SKIP() << "the peak cannot be measured here";
//   EXPECT_LE(*grown, 2 * text.size());
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tavrin::testing {

namespace detail {

// A "VmRSS:"-style line of /proc/self/status in bytes, or -1.
inline long long status_bytes(const std::string& key) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(key, 0) == 0) return std::stoll(line.substr(key.size())) * 1024;  // kB
  }
  return -1;
}

}  // namespace detail

/// Whether resident memory tells what code allocates: not under AddressSanitizer, whose
/// quarantine keeps freed blocks resident and whose red zones enlarge every block.
constexpr bool memory_is_measurable() {
#if defined(__SANITIZE_ADDRESS__)
  return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return false;
#else
  return true;
#endif
#else
  return true;
#endif
}

/// The growth of the resident memory from before `call` to its peak during it. It runs in a
/// forked child, which first resets its peak, so that neither what the test process held
/// before nor what the call leaves behind counts; an exception from `call` is ignored. nullopt
/// when the system cannot reset the peak (no /proc/self/clear_refs), under AddressSanitizer
/// (see memory_is_measurable), or when the child fails.
inline std::optional<std::uint64_t> peak_memory_growth(const std::function<void()>& call) {
  if (!memory_is_measurable()) return std::nullopt;
  int channel[2];
  if (pipe(channel) != 0) return std::nullopt;
  const pid_t child = fork();
  if (child < 0) return std::nullopt;
  if (child == 0) {
    close(channel[0]);
    long long growth = -1;
    std::ofstream reset("/proc/self/clear_refs");
    reset << "5" << std::flush;  // the peak becomes the current resident size
    const long long before = detail::status_bytes("VmRSS:");
    if (reset && before >= 0) {
      try {
        call();
      } catch (...) {
      }
      growth = std::max(0LL, detail::status_bytes("VmHWM:") - before);
    }
    const bool sent = write(channel[1], &growth, sizeof growth) == sizeof growth;
    _exit(sent ? 0 : 1);
  }
  close(channel[1]);
  long long growth = -1;
  const bool received = read(channel[0], &growth, sizeof growth) == sizeof growth;
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!received || growth < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(growth);
}

/// `head`, then `piece` repeated until the text has at least `size` bytes, then `tail`: the
/// wide and deep texts of the memory tests.
inline std::string repeated(std::string_view head, std::string_view piece, std::size_t size,
                            std::string_view tail = "") {
  std::string text;
  text.reserve(size + piece.size() + tail.size());
  text += head;
  while (text.size() < size) text += piece;
  text += tail;
  return text;
}

}  // namespace tavrin::testing
