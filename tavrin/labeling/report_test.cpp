#include "tavrin/labeling/report.hpp"

#include <gtest/gtest.h>

#include <cstdio>

namespace tavrin::labeling {
namespace {

JobTally sample_tally() {
  JobTally tally;
  tally.total = 20000;
  tally.resumed = 800;
  tally.done = 2000;
  tally.failed = 3;
  tally.retries = 12;
  tally.prompt_tokens = 50000;
  tally.completion_tokens = 1200;
  tally.fields["类别"] = {.kept = 900,
                          .replaced = 100,
                          .abstained = 20,
                          .missing = 10,
                          .gold = 1000,
                          .predicted_right = 700,
                          .checked_right = 900,
                          .gold_abstained = 20,
                          .gold_failed = 3};
  tally.fields["priority"] = {.kept = 1000};
  return tally;
}

TEST(Report, TheProgressLineCountsThisRunForTheRate) {
  EXPECT_EQ(progress_line(sample_tally(), std::chrono::seconds(10)),
            "2000/20000 records, 120.0/s, ETA 2m30s, 3 failed, 12 retries, 51200 tokens");
  JobTally done = sample_tally();
  done.done = done.total;
  EXPECT_EQ(progress_line(done, std::chrono::seconds(0)),
            "20000/20000 records, 0.0/s, 3 failed, 12 retries, 51200 tokens");
}

TEST(Report, TheSummaryGivesAccuracyOnlyOverTrueLabels) {
  const std::vector<std::string> lines = summary_lines(sample_tally(), "out.jsonl");
  const std::vector<std::string> expected = {
      "  records   2000 of 20000 done (1200 this run, 800 from an earlier run)",
      "  not sent  18000 (not counted below; a run again takes them)",
      "  failed    3 (their lines in out.jsonl carry an \"error\"; a run with retry_failed "
      "does them again)",
      "  retries   12, tokens 50000 prompt + 1200 completion (this run)",
      "  values    1900 kept, 100 replaced, 20 abstained, 10 missing",
      "  accuracy  against the true labels (a failed record's values count as wrong; "
      "abstained: left null by the check)",
      "    field       predicted  checked  answered  of answered  abstained  not abstained",
      "    priority    -          -        -         -            -          -  (0 with a true "
      "label)",
      "    类别        70.0%      90.0%    99.7%     90.3%        2.0%       92.1%  (1000 with a "
      "true label)",
      "    all fields  70.0%      90.0%    99.7%     90.3%        2.0%       92.1%  (1000 with a "
      "true label)",
  };
  EXPECT_EQ(lines, expected);
  JobTally cached = sample_tally();
  cached.cached_tokens = 30000;
  EXPECT_EQ(summary_lines(cached, "out.jsonl")[3],
            "  retries   12, tokens 50000 prompt (30000 cached) + 1200 completion (this run)");
  JobTally embedded = sample_tally();
  embedded.embedding_calls = 40;
  embedded.embedded_texts = 900;
  EXPECT_EQ(summary_lines(embedded, "out.jsonl").at(4),
            "  embedded  900 texts in 40 calls (this run)");
  JobTally ruled = sample_tally();
  ruled.fields["priority"].normalized = 7;
  ruled.fields["类别"].no_answer = 3;
  ruled.fields["类别"].asked = 2;
  EXPECT_EQ(summary_lines(ruled, "out.jsonl").at(4),
            "  values    1900 kept, 7 normalized, 100 replaced, 2 asked, 20 abstained, 3 no "
            "answer, 10 missing");
  JobTally no_gold = sample_tally();
  no_gold.fields["类别"].gold = 0;
  EXPECT_EQ(summary_lines(no_gold, "out.jsonl").size(), 5u);
}

TEST(Report, TheSummaryGivesMacroF1AndTheMostFrequentConfusionsOfEachField) {
  JobTally tally = sample_tally();
  FieldTally& category = tally.fields["类别"];
  category.right_by_label = {{"refund", 8}, {"billing", 2}};
  // Abstentions (null) are no confusion; "billing" is never right as "refund".
  category.confusions = {{{"refund", "billing"}, 12},
                         {{"billing", "refund"}, 3},
                         {{"refund", std::nullopt}, 40},
                         {{"billing", "shipping"}, 1},
                         {{"billing", "other"}, 2}};
  const std::vector<std::string> lines = summary_lines(tally, "out.jsonl");
  // refund: P 8/11, R 8/60; billing: P 2/14, R 2/8; shipping: 0.
  const double refund = 2 * (8.0 / 11) * (8.0 / 60) / (8.0 / 11 + 8.0 / 60);
  const double billing = 2 * (2.0 / 14) * (2.0 / 8) / (2.0 / 14 + 2.0 / 8);
  char f1[16];
  std::snprintf(f1, sizeof f1, "%.3f", (refund + billing) / 4);
  EXPECT_EQ(lines.at(lines.size() - 2), std::string("  macro-F1  类别 ") + f1);
  EXPECT_EQ(lines.back(),
            "  confused  类别: refund -> billing 12, 类别: billing -> refund 3, 类别: billing -> "
            "other 2");
}

}  // namespace
}  // namespace tavrin::labeling
