#include "tavrin/labeling/html_report.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "tests/support/test_helpers.hpp"

namespace tavrin::labeling {
namespace {

using tavrin::testing::TempDir;

std::size_t occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A run whose label, id and answer carry markup, and a label that would end the JSON block.
Evaluation hostile_run(const TempDir& dir) {
  std::ofstream(dir / "r.jsonl")
      << R"({"id":"<i>1</i>","checked":{"f":"<script>alert(1)</script>"},)"
         R"("decisions":{"f":{"decision":"replaced","score":0.4,"confidence":0.9}},)"
         R"("predicted":{"f":"x\" onload=\"y"},"gold":{"f":"</script><!--"},"error":null})"
      << "\n";
  return evaluate_results({dir / "r.jsonl"}, {.thresholds = {{"f", 0.5}}});
}

TEST(HtmlReport, EscapesEveryTextOfTheDataAndNeverEndsItsJsonEarly) {
  const TempDir dir;
  const std::string page = html_report(hostile_run(dir), {.title = "a & <b>"});
  EXPECT_EQ(page.find("<script>alert"), std::string::npos);
  EXPECT_EQ(page.find("<i>1</i>"), std::string::npos);
  EXPECT_EQ(page.find("onload=\""), std::string::npos);
  EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(page.find("<title>a &amp; &lt;b&gt;</title>"), std::string::npos);
  // The only "</script>" closes the data block, which is the page's only script.
  EXPECT_EQ(occurrences(page, "</script>"), 1u);
  EXPECT_EQ(occurrences(page, "<script"), 1u);
  const auto open = page.find("<script type=\"application/json\" id=\"tavrin-report-data\">");
  ASSERT_NE(open, std::string::npos);
  const auto start = page.find('>', open) + 1;
  const Value data = Value::parse(page.substr(start, page.find("</script>") - start));
  EXPECT_EQ(data["fields"][0]["confident_errors"][0]["truth"], "</script><!--");
}

TEST(HtmlReport, LoadsNothingAndDrawsEveryChartWithItsNumbers) {
  const TempDir dir;
  const Evaluation e = hostile_run(dir);
  const std::string page = html_report(e);
  for (const char* outside : {"src=", "href=", "@import", "url(", "<link", "<img", "<iframe"}) {
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;
  }
  // Every "http" is the SVG namespace, which names, never loads.
  EXPECT_EQ(occurrences(page, "http://") + occurrences(page, "https://"),
            occurrences(page, "xmlns=\"http://www.w3.org/2000/svg\""));
  EXPECT_EQ(occurrences(page, "<rect class=\"bin\""), 10u);
  EXPECT_EQ(occurrences(page, "<rect class=\"bar\""), 2 * 20u);
  EXPECT_EQ(occurrences(page, "class=\"threshold\""), 1u);
  const std::regex bin("<rect class=\"bin\" data-lower=\"0.900000\"[^>]*data-count=\"(\\d+)\"");
  std::smatch found;
  ASSERT_TRUE(std::regex_search(page, found, bin));
  EXPECT_EQ(found[1], "1");
  // The wrong replaced value, at similarity 0.4, is in bin 8 of 20.
  EXPECT_NE(page.find("data-series=\"wrong\" data-lower=\"0.400000\" data-upper=\"0.450000\" "
                      "data-count=\"1\""),
            std::string::npos);
}

}  // namespace
}  // namespace tavrin::labeling
