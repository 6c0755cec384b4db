#include "tavrin/core/progress.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

namespace tavrin {
namespace {

using std::chrono::duration;

std::vector<std::size_t> walk(ProgressRange&& range) {
  std::vector<std::size_t> seen;
  for (std::size_t i : range) seen.push_back(i);
  return seen;
}

TEST(ProgressLine, ShowsLabelPercentBarCountTimesAndRate) {
  EXPECT_EQ(progress_line("构建文档中", 50, 200, duration<double>(2.0)),
            "构建文档中:  25%|##        | 50/200 [00:02<00:06, 25.00it/s]");
  EXPECT_EQ(progress_line("", 3, 3, duration<double>(3725.0)),
            "100%|##########| 3/3 [1:02:05<00:00, 0.00it/s]");
}

TEST(ProgressLine, UnknownRateAndEmptyTotal) {
  EXPECT_EQ(progress_line("x", 0, 10, duration<double>(0.0)),
            "x:   0%|          | 0/10 [00:00<?, ?it/s]");
  EXPECT_EQ(progress_line("x", 0, 0, duration<double>(0.0)),
            "x: 100%|##########| 0/0 [00:00<?, ?it/s]");
}

TEST(StatusLine, ALogGetsAPlainLineEachIntervalAndTheLastOneAtTheEnd) {
  std::ostringstream quiet;
  StatusLine at_end(quiet, false);
  at_end.update([] { return std::string("never drawn"); }, true);
  at_end.finish("done");
  EXPECT_EQ(quiet.str(), "done\n");

  std::ostringstream log;
  StatusLine every(log, false, std::chrono::nanoseconds(1));
  for (const char* line : {"a", "b"}) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    every.update([&] { return std::string(line); });
  }
  every.finish("c");
  EXPECT_EQ(log.str(), "a\nb\nc\n");
}

TEST(ProgressRange, YieldsEveryIndexInOrderThenOneSummaryLine) {
  std::ostringstream out;
  EXPECT_EQ(walk(ProgressRange(4, "d", out, false)), (std::vector<std::size_t>{0, 1, 2, 3}));
  const std::string shown = out.str();
  EXPECT_EQ(shown.rfind("d: 100%|##########| 4/4 [", 0), 0u) << shown;
  EXPECT_EQ(shown.find('\n'), shown.size() - 1) << shown;
  EXPECT_EQ(shown.find('\r'), std::string::npos);
}

TEST(ProgressRange, EmptyRangeYieldsNothingAndStillReports) {
  std::ostringstream out;
  EXPECT_TRUE(walk(ProgressRange(0, "d", out, false)).empty());
  EXPECT_EQ(out.str().rfind("d: 100%|##########| 0/0 [", 0), 0u) << out.str();
}

TEST(ProgressRange, EarlyExitReportsHowFarItGot) {
  std::ostringstream out;
  {
    ProgressRange range(10, "d", out, false);
    for (std::size_t i : range) {
      if (i == 2) break;
    }
    EXPECT_EQ(out.str(), "");
  }
  EXPECT_EQ(out.str().rfind("d:  20%|##        | 2/10 [", 0), 0u) << out.str();
}

TEST(ProgressRange, LiveModeRedrawsInPlaceAndEndsTheLine) {
  std::ostringstream out;
  walk(ProgressRange(3, "d", out, true));
  const std::string shown = out.str();
  EXPECT_EQ(shown.rfind("\rd:   0%|", 0), 0u) << shown;
  EXPECT_NE(shown.find("\rd: 100%|##########| 3/3 ["), std::string::npos) << shown;
  EXPECT_EQ(shown.back(), '\n');
}

TEST(ProgressRange, RangeNeverWalkedWritesNothing) {
  std::ostringstream out;
  { ProgressRange range(5, "d", out, false); }
  EXPECT_EQ(out.str(), "");
}

}  // namespace
}  // namespace tavrin
