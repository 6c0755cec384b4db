// read_csv and split_data against pandas on a generated table (default 1,000,000 rows x 6
// columns: two integer, two float, a Chinese and an ASCII text column of 20-60 characters).
// Each measurement runs in a fresh process of its own, so that its peak memory is its own.
//
//   bench/split [rows]
//   bench/split --generate data.csv rows        (only writes the table)
//   bench/split --measure read|split data.csv [train.csv test.csv]   (one tavrin measurement)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/support.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/tessick.hpp"

namespace {

namespace fs = std::filesystem;
using tavrin::Value;
using tavrin::bench::Lcg;
using tavrin::bench::seconds_since;
using tavrin::frame::DataFrame;

struct Measure {
  double seconds = 0;
  double peak_mib = 0;
};

std::string chinese_text(Lcg& random) {
  static const char* const kWords[] = {"售后", "服务", "订单", "退款", "物流", "质量", "价格",
                                       "手机", "电池", "屏幕", "客服", "发票", "，",   "。"};
  std::string text;
  const std::uint64_t characters = 20 + random.below(41);
  for (std::uint64_t n = 0; n < characters;) {
    const char* word = kWords[random.below(std::size(kWords))];
    text += word;
    n += std::string(word).size() / 3;
  }
  return text;
}

std::string ascii_text(Lcg& random) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz     ,.\"";
  std::string text;
  const std::uint64_t characters = 20 + random.below(41);
  for (std::uint64_t n = 0; n < characters; ++n) {
    text += kLetters[random.below(sizeof kLetters - 1)];
  }
  return text;
}

void generate(const std::string& path, std::size_t rows) {
  Lcg random(42);
  Value id = Value::array(), quantity = Value::array(), price = Value::array(),
        score = Value::array(), question = Value::array(), answer = Value::array();
  for (std::size_t i = 0; i < rows; ++i) {
    id.push_back(static_cast<std::int64_t>(i));
    quantity.push_back(static_cast<std::int64_t>(random.below(100000)) - 50000);
    price.push_back(static_cast<double>(random.below(10000000)) / 100.0);
    // Nine digits: pandas' default float parser is not exact for seventeen, and the two sides'
    // files are compared byte for byte.
    score.push_back(static_cast<double>(random.below(1000000000)) / 1e9);
    question.push_back(chinese_text(random));
    answer.push_back(ascii_text(random));
  }
  DataFrame(Value{{"id", id},
                  {"quantity", quantity},
                  {"price", price},
                  {"score", score},
                  {"question", question},
                  {"answer", answer}})
      .to_csv(path);
}

void print_figures(std::chrono::steady_clock::time_point start) {
  const double seconds = seconds_since(start);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%.6f %ld\n", seconds, usage.ru_maxrss);
}

// Runs a program whose last line of output is "<seconds> <peak RSS in KiB>", both figures taken
// inside that one fresh process.
Measure run(std::vector<std::string> arguments) {
  int channel[2];
  if (pipe(channel) != 0) {
    std::perror("pipe");
    std::exit(1);
  }
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    dup2(channel[1], STDOUT_FILENO);
    close(channel[0]);
    close(channel[1]);
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
      argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(channel[1]);
  std::string output;
  char block[4096];
  for (ssize_t got; (got = read(channel[0], block, sizeof block)) > 0;) {
    output.append(block, static_cast<std::size_t>(got));
  }
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  const std::size_t last_line = output.find_last_of('\n', output.size() - 2);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || output.empty()) {
    std::cerr << "measurement failed: " << arguments[0] << " " << arguments[1] << "\n";
    std::exit(1);
  }
  Measure measure;
  double peak_kib = 0;
  std::sscanf(output.c_str() + (last_line == std::string::npos ? 0 : last_line + 1), "%lf %lf",
              &measure.seconds, &peak_kib);
  measure.peak_mib = peak_kib / 1024.0;
  return measure;
}

// Each side runs twice; the faster time and the larger peak count. The machine may be shared,
// and both sides get the same treatment.
constexpr int kRuns = 2;

Measure best_of_runs(const std::vector<std::string>& command) {
  Measure best = run(command);
  for (int i = 1; i < kRuns; ++i) {
    const Measure again = run(command);
    best.seconds = std::min(best.seconds, again.seconds);
    best.peak_mib = std::max(best.peak_mib, again.peak_mib);
  }
  return best;
}

Measure ours(const std::vector<std::string>& arguments) {
  std::vector<std::string> command = {"/proc/self/exe", "--measure"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return best_of_runs(command);
}

Measure pandas(const std::vector<std::string>& arguments) {
  std::vector<std::string> command = {"/usr/bin/python3", TAVRIN_BENCH_DIR "/split.py"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return best_of_runs(command);
}

// The tavrin side of one measurement, in its own process: read, or split, then print seconds.
int measure(int argc, char** argv) {
  const std::string mode = argv[2];
  auto start = std::chrono::steady_clock::now();
  const DataFrame table = tavrin::frame::read_csv(argv[3]);
  if (mode == "split" && argc == 6) {
    start = std::chrono::steady_clock::now();
    tavrin::tessick::split_data(table, argv[4], argv[5]);
  }
  print_figures(start);
  return 0;
}

bool same_bytes(const std::string& a, const std::string& b) {
  std::ifstream first(a, std::ios::binary), second(b, std::ios::binary);
  return std::equal(std::istreambuf_iterator<char>(first), {},
                    std::istreambuf_iterator<char>(second), {});
}

void report(const char* what, const Measure& ours, const Measure& theirs, const char* goal) {
  std::printf(
      "%-24s tavrin %7.3f s %7.1f MiB | pandas %7.3f s %7.1f MiB | speed x%.2f, memory "
      "x%.2f | goal: %s\n",
      what, ours.seconds, ours.peak_mib, theirs.seconds, theirs.peak_mib,
      theirs.seconds / ours.seconds, ours.peak_mib / theirs.peak_mib, goal);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::string(argv[1]) == "--measure") {
    return measure(argc, argv);
  }
  if (argc == 4 && std::string(argv[1]) == "--generate") {
    const auto start = std::chrono::steady_clock::now();
    generate(argv[2], std::stoul(argv[3]));
    print_figures(start);
    return 0;
  }
  const std::size_t rows = argc > 1 ? std::stoul(argv[1]) : 1000000;
  const fs::path dir =
      fs::temp_directory_path() / ("tavrin-bench-split-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string data = (dir / "data.csv").string();
  // Generated in a child, so that this process stays small: a child starts from a copy of it.
  run({"/proc/self/exe", "--generate", data, std::to_string(rows)});
  std::printf("table: %zu rows x 6 columns, %.1f MiB of CSV\n", rows,
              static_cast<double>(fs::file_size(data)) / (1 << 20));

  report("read_csv", ours({"read", data}), pandas({"read", data}), "speed >= x1, memory <= x1");

  const std::string train = (dir / "train.csv").string(), test = (dir / "test.csv").string();
  const std::string train_pandas = train + ".pandas", test_pandas = test + ".pandas";
  const Measure split_ours = ours({"split", data, train, test});
  const Measure split_theirs = pandas({"split", data, train_pandas, test_pandas});
  report("shuffle + split + write", split_ours, split_theirs, "speed >= x5");
  std::printf("files identical to pandas: %s\n",
              same_bytes(train, train_pandas) && same_bytes(test, test_pandas) ? "yes" : "NO");
  fs::remove_all(dir);
}
