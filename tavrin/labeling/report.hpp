// What a labelling job shows an operator: a progress line while it runs and a summary at the
// end, with accuracy figures when the records carry their true labels.
//
//   progress_line(tally, std::chrono::seconds(10))
//   // -> "1200/20000 records, 120.0/s, ETA 2m20s, 3 failed, 12 retries, 51200 tokens"
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tavrin/labeling/job.hpp"

namespace tavrin::labeling {

/// "86.3%" for 863 of 1000; "-" when `whole` is 0.
std::string percent(std::size_t part, std::size_t whole);

/// The decisions counted in `t`: "1900 kept, 12 normalized, 100 replaced, 20 abstained, 5 no
/// answer, 10 missing" (kept, replaced, abstained and missing always; the others when any came).
std::string values_line(const FieldTally& t);

/// "50000 prompt + 1200 completion", with "(30000 cached)" after the prompt tokens when the
/// endpoint read any from its cache.
std::string token_summary(std::uint64_t prompt, std::uint64_t cached, std::uint64_t completion);

/// Records done of the total, the rate of this run (records done since it began, over
/// `elapsed`), the time left at that rate, failures, retries and tokens.
std::string progress_line(const JobTally& tally, std::chrono::duration<double> elapsed);

/// The summary of a finished job: counts (and the records of the shard not sent, which no
/// figure counts), where failures are, tokens, and per target field and over all fields, for
/// the results with a true label: the share the model got right and the share right after the
/// check (a failed record's values are wrong), the share answered (coverage), the share right
/// among the answered, the share abstained, and the share right among the answered values not
/// abstained. Each entry is one line.
std::vector<std::string> summary_lines(const JobTally& tally, const std::string& out_path);

}  // namespace tavrin::labeling
