// The shard a scheduler gives each task of an array job, read from the task's environment, and
// the results file of each shard: N tasks of one command label one table between them.
//
//   // sbatch --array=0-3 (a Slurm job array of four tasks), task 2:
//   Shard shard = shard_from_environment(std::getenv);           // -> {2, 4}
//   shard_out_path("parts/part-{shard}.jsonl", shard)            // -> "parts/part-2.jsonl"
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "tavrin/labeling/job.hpp"

namespace tavrin::labeling {

/// Reads an environment variable: its value, or null when it is not set.
using Environment = std::function<const char*(const char*)>;

/// The shard of this task of an array job:
/// - a Slurm job array: K = (SLURM_ARRAY_TASK_ID - SLURM_ARRAY_TASK_MIN) / step, the step
///   SLURM_ARRAY_TASK_STEP when set, else 1, and N = SLURM_ARRAY_TASK_COUNT;
/// - a Kubernetes Indexed Job: K = JOB_COMPLETION_INDEX, N = `shards` (the Job's completions,
///   which its environment does not hold).
/// Slurm's variables win when both are set. ValueError naming the variables looked for when
/// neither scheduler's are there, naming a variable whose value is no count or does not fit
/// (an id below the minimum or off the step, K not below N), and when an Indexed Job's task is
/// given no `shards`.
Shard shard_from_environment(const Environment& environment,
                             std::optional<std::size_t> shards = std::nullopt);

/// The shard `text` names: "K/N" as parse_shard reads it, or "auto" for this task's of an
/// array job, as shard_from_environment reads it with `shards`.
Shard resolve_shard(std::string_view text, const Environment& environment,
                    std::optional<std::size_t> shards);

/// `out_path` with each "{shard}" replaced by the shard's index K, so that every task of an
/// array writes a file of its own.
std::string shard_out_path(const std::string& out_path, const Shard& shard);

}  // namespace tavrin::labeling
