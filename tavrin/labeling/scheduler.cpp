#include "tavrin/labeling/scheduler.hpp"

#include <charconv>
#include <string_view>
#include <system_error>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/text.hpp"

namespace tavrin::labeling {
namespace {

constexpr const char* kLookedFor =
    "a Slurm job array's SLURM_ARRAY_TASK_ID (with SLURM_ARRAY_TASK_MIN, "
    "SLURM_ARRAY_TASK_COUNT and maybe SLURM_ARRAY_TASK_STEP) or a Kubernetes Indexed Job's "
    "JOB_COMPLETION_INDEX";

// The count a variable holds; nullopt when it is not set.
std::optional<std::size_t> count_of(const Environment& environment, const char* name) {
  const char* value = environment(name);
  if (value == nullptr) return std::nullopt;
  const std::string_view text(value);
  std::size_t count = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    throw ValueError(std::string(name) + " must be a count, not " + repr(Value(std::string(text))));
  }
  return count;
}

std::size_t required(const Environment& environment, const char* name, const char* beside) {
  const auto count = count_of(environment, name);
  if (!count) throw ValueError(std::string(name) + " is not set, though " + beside + " is");
  return *count;
}

Shard slurm_shard(const Environment& environment, std::size_t id) {
  const std::size_t min = required(environment, "SLURM_ARRAY_TASK_MIN", "SLURM_ARRAY_TASK_ID");
  const std::size_t count = required(environment, "SLURM_ARRAY_TASK_COUNT", "SLURM_ARRAY_TASK_ID");
  const std::size_t step = count_of(environment, "SLURM_ARRAY_TASK_STEP").value_or(1);
  if (step == 0 || id < min || (id - min) % step != 0) {
    throw ValueError("SLURM_ARRAY_TASK_ID " + std::to_string(id) +
                     " is not on the array's steps (min " + std::to_string(min) + ", step " +
                     std::to_string(step) + ")");
  }
  const Shard shard{(id - min) / step, count};
  if (shard.index >= shard.count) {
    throw ValueError("SLURM_ARRAY_TASK_ID " + std::to_string(id) + " is task " +
                     std::to_string(shard.index) + " of an array of SLURM_ARRAY_TASK_COUNT " +
                     std::to_string(count) + " tasks");
  }
  return shard;
}

}  // namespace

Shard shard_from_environment(const Environment& environment, std::optional<std::size_t> shards) {
  if (const auto id = count_of(environment, "SLURM_ARRAY_TASK_ID")) {
    return slurm_shard(environment, *id);
  }
  if (const auto index = count_of(environment, "JOB_COMPLETION_INDEX")) {
    if (!shards) {
      throw ValueError(
          "JOB_COMPLETION_INDEX is set, but not the number of shards (the Indexed "
          "Job's completions)");
    }
    if (*index >= *shards) {
      throw ValueError("JOB_COMPLETION_INDEX " + std::to_string(*index) + " is not below the " +
                       std::to_string(*shards) + " shards");
    }
    return {*index, *shards};
  }
  throw ValueError(std::string("no scheduler's shard in the environment: looked for ") +
                   kLookedFor);
}

Shard resolve_shard(std::string_view text, const Environment& environment,
                    std::optional<std::size_t> shards) {
  return text == "auto" ? shard_from_environment(environment, shards) : parse_shard(text);
}

std::string shard_out_path(const std::string& out_path, const Shard& shard) {
  constexpr std::string_view kMark = "{shard}";
  std::string path;
  std::size_t from = 0;
  for (std::size_t at; (at = out_path.find(kMark, from)) != std::string::npos;
       from = at + kMark.size()) {
    path.append(out_path, from, at - from).append(std::to_string(shard.index));
  }
  return path.append(out_path, from);
}

}  // namespace tavrin::labeling
