#include "tavrin/labeling/scheduler.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tavrin/core/errors.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::labeling {
namespace {

Environment with(std::map<std::string, std::string> variables) {
  return [variables = std::move(variables)](const char* name) -> const char* {
    const auto found = variables.find(name);
    return found == variables.end() ? nullptr : found->second.c_str();
  };
}

void expect_shard(const Shard& shard, std::size_t index, std::size_t count) {
  EXPECT_EQ(shard.index, index);
  EXPECT_EQ(shard.count, count);
}

TEST(ShardFromEnvironment, ReadsASlurmArrayTaskAndAnIndexedJobsIndex) {
  // sbatch --array=0-3: task 2 of 4.
  expect_shard(shard_from_environment(with({{"SLURM_ARRAY_TASK_ID", "2"},
                                            {"SLURM_ARRAY_TASK_MIN", "0"},
                                            {"SLURM_ARRAY_TASK_COUNT", "4"}})),
               2, 4);
  // sbatch --array=10-16:3 runs the ids 10, 13, 16: 16 is task 2 of 3.
  expect_shard(shard_from_environment(with({{"SLURM_ARRAY_TASK_ID", "16"},
                                            {"SLURM_ARRAY_TASK_MIN", "10"},
                                            {"SLURM_ARRAY_TASK_STEP", "3"},
                                            {"SLURM_ARRAY_TASK_COUNT", "3"}})),
               2, 3);
  expect_shard(shard_from_environment(with({{"JOB_COMPLETION_INDEX", "0"}}), 5), 0, 5);
  // Slurm's variables win over an index that leaked into its environment.
  expect_shard(shard_from_environment(with({{"SLURM_ARRAY_TASK_ID", "1"},
                                            {"SLURM_ARRAY_TASK_MIN", "1"},
                                            {"SLURM_ARRAY_TASK_COUNT", "2"},
                                            {"JOB_COMPLETION_INDEX", "7"}}),
                                      9),
               0, 2);
}

TEST(ShardFromEnvironment, WhatNoSchedulerGaveIsAValueErrorNamingTheVariables) {
  const auto refused = [](std::map<std::string, std::string> variables, const std::string& message,
                          std::optional<std::size_t> shards = std::nullopt) {
    tavrin::testing::expect_error<ValueError>(
        [&] { shard_from_environment(with(std::move(variables)), shards); }, message);
  };
  refused({},
          "no scheduler's shard in the environment: looked for a Slurm job array's "
          "SLURM_ARRAY_TASK_ID (with SLURM_ARRAY_TASK_MIN, SLURM_ARRAY_TASK_COUNT and maybe "
          "SLURM_ARRAY_TASK_STEP) or a Kubernetes Indexed Job's JOB_COMPLETION_INDEX");
  refused({{"SLURM_ARRAY_TASK_ID", "2"}, {"SLURM_ARRAY_TASK_COUNT", "4"}},
          "SLURM_ARRAY_TASK_MIN is not set, though SLURM_ARRAY_TASK_ID is");
  refused({{"SLURM_ARRAY_TASK_ID", "x2"}}, "SLURM_ARRAY_TASK_ID must be a count, not 'x2'");
  refused({{"SLURM_ARRAY_TASK_ID", "12"},
           {"SLURM_ARRAY_TASK_MIN", "10"},
           {"SLURM_ARRAY_TASK_STEP", "3"},
           {"SLURM_ARRAY_TASK_COUNT", "3"}},
          "SLURM_ARRAY_TASK_ID 12 is not on the array's steps (min 10, step 3)");
  refused({{"SLURM_ARRAY_TASK_ID", "4"},
           {"SLURM_ARRAY_TASK_MIN", "0"},
           {"SLURM_ARRAY_TASK_COUNT", "4"}},
          "SLURM_ARRAY_TASK_ID 4 is task 4 of an array of SLURM_ARRAY_TASK_COUNT 4 tasks");
  refused({{"JOB_COMPLETION_INDEX", "1"}},
          "JOB_COMPLETION_INDEX is set, but not the number of shards (the Indexed Job's "
          "completions)");
  refused({{"JOB_COMPLETION_INDEX", "5"}}, "JOB_COMPLETION_INDEX 5 is not below the 5 shards", 5);
}

TEST(ShardOutPath, EachShardMarkIsTheShardsIndex) {
  EXPECT_EQ(shard_out_path("parts/{shard}/part-{shard}.jsonl", {3, 4}), "parts/3/part-3.jsonl");
  EXPECT_EQ(shard_out_path("results.jsonl", {3, 4}), "results.jsonl");
  EXPECT_EQ(shard_out_path("{shard", {1, 2}), "{shard");
}

}  // namespace
}  // namespace tavrin::labeling
