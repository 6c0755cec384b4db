// Pieces shared by the benchmark programs: the deterministic generator of their data, the
// Python baseline's interpreter and its run, timing, and the side-by-side lines.
//
//   tavrin::bench::Lcg random(7);  random.below(10);
//   const auto run = tavrin::bench::run_python("literal.py", "in.jsonl out.jsonl");
//   tavrin::bench::print_ratio("ratio tavrin / python", 12.5, ">= 10x");
#pragma once

#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tavrin/core/value.hpp"

namespace tavrin::bench {

/// A small deterministic generator (64-bit LCG), so every run builds the same data.
class Lcg {
 public:
  explicit Lcg(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return state_ >> 33;
  }
  std::uint64_t below(std::uint64_t n) { return next() % n; }

 private:
  std::uint64_t state_;
};

template <std::size_t N>
const char* pick(Lcg& random, const char* const (&words)[N]) {
  return words[random.below(N)];
}

/// Debian's interpreter, which has the baselines' packages (numpy, faiss, aiohttp), before any
/// other.
inline std::string python() {
  return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

/// The standard output of bench/<script> run with `arguments`, or nothing when it could not be
/// started or did not exit with 0.
inline std::optional<std::string> run_python(const std::string& script,
                                             const std::string& arguments) {
  const std::string command = python() + " " TAVRIN_BENCH_DIR "/" + script + " " + arguments;
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string output;
  char block[4096];
  for (std::size_t got; (got = std::fread(block, 1, sizeof block, pipe)) > 0;) {
    output.append(block, got);
  }
  if (::pclose(pipe) != 0) return std::nullopt;
  return output;
}

/// The seconds a baseline printed first, or 0 when it printed none.
inline double python_seconds(const std::string& script, const std::string& arguments) {
  const auto output = run_python(script, arguments);
  return output ? std::strtod(output->c_str(), nullptr) : 0;
}

/// A memory figure of this process from /proc/self/status ("VmRSS", "VmHWM", ...), in bytes;
/// 0 when it is not there.
inline std::size_t status_bytes(const std::string& key) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(key + ":", 0) == 0) return std::stoull(line.substr(key.size() + 1)) * 1024;
  }
  return 0;
}

/// The CPU seconds this process has used, which a busy machine does not inflate the way it
/// inflates wall time.
inline double cpu_seconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/// A fresh folder for one run's files; the caller removes it.
inline std::filesystem::path work_folder(const std::string& bench) {
  const auto folder = std::filesystem::temp_directory_path() /
                      ("tavrin-bench-" + bench + "-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  return folder;
}

/// Writes each text as a JSON string on a line of its own, the form the baselines read.
inline void write_json_lines(const std::filesystem::path& file,
                             const std::vector<std::string>& texts) {
  std::ofstream out(file);
  for (const auto& text : texts) out << Value(text).dump() << '\n';
}

inline void print_ratio(const char* label, double ratio, const char* goal) {
  std::printf("  %-28s %10.1fx   (goal %s)\n", label, ratio, goal);
}

inline void print_no_python_figure() { std::printf("  python: no figure (is python3 on PATH?)\n"); }

}  // namespace tavrin::bench
