// The HTML report in a real browser: Debian's chromium, headless, in a network namespace of
// its own so that any request the page made would fail, opens a report written from a results
// file with known counts. The test reads back, from the DOM the browser built, every number
// the charts draw and compares it with counts made here from the lines themselves, and fails
// on any console message of the page.
//
// Labelled `browser` alone: the offline `unit` set and the sanitizer presets leave it out. Where
// chromium is missing the test fails, naming what to install, rather than skipping.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tavrin/core/value.hpp"
#include "tavrin/labeling/evaluation.hpp"
#include "tavrin/labeling/html_report.hpp"
#include "tests/support/test_helpers.hpp"

namespace {

using tavrin::Value;
using tavrin::testing::file_contents;
using tavrin::testing::TempDir;

const std::vector<std::string> kFields = {"category", "priority"};
const std::vector<std::string> kLabels = {"refund", "billing", "shipping", "<b>login</b>", "other"};
constexpr int kRecords = 400;
constexpr int kSimilarityBins = 20;

// What the test counts itself, per field, from the lines it writes.
struct Expected {
  std::size_t gold = 0, right = 0, covered = 0;
  std::array<std::size_t, 10> bin_count{}, bin_right{};
  std::array<std::size_t, kSimilarityBins> similar_right{}, similar_wrong{};
  std::map<std::string, std::size_t> decisions;
};

struct Written {
  std::map<std::string, Expected> fields;
  std::size_t failed = 0;
  std::uint64_t prompt_tokens = 0;
};

// A deterministic run: every 37th record failed, some values abstained, some replaced with a
// similarity, confidences spread over [0, 1], a third of the values wrong.
Written write_results(const std::string& path) {
  Written w;
  std::ofstream out(path);
  for (int id = 0; id < kRecords; ++id) {
    Value gold = Value::object();
    for (std::size_t f = 0; f < kFields.size(); ++f) {
      gold[kFields[f]] = kLabels[(id * (f + 1)) % kLabels.size()];
    }
    if (id % 37 == 5) {
      out << Value({{"id", id},
                    {"checked", nullptr},
                    {"gold", gold},
                    {"attempts", 3},
                    {"error", "HTTP status 503"}})
                 .dump()
          << "\n";
      ++w.failed;
      for (const std::string& field : kFields) ++w.fields[field].gold;
      continue;
    }
    Value checked = Value::object(), decisions = Value::object(), predicted = Value::object();
    for (std::size_t f = 0; f < kFields.size(); ++f) {
      const std::string& field = kFields[f];
      Expected& e = w.fields[field];
      const int k = id * 7 + static_cast<int>(f) * 3;
      const bool wrong = k % 3 == 0;
      const std::string truth = gold[field];
      std::string decision = k % 5 == 0 ? "replaced" : "kept";
      Value value = wrong ? Value(kLabels[(id + 1) % kLabels.size()]) : Value(truth);
      if (value == truth && wrong) value = "other";
      if (k % 11 == 0) {
        decision = "abstained";
        value = nullptr;
      }
      const double confidence = static_cast<double>((k * 13) % 101) / 100;
      const double score = static_cast<double>((k * 17) % 100) / 100;
      Value d = {{"decision", decision}, {"score", score}, {"confidence", confidence}};
      checked[field] = value;
      decisions[field] = d;
      predicted[field] = value.is_null() ? Value("?") : value;
      const bool right = value.is_string() && value.get<std::string>() == truth;
      ++e.gold;
      e.right += right;
      e.covered += !value.is_null();
      ++e.decisions[decision];
      const auto bin = std::min<std::size_t>(9, static_cast<std::size_t>(confidence * 10));
      ++e.bin_count[bin];
      e.bin_right[bin] += right;
      if (decision == "replaced") {
        const auto s = std::min<std::size_t>(kSimilarityBins - 1,
                                             static_cast<std::size_t>(score * kSimilarityBins));
        ++(right ? e.similar_right : e.similar_wrong)[s];
      }
    }
    out << Value({{"id", id},
                  {"checked", checked},
                  {"decisions", decisions},
                  {"predicted", predicted},
                  {"gold", gold},
                  {"answer", "{}"},
                  {"attempts", 1},
                  {"usage", {{"prompt_tokens", 100}, {"completion_tokens", 9}}},
                  {"error", nullptr}})
               .dump()
        << "\n";
    w.prompt_tokens += 100;
  }
  return w;
}

// The data-* attributes of every element of the DOM whose tag opens with `open`, within the
// element that starts at `from` and ends at `until`.
std::vector<std::map<std::string, std::string>> elements(const std::string& dom,
                                                         const std::string& from,
                                                         const std::string& until,
                                                         const std::string& open) {
  const auto start = dom.find(from);
  EXPECT_NE(start, std::string::npos) << from;
  if (start == std::string::npos) return {};
  const std::string part = dom.substr(start, dom.find(until, start) - start);
  std::vector<std::map<std::string, std::string>> found;
  const std::regex tag("<" + open + "[^>]*>");
  const std::regex data("data-([a-z-]+)=\"([^\"]*)\"");
  for (auto t = std::sregex_iterator(part.begin(), part.end(), tag); t != std::sregex_iterator();
       ++t) {
    const std::string text = t->str();
    std::map<std::string, std::string> attributes;
    for (auto a = std::sregex_iterator(text.begin(), text.end(), data); a != std::sregex_iterator();
         ++a) {
      attributes[(*a)[1]] = (*a)[2];
    }
    found.push_back(std::move(attributes));
  }
  return found;
}

// Runs chromium on `page` with no network; its DOM to `dom`, its log to `log`.
int run_browser(const std::string& page, const std::string& dom, const std::string& log) {
  // As root the sandbox cannot start, and unshare needs no user namespace of its own.
  const bool root = ::geteuid() == 0;
  const std::string command =
      std::string("timeout 90 unshare --net") + (root ? "" : " --map-root-user") +
      " chromium --headless --no-sandbox --disable-gpu --no-first-run --dump-dom "
      "--enable-logging=stderr --v=0 'file://" +
      page + "' >'" + dom + "' 2>'" + log + "'";
  return std::system(command.c_str());
}

TEST(Browser, ShowsTheReportOfflineWithoutAConsoleErrorAndEveryChartHoldsTheCounts) {
  ASSERT_EQ(std::system("command -v chromium >/dev/null 2>&1"), 0)
      << "chromium is not installed: run scripts/install-deps (Debian package chromium)";
  const TempDir dir;
  const Written w = write_results(dir / "results.jsonl");
  const auto evaluation = tavrin::labeling::evaluate_results({dir / "results.jsonl"},
                                                             {.thresholds = {{"category", 0.5}}});
  std::ofstream(dir / "report.html") << tavrin::labeling::html_report(evaluation);
  ASSERT_EQ(run_browser(dir / "report.html", dir / "dom.html", dir / "log.txt"), 0)
      << file_contents(dir / "log.txt");

  // Chromium logs its own start-up in a container (no D-Bus, no GPU, the sandbox off) at
  // ERROR and WARNING; those lines never name the page. A message of the page is logged as
  // "CONSOLE", a script's failure says "Uncaught", a blocked or failed load "ERR_" with the
  // page's URL, and the page's policy refuses any load with a console message of its own.
  std::istringstream log(file_contents(dir / "log.txt"));
  for (std::string line; std::getline(log, line);) {
    const bool about_page = line.find("file://") != std::string::npos;
    EXPECT_FALSE(line.find(":CONSOLE") != std::string::npos ||
                 line.find("Uncaught") != std::string::npos ||
                 (line.find("ERR_") != std::string::npos && about_page))
        << line;
  }

  const std::string dom = file_contents(dir / "dom.html");
  ASSERT_NE(dom.find("</html>"), std::string::npos) << "no DOM dumped";
  // Markup in a label stays text.
  EXPECT_EQ(dom.find("<b>login</b>"), std::string::npos);
  // Found by hand: std::regex recurses once a character and would overflow on the JSON.
  const std::string block = "id=\"tavrin-report-data\">";
  const auto json = dom.find(block);
  ASSERT_NE(json, std::string::npos);
  const auto json_end = dom.find("</script>", json);
  const Value data = Value::parse(dom.substr(json + block.size(), json_end - json - block.size()));
  EXPECT_EQ(data["records"], kRecords);
  EXPECT_EQ(data["failed"], w.failed);
  EXPECT_EQ(data["prompt_tokens"], w.prompt_tokens);

  for (std::size_t f = 0; f < kFields.size(); ++f) {
    const std::string& field = kFields[f];
    const Expected& e = w.fields.at(field);
    SCOPED_TRACE(field);
    const Value& figures = data["fields"][f];
    EXPECT_EQ(figures["gold"], e.gold);
    EXPECT_EQ(figures["right"], e.right);
    EXPECT_EQ(figures["covered"], e.covered);

    const std::string field_attr = "data-field=\"" + field + "\"";
    const auto bins = elements(dom, "<figure data-chart=\"reliability\" " + field_attr, "</figure>",
                               "rect class=\"bin\"");
    ASSERT_EQ(bins.size(), 10u);
    for (std::size_t b = 0; b < 10; ++b) {
      EXPECT_EQ(std::stoul(bins[b].at("count")), e.bin_count[b]) << "bin " << b;
      EXPECT_EQ(std::stoul(bins[b].at("right")), e.bin_right[b]) << "bin " << b;
      if (e.bin_count[b] > 0) {
        EXPECT_NEAR(std::stod(bins[b].at("accuracy")),
                    static_cast<double>(e.bin_right[b]) / static_cast<double>(e.bin_count[b]),
                    1e-6);
      }
    }
    const auto bars = elements(dom, "<figure data-chart=\"similarity\" " + field_attr, "</figure>",
                               "rect class=\"bar\"");
    ASSERT_EQ(bars.size(), 2u * kSimilarityBins);
    for (std::size_t b = 0; b < kSimilarityBins; ++b) {
      EXPECT_EQ(std::stoul(bars[2 * b].at("count")), e.similar_right[b]) << "bar " << b;
      EXPECT_EQ(std::stoul(bars[2 * b + 1].at("count")), e.similar_wrong[b]) << "bar " << b;
    }
    const auto points = elements(dom, "<figure data-chart=\"risk-coverage\" " + field_attr,
                                 "</figure>", "circle class=\"point\"");
    ASSERT_FALSE(points.empty());
    std::size_t binned = 0, binned_right = 0;
    for (std::size_t b = 0; b < 10; ++b) binned += e.bin_count[b], binned_right += e.bin_right[b];
    // The last point keeps every value with a confidence and a true label.
    EXPECT_EQ(std::stoul(points.back().at("count")), binned);
    EXPECT_NEAR(std::stod(points.back().at("accuracy")),
                static_cast<double>(binned_right) / static_cast<double>(binned), 1e-6);
    const auto threshold = elements(dom, "<figure data-chart=\"risk-coverage\" " + field_attr,
                                    "</figure>", "line class=\"threshold\"");
    EXPECT_EQ(threshold.size(), field == "category" ? 1u : 0u);

    const auto cells = elements(dom, "<table data-chart=\"confusion\" " + field_attr, "</table>",
                                "td class=\"cell\"");
    std::size_t total = 0, diagonal = 0, null_column = 0;
    for (const auto& cell : cells) {
      const std::size_t count = std::stoul(cell.at("count"));
      total += count;
      if (cell.count("checked-null") != 0) null_column += count;
      if (cell.count("checked") != 0 && cell.at("checked") == cell.at("true")) diagonal += count;
    }
    EXPECT_EQ(total, e.gold);
    EXPECT_EQ(diagonal, e.right);
    EXPECT_EQ(null_column, e.gold - e.covered);

    const auto decisions = elements(dom, "<table data-chart=\"decisions\" " + field_attr,
                                    "</table>", "td class=\"decision\"");
    for (const auto& cell : decisions) {
      const auto expected = e.decisions.find(cell.at("decision"));
      EXPECT_EQ(std::stoul(cell.at("count")), expected == e.decisions.end() ? 0 : expected->second)
          << cell.at("decision");
    }
  }
}

}  // namespace
