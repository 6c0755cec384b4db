// llm_postprocess against the same procedure in Python (four str.replace calls,
// ast.literal_eval, json.loads) on generated typical replies: by default 50,000 of them, fenced
// JSON objects with Chinese values, JSON with true/null (the literal parser refuses those),
// Python literals, bare JSON and prose that neither parser accepts. The Python side also writes
// its results, and every one is compared with tavrin's. Both sides report the best of five
// passes in CPU seconds, so that a busy machine skews neither.
//
//   bench/postprocess [replies]

#include <algorithm>
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
#include "tavrin/palisk.hpp"

namespace {

namespace fs = std::filesystem;
using tavrin::Value;
using tavrin::bench::Lcg;
using tavrin::bench::pick;

constexpr const char* kFields[] = {"产品", "类别", "问题类型", "情绪", "渠道", "优先级"};
constexpr const char* kValues[] = {"手机",     "耳机", "售后", "物流", "退款申请",
                                   "屏幕碎了", "正面", "电话", "高",   "Battery issue"};

// A JSON object of 2-5 fields, one per line with indentation, as chat models format them.
std::string json_object(Lcg& random, bool with_json_only_words, std::string_view quote) {
  std::string text = "{\n";
  const std::uint64_t fields = 2 + random.below(4);
  for (std::uint64_t i = 0; i < fields; ++i) {
    text += "  ";
    text += quote;
    text += kFields[i];
    text += quote;
    text += ": ";
    if (with_json_only_words && i == 1) {
      text += random.below(2) ? "true" : "null";
    } else if (random.below(4) == 0) {
      text += std::to_string(random.below(1000)) + "." + std::to_string(random.below(100));
    } else {
      text += quote;
      text += pick(random, kValues);
      text += quote;
    }
    text += i + 1 < fields ? ",\n" : "\n";
  }
  return text + "}";
}

std::string reply(Lcg& random) {
  switch (random.below(20)) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
      return "```json\n" + json_object(random, false, "\"") + "\n```";
    case 8:
    case 9:
    case 10:
    case 11:
      return "```json\n" + json_object(random, true, "\"") + "\n```";
    case 12:
    case 13:
    case 14:
      return json_object(random, false, "\"");
    case 15:
    case 16:
      return json_object(random, false, "'");
    case 17:
    case 18:
      return "好的，分析结果如下：\n```json\n" + json_object(random, false, "\"") +
             "\n```\n如有问题请告诉我。";
    default:
      return std::string("无法判断该问题的类别，") + pick(random, kValues) + "。";
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 50000;
  Lcg random(7);
  std::vector<std::string> replies;
  for (std::size_t i = 0; i < count; ++i) replies.push_back(reply(random));

  const fs::path work = tavrin::bench::work_folder("postprocess");
  tavrin::bench::write_json_lines(work / "replies.jsonl", replies);

  // The best of kPasses passes, in CPU seconds, as postprocess.py times its side.
  constexpr int kPasses = 5;
  std::vector<Value> results(count);
  double tavrin_seconds = 1e9;
  for (int pass = 0; pass < kPasses; ++pass) {
    const double start = tavrin::bench::cpu_seconds();
    for (std::size_t i = 0; i < count; ++i)
      results[i] = tavrin::palisk::llm_postprocess(replies[i]);
    tavrin_seconds = std::min(tavrin_seconds, tavrin::bench::cpu_seconds() - start);
  }

  const double python_seconds =
      tavrin::bench::python_seconds("postprocess.py", (work / "replies.jsonl").string() + " " +
                                                          (work / "results.jsonl").string());

  std::size_t compared = 0, differing = 0;
  std::ifstream python_results(work / "results.jsonl");
  for (std::string line; compared < count && std::getline(python_results, line); ++compared) {
    if (Value::parse(line) != results[compared]) {
      if (differing++ < 3) {
        std::cout << "  differs: " << Value(replies[compared]).dump() << "\n    python " << line
                  << "\n    tavrin " << results[compared].dump() << "\n";
      }
    }
  }
  fs::remove_all(work);

  std::printf("postprocess: %zu typical replies\n", count);
  std::printf("  %-28s %10.1f ms  %10.2f us/reply\n", "tavrin llm_postprocess",
              tavrin_seconds * 1e3, tavrin_seconds * 1e6 / count);
  if (python_seconds <= 0) {
    tavrin::bench::print_no_python_figure();
    return 1;
  }
  std::printf("  %-28s %10.1f ms  %10.2f us/reply\n", "python replace+ast+json",
              python_seconds * 1e3, python_seconds * 1e6 / count);
  tavrin::bench::print_ratio("ratio python / tavrin", python_seconds / tavrin_seconds, ">= 20x");
  std::printf("  results compared: %zu, differing: %zu\n", compared, differing);
  return compared == count && differing == 0 ? 0 : 1;
}
