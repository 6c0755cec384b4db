#include "tavrin/labeling/review.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>

#include "tavrin/core/errors.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/labeling/export.hpp"
#include "tavrin/labeling/results.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::labeling {
namespace {

using tavrin::testing::error_message;
using tavrin::testing::file_contents;
using tavrin::testing::TempDir;

Value line_of(const Value& id, const std::string& decision, const Value& predicted,
              const Value& checked, const Value& confidence, const Value& nearest = Value()) {
  Value d = {{"decision", decision},    {"score", 0.5},           {"nearest", nearest},
             {"runner_up", "shipping"}, {"runner_up_score", 0.4}, {"confidence", confidence}};
  Value line = Value::object();
  line["id"] = id;
  line["checked"] = {{"category", checked}};
  line["decisions"] = {{"category", d}};
  line["predicted"] = {{"category", predicted}};
  line["answer"] = "";
  line["attempts"] = 1;
  line["usage"] = nullptr;
  line["error"] = nullptr;
  return line;
}

struct Results {
  Results() {
    std::ofstream out(path);
    for (const Value& line : {
             line_of("001", "kept", "billing", "billing", 0.95),
             line_of("002", "replaced", "bill", "billing", 0.3, "billing"),
             line_of("003", "abstained", "xyz", nullptr, nullptr, "account"),
             line_of("004", "low_confidence", "account", nullptr, 0.5, "account"),
             line_of("005", "kept", "shipping", "shipping", 0.2),
         }) {
      out << line.dump() << '\n';
    }
    out << R"({"id":"006","checked":null,"answer":null,"attempts":3,"error":"HTTP status 503"})"
        << '\n';
  }
  TempDir dir;
  std::string path = dir / "results.jsonl";
};

std::vector<std::string> ids_of(const std::vector<ReviewItem>& items) {
  std::vector<std::string> ids;
  for (const ReviewItem& item : items) ids.push_back(item.id.get<std::string>());
  return ids;
}

TEST(ReviewQueue, PutsAbstentionsFirstThenChangesThenDoubtfulValuesLowestConfidenceFirst) {
  const Results results;
  EXPECT_EQ(ids_of(review_queue({results.path}, {})),
            (std::vector<std::string>{"003", "004", "002"}));
  const std::vector<ReviewItem> items = review_queue({results.path}, {.below = 0.5});
  EXPECT_EQ(ids_of(items), (std::vector<std::string>{"003", "004", "002", "005"}));
  EXPECT_EQ(items[0].runner_up, "account");   // the nearest label, as nothing was chosen
  EXPECT_EQ(items[2].runner_up, "shipping");  // the nearest was chosen: the runner-up
  EXPECT_EQ(ids_of(review_queue({results.path}, {.limit = 1})), std::vector<std::string>{"003"});
  EXPECT_TRUE(review_queue({results.path}, {.fields = {"other"}}).empty());
}

TEST(Review, ARoundTripWritesThePeoplesAnswersIntoTheResults) {
  const Results results;
  std::vector<ReviewItem> items = review_queue({results.path}, {});
  const std::string records = results.dir / "records.csv";
  std::ofstream(records) << "id,question,extra\n003,\"Where, is it\",1\n002,my bill,2\n";
  attach_texts(items, records, "id", {"question"});
  EXPECT_EQ(items[0].text, "Where, is it");
  EXPECT_EQ(items[1].text, "");  // 004 is not in the table
  const std::string review = results.dir / "review.csv";
  write_review(review, items);
  const frame::DataFrame written = frame::read_csv(review);
  EXPECT_EQ(written.columns(),
            (std::vector<std::string>{"id", "field", "text", "decision", "predicted", "checked",
                                      "runner_up", "confidence", "answer"}));
  EXPECT_EQ(written.size(), 3u);

  // A person answers two of the three (the CSV as a spreadsheet saves it).
  std::string filled = file_contents(review);
  filled.replace(filled.find("003,category,\"Where, is it\",abstained,xyz,,account,,"),
                 std::string("003,category,\"Where, is it\",abstained,xyz,,account,,").size(),
                 "003,category,\"Where, is it\",abstained,xyz,,account,,account");
  std::ofstream(review) << filled;
  std::ofstream(review, std::ios::app) << "002,category,my bill,replaced,bill,billing,shipping,0.3,"
                                          " shipping \n";
  // The original row of 002 has no answer; the appended one has.
  const std::vector<ReviewAnswer> answers = read_review_answers(review);
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[1].answer, "shipping");
  const Value labels = {{"category", {"billing", "shipping", "account"}}};
  std::vector<ResultLine> before;
  read_results({results.path}, [&](const ResultLine& line) { before.push_back(line); });
  const ReviewApplied applied = apply_review({results.path}, answers, labels);
  EXPECT_EQ(applied.answers, 2u);
  EXPECT_EQ(applied.files, 1u);

  std::vector<ResultLine> lines;
  read_results({results.path}, [&](const ResultLine& line) { lines.push_back(line); });
  ASSERT_EQ(lines.size(), 6u);
  const ResultLine& abstained = lines[2];
  EXPECT_EQ(abstained.checked["category"], "account");
  EXPECT_EQ(abstained.gold["category"], "account");
  EXPECT_EQ(abstained.decisions["category"]["decision"], "reviewed");
  EXPECT_EQ(abstained.decisions["category"]["decision_before"], "abstained");
  EXPECT_TRUE(abstained.decisions["category"]["checked_before"].is_null());
  EXPECT_EQ(lines[1].decisions["category"]["checked_before"], "billing");
  EXPECT_EQ(lines[1].gold["category"], "shipping");
  EXPECT_EQ(lines[0].to_json(), before[0].to_json());  // a line not answered stays as it was
  EXPECT_EQ(lines[5].to_json(), before[5].to_json());
  // Reviewed values leave the queue.
  EXPECT_EQ(ids_of(review_queue({results.path}, {})), std::vector<std::string>{"004"});
}

TEST(Review, AnAnswerThatCannotBeAppliedChangesNothing) {
  const Results results;
  const std::string before = file_contents(results.path);
  const Value labels = {{"category", {"billing", "shipping"}}};
  const auto message = [&](std::vector<ReviewAnswer> answers) {
    return error_message<ValueError>([&] { apply_review({results.path}, answers, labels); },
                                     "ValueError");
  };
  EXPECT_EQ(message({{"002", "category", "billing", 2}, {"999", "category", "billing", 3}}),
            "no results line holds id '999' with field 'category' (review line 3)");
  EXPECT_EQ(message({{"002", "category", "parcel", 2}}),
            "the answer \"parcel\" (review line 2) is no allowed label of field 'category'");
  EXPECT_NE(message({{"006", "category", "billing", 2}}).find("--retry-failed"), std::string::npos);
  EXPECT_EQ(file_contents(results.path), before);

  // A job still writing the file holds its lock.
  const int held = ::open(results.path.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  EXPECT_NE(message({{"002", "category", "billing", 2}}).find("is being written by a job"),
            std::string::npos);
  ::close(held);
  EXPECT_EQ(file_contents(results.path), before);

  const std::string twice = results.dir / "twice.csv";
  std::ofstream(twice) << "id,field,answer\n1,category,a\n1,category,b\n";
  EXPECT_EQ(
      error_message<ValueError>([&] { read_review_answers(twice); }, "ValueError"),
      "review '" + twice + "' line 3 answers id '1', field 'category' again (first on line 2)");
}

TEST(Export, JoinsTheResultsToTheTableByIdAsTextAndKeepsRecordsWithout) {
  const Results results;
  const std::string records = results.dir / "records.csv";
  // "001" stays "001": ids are joined as text, as the job wrote them.
  std::ofstream(records) << "id,question\n001,a\n002,b\n006,c\n010,d\n";
  const std::string out = results.dir / "labelled.csv";
  const ExportCounts counts = export_labelled({results.path}, records, out, {});
  EXPECT_EQ(counts.rows, 4u);
  EXPECT_EQ(counts.labelled, 3u);
  EXPECT_EQ(counts.failed, 1u);
  EXPECT_EQ(counts.without_result, 1u);
  EXPECT_EQ(counts.unmatched, 3u);  // 003, 004, 005
  EXPECT_EQ(file_contents(out),
            "id,question,category_checked,category_decision,category_confidence\n"
            "001,a,billing,kept,0.95\n"
            "002,b,billing,replaced,0.3\n"
            "006,c,,failed,\n"
            "010,d,,,\n");
  std::ofstream(records) << "id,category_checked\n001,x\n";
  EXPECT_EQ(error_message<ValueError>([&] { export_labelled({results.path}, records, out, {}); },
                                      "ValueError"),
            "the records already have a column 'category_checked'");
}

}  // namespace
}  // namespace tavrin::labeling
