// The evaluation and HTML report of a large results file against the same tally written the
// usual Python way (bench/report.py: pandas reads the lines, counts decisions, accuracy and the
// confusion matrix, and fits an isotonic calibration). By default 1,000,000 lines, 2 fields of
// about 20 labels, each value with a confidence.
//
// tavrin runs in a child of its own (this program forked after the file is written), so that
// its peak memory (VmHWM) is the evaluation's and the calibration's alone; the goal is a peak
// under the file's size. Its time is both passes: the evaluation with its page, and the
// calibration (logistic regression, isotonic map, threshold, five cross-validation folds).
//
//   bench/report [lines]
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench/support.hpp"
#include "tavrin/labeling/calibration.hpp"
#include "tavrin/labeling/evaluation.hpp"
#include "tavrin/labeling/html_report.hpp"

namespace {

namespace fs = std::filesystem;
using tavrin::bench::Lcg;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kLabels = 20;
const char* const kFields[] = {"category", "product"};

// A results file as the job writes it: most values right, the wrong ones more often at a low
// confidence, some replaced with a similarity, a few abstained, one record in 500 failed.
void write_results(const fs::path& path, std::size_t lines) {
  Lcg random(11);
  std::FILE* out = std::fopen(path.c_str(), "w");
  for (std::size_t id = 0; id < lines; ++id) {
    if (random.below(500) == 0) {
      std::fprintf(out,
                   "{\"id\":%zu,\"checked\":null,\"gold\":{\"category\":\"c%zu\",\"product\":"
                   "\"p%zu\"},\"answer\":null,\"attempts\":3,\"error\":\"HTTP status 503\"}\n",
                   id, random.below(kLabels), random.below(kLabels));
      continue;
    }
    std::string checked, decisions, predicted, gold;
    for (const char* field : kFields) {
      const char prefix = field[0];
      const std::size_t truth = random.below(kLabels);
      const double confidence = static_cast<double>(random.below(1000)) / 1000;
      const bool right = static_cast<double>(random.below(1000)) / 1000 < 0.3 + 0.65 * confidence;
      const std::size_t value = right ? truth : (truth + 1 + random.below(kLabels - 1)) % kLabels;
      const std::size_t kind = random.below(20);
      const char* decision = kind == 0 ? "abstained" : kind < 4 ? "replaced" : "kept";
      const std::string sep = checked.empty() ? "" : ",";
      char text[512];
      if (kind == 0) {
        std::snprintf(text, sizeof text, "\"%s\":null", field);
      } else {
        std::snprintf(text, sizeof text, "\"%s\":\"%c%zu\"", field, prefix, value);
      }
      checked += sep + text;
      std::snprintf(text, sizeof text,
                    "\"%s\":{\"decision\":\"%s\",\"score\":%.3f,\"nearest\":\"%c%zu\","
                    "\"runner_up\":null,\"runner_up_score\":null,\"confidence\":%.3f}",
                    field, decision, 0.5 + 0.5 * confidence, prefix, value, confidence);
      decisions += sep + text;
      std::snprintf(text, sizeof text, "\"%s\":\"%c%zu\"", field, prefix, value);
      predicted += sep + text;
      std::snprintf(text, sizeof text, "\"%s\":\"%c%zu\"", field, prefix, truth);
      gold += sep + text;
    }
    std::fprintf(out,
                 "{\"id\":%zu,\"checked\":{%s},\"decisions\":{%s},\"predicted\":{%s},\"gold\":{%s},"
                 "\"answer\":\"{}\",\"attempts\":1,\"usage\":{\"prompt_tokens\":412,"
                 "\"completion_tokens\":23},\"error\":null}\n",
                 id, checked.c_str(), decisions.c_str(), predicted.c_str(), gold.c_str());
  }
  std::fclose(out);
}

struct Figures {
  double seconds = 0;
  double calibration_seconds = 0;
  double peak = 0;  // bytes
  double accuracy = 0;
};

// The evaluation and the page, in a child process: its wall time and its own peak memory.
Figures run_tavrin(const fs::path& results, const fs::path& page) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) std::exit(1);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    const auto start = Clock::now();
    const auto evaluation = tavrin::labeling::evaluate_results({results.string()});
    std::FILE* out = std::fopen(page.c_str(), "w");
    const std::string html = tavrin::labeling::html_report(evaluation);
    std::fwrite(html.data(), 1, html.size(), out);
    std::fclose(out);
    const auto calibration_start = Clock::now();
    const auto calibration = tavrin::labeling::calibrate({results.string()}, {});
    const double calibration_seconds = tavrin::bench::seconds_since(calibration_start);
    if (calibration.fields.size() != 2) ::_exit(1);
    Figures f{tavrin::bench::seconds_since(start), calibration_seconds,
              static_cast<double>(tavrin::bench::status_bytes("VmHWM")), evaluation.all.accuracy()};
    if (::write(pipe_fds[1], &f, sizeof f) != sizeof f) ::_exit(1);
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  Figures f;
  if (::read(pipe_fds[0], &f, sizeof f) != sizeof f) std::exit(1);
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t lines = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const fs::path dir = tavrin::bench::work_folder("report");
  const fs::path results = dir / "results.jsonl";
  write_results(results, lines);
  const double file_mb = static_cast<double>(fs::file_size(results)) / 1e6;
  std::printf("report: %zu result lines, 2 fields of %zu labels, %.0f MB\n", lines, kLabels,
              file_mb);
  const Figures ours = run_tavrin(results, dir / "report.html");
  std::printf("  %-28s %8.2f s   peak %6.0f MB   accuracy %.4f (calibration %.2f s)\n",
              "tavrin report + calibrate", ours.seconds, ours.peak / 1e6, ours.accuracy,
              ours.calibration_seconds);
  const auto output = tavrin::bench::run_python("report.py", results.string());
  if (!output) {
    tavrin::bench::print_no_python_figure();
  } else {
    double seconds = 0, peak = 0, accuracy = 0, isotonic = 0;
    std::sscanf(output->c_str(), "%lf %lf %lf %lf", &seconds, &peak, &accuracy, &isotonic);
    std::printf("  %-28s %8.2f s   peak %6.0f MB   accuracy %.4f (isotonic fit %.2f s)\n",
                "python pandas tally + fit", seconds, peak / 1e6, accuracy, isotonic);
    tavrin::bench::print_ratio("time python / tavrin", seconds / ours.seconds, ">= 10x");
  }
  std::printf("  %-28s %10.2f    (goal < 1: memory under the file's size)\n",
              "tavrin peak / file size", ours.peak / 1e6 / file_mb);
  fs::remove_all(dir);
}
