// literal_eval against Python's ast.literal_eval on the same generated corpus of typical LLM
// replies: dict literals of 2-5 KB with Chinese text, nested lists and dicts, numbers, None and
// booleans, quotes of both kinds and escapes. Prints both throughputs in MB/s and their ratio;
// every parsed reply is also compared with Python's.
//
// Both sides are timed in CPU seconds, so that a busy machine skews neither.
//
//   bench/literal [replies]      (default 2,000 replies, about 7 MB)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "bench/support.hpp"
#include "tavrin/core/literal.hpp"

namespace {

namespace fs = std::filesystem;
using tavrin::Value;
using tavrin::bench::Lcg;
using tavrin::bench::pick;

constexpr const char* kKeys[] = {"名称", "类别", "数量", "比例", "备注", "趋势", "name", "score"};
constexpr const char* kPhrases[] = {"销售额在第三季度明显上升", "华东地区的退货率偏高",
                                    "建议按渠道拆分后再比较",   "用户对物流时效的投诉集中",
                                    "It's a seasonal effect",   "需要剔除异常值（如负数）",
                                    "客单价与复购率呈正相关",   "数据中存在\\n换行",
                                    "\"引号\"里的说明",         "同比增长 12.5%，环比持平"};

std::string quoted(Lcg& random, const std::string& text) {
  if (text.find('\'') != std::string::npos) return '"' + text + '"';
  if (text.find('"') != std::string::npos) return '\'' + text + '\'';
  return random.below(3) == 0 ? '"' + text + '"' : '\'' + text + '\'';
}

std::string scalar(Lcg& random) {
  switch (random.below(8)) {
    case 0:
      return std::to_string(random.below(100000));
    case 1:
      return std::to_string(random.below(1000)) + "." + std::to_string(random.below(1000));
    case 2:
      return random.below(2) ? "True" : "None";
    default:
      return quoted(random, pick(random, kPhrases));
  }
}

std::string item(Lcg& random) {
  std::string text = "{";
  const std::uint64_t fields = 3 + random.below(4);
  for (std::uint64_t i = 0; i < fields; ++i) {
    text +=
        (i ? ", " : "") + quoted(random, kKeys[(i + random.below(2)) % 8]) + ": " + scalar(random);
  }
  return text + "}";
}

// One reply: the keys the analysis prompt asks for, then tables of items until 2-5 KB.
std::string reply(Lcg& random) {
  const std::size_t target = 2048 + random.below(3072);
  std::string text = "{'subject': '销售数据的季度分析', 'role': '数据分析专家',\n 'steps': [";
  for (int i = 0; i < 4; ++i) {
    text += std::string(i ? ", " : "") +
            quoted(random, "第" + std::to_string(i + 1) + "步：" + pick(random, kPhrases));
  }
  text += "],\n 'tables': {";
  for (int table = 0; text.size() < target; ++table) {
    text += std::string(table ? ",\n  " : "\n  ") + "'表" + std::to_string(table) + "': [";
    for (int row = 0; row < 4 && text.size() < target; ++row) {
      text += std::string(row ? ",\n    " : "\n    ") + item(random);
    }
    text += "]";
  }
  return text + "},\n 'confidence': 0.87, 'complete': False}";
}

// Each side reports its best of several runs: literal.py of three passes, this of five
// repetitions of the benchmark.
constexpr int kRepetitions = 5;

std::vector<std::string> corpus;
std::size_t corpus_bytes = 0;

void BM_LiteralEval(benchmark::State& state) {
  for (auto _ : state) {
    for (const auto& text : corpus) benchmark::DoNotOptimize(tavrin::literal_eval(text));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus_bytes));
}

// Keeps the best throughput of the repetitions for the side-by-side line, as literal.py keeps
// the best of its passes.
class Reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const auto it = run.counters.find("bytes_per_second");
      if (run.run_type == Run::RT_Iteration && it != run.counters.end()) {
        bytes_per_second = std::max(bytes_per_second, it->second.value);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double bytes_per_second = 0;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000;
  Lcg random(11);
  for (std::size_t i = 0; i < count; ++i) {
    corpus.push_back(reply(random));
    corpus_bytes += corpus.back().size();
  }

  const fs::path work = tavrin::bench::work_folder("literal");
  tavrin::bench::write_json_lines(work / "replies.jsonl", corpus);

  benchmark::RegisterBenchmark("literal_eval/typical_replies", BM_LiteralEval)
      ->Unit(benchmark::kMillisecond)
      ->Repetitions(kRepetitions);
  Reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const double python_seconds = tavrin::bench::python_seconds(
      "literal.py", (work / "replies.jsonl").string() + " " + (work / "results.jsonl").string());

  std::size_t compared = 0;
  std::size_t differing = 0;
  std::ifstream python_results(work / "results.jsonl");
  for (std::string line; compared < count && std::getline(python_results, line); ++compared) {
    if (Value::parse(line) != tavrin::literal_eval(corpus[compared])) ++differing;
  }
  fs::remove_all(work);

  const double mb = static_cast<double>(corpus_bytes) / 1e6;
  const double tavrin_mb_s = reporter.bytes_per_second / 1e6;
  std::printf("literal: %zu replies, %.1f MB\n", count, mb);
  std::printf("  %-28s %10.1f MB/s\n", "tavrin literal_eval", tavrin_mb_s);
  if (python_seconds <= 0) {
    tavrin::bench::print_no_python_figure();
    return 1;
  }
  const double python_mb_s = mb / python_seconds;
  std::printf("  %-28s %10.1f MB/s\n", "python ast.literal_eval", python_mb_s);
  tavrin::bench::print_ratio("ratio tavrin / python", tavrin_mb_s / python_mb_s, ">= 10x");
  std::printf("  results compared: %zu, differing: %zu\n", compared, differing);
  return compared == count && differing == 0 ? 0 : 1;
}
