// One table labelled as the four tasks of a Slurm job array, on the one-node cluster that the
// slurm_cluster fixture starts (tests/slurm/cluster; SLURM_CONF names it): every task takes its
// shard from Slurm's environment with --shard auto and writes its own results file, against a
// stand-in endpoint on the loopback.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "tavrin/core/value.hpp"
#include "tests/support/openai_server.hpp"
#include "tests/support/test_helpers.hpp"

namespace {

namespace fs = std::filesystem;
using tavrin::Value;
using tavrin::testing::file_contents;

constexpr int kRecords = 40;
constexpr int kTasks = 4;

void spill(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// The exit status of `command` run by the shell in `dir`.
int shell(const fs::path& dir, const std::string& command) {
  const int raw = std::system(("cd '" + dir.string() + "' && " + command).c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

class SlurmArray : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("SLURM_CONF"), nullptr) << "run through CTest: the cluster's fixture";
    std::string pattern = (fs::temp_directory_path() / "tavrin-slurm-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    std::string csv = "id,question,category\n";
    const char* rows[][2] = {{"手机屏幕碎了，申请换货", "售后服务"},
                             {"电脑开不了机，错误码 E042", "技术故障"},
                             {"快递三天没到", "订单物流"},
                             {"退货后退款没到账", "售后服务"}};
    for (int i = 0; i < kRecords; ++i) {
      csv += std::to_string(i + 1) + "," + rows[i % 4][0] + "," + rows[i % 4][1] + "\n";
    }
    spill(dir_ / "tickets.csv", csv);
    spill(dir_ / "labels.json", R"({"category": ["售后服务", "技术故障", "订单物流"]})");
    // The stand-in echoes the prompt, which ends with the answer.
    spill(dir_ / "prompt.txt", "{labels}{record}\n{{\"category\": \"售后服务\"}}");
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);  // a failed run's task logs stay to be read
  }

  fs::path dir_;
};

TEST_F(SlurmArray, FourTasksLabelEveryRecordOnceIntoFilesOfTheirOwn) {
  const std::string tool = TAVRIN_CLI_PATH;
  ASSERT_EQ(shell(dir_, "'" + tool + "' build tickets.csv --labels labels.json --out stores"), 0);
  tavrin::testing::OpenAiServer endpoint;
  spill(dir_ / "label.sh", "#!/bin/bash\nexec '" + tool +
                               "' label tickets.csv --labels labels.json --stores stores "
                               "--prompt prompt.txt --examples 0 --in-flight 2 "
                               "--shard auto --out 'parts/part-{shard}.jsonl' --llm-url " +
                               endpoint.url() + "\n");
  fs::create_directory(dir_ / "parts");
  // sbatch passes its environment on to the tasks; --wait returns when all have ended, with a
  // failure when one failed. timeout bounds a cluster that never runs the array.
  const int status = shell(
      dir_, "TAVRIN_LLM_KEY=sk-test timeout 240 sbatch --quiet --wait --array=0-" +
                std::to_string(kTasks - 1) + " --time=5 --output=task-%a.log --chdir=. label.sh");
  ASSERT_EQ(status, 0) << "the array failed; task logs in " << dir_;

  std::map<std::string, int> seen;
  for (int k = 0; k < kTasks; ++k) {
    const fs::path part = dir_ / "parts" / ("part-" + std::to_string(k) + ".jsonl");
    std::istringstream lines(file_contents(part.string()));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
      const Value result = Value::parse(line);
      EXPECT_TRUE(result["error"].is_null()) << line;
      ++seen[result["id"].get<std::string>()];
    }
    EXPECT_EQ(count, kRecords / kTasks) << part;
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kRecords));
  for (const auto& [id, times] : seen) EXPECT_EQ(times, 1) << "record " << id;
  EXPECT_EQ(endpoint.requests(), static_cast<std::size_t>(kRecords));
  // The four files read as one table.
  ASSERT_EQ(shell(dir_, "'" + tool + "' report parts/part-*.jsonl --out report.html >report.txt"),
            0);
  EXPECT_TRUE(fs::exists(dir_ / "report.html"));
}

}  // namespace
