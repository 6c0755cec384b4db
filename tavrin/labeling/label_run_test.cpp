#include "tavrin/labeling/label_run.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tavrin/brollin.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/labeling/budget.hpp"
#include "tavrin/labeling/stores.hpp"
#include "tavrin/vectorstore/embeddings.hpp"
#include "tests/support/openai_server.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::labeling {
namespace {

using tavrin::testing::OpenAiServer;
using tavrin::testing::TempDir;

void spill(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// The result lines of `path`, ordered by id: records finish in any order.
std::vector<Value> lines_by_id(const std::string& path) {
  std::vector<Value> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(Value::parse(line));
  std::sort(lines.begin(), lines.end(),
            [](const Value& a, const Value& b) { return a["id"].dump() < b["id"].dump(); });
  return lines;
}

// Stores built as `tavrin build` builds them, records whose texts are the answers (the
// stand-in echoes the prompt, which is the record alone), and a run of them.
class LabelTable : public ::testing::Test {
 protected:
  void SetUp() override {
    spill(dir / "labels.json", R"({"category": ["退款", "物流配送", "售后服务"]})");
    const frame::DataFrame train(Value{{"question", {"退款没到账", "快递没到", "屏幕碎了"}},
                                       {"category", {"退款", "物流配送", "售后服务"}}});
    brollin::data2faiss(read_labels(dir / "labels.json"), train, {"question"}, {"category"},
                        {"category"}, train_store_dir(dir / "stores").string(),
                        field_stores_dir(dir / "stores").string(),
                        std::make_shared<vectorstore::HashingEmbeddings>());
    write_stores_manifest(dir / "stores", {{"question"}});
    spill(dir / "records.csv",
          "id,question\n"
          "r1,\"{\"\"category\"\": \"\"退款\"\"}\"\n"
          "r2,\"{\"\"category\"\": \"\"物流\"\"}\"\n"
          "r3,\"{\"\"category\"\": \"\"售后服务\"\"}\"\n");
    spill(dir / "prompt.txt", "{record}");
    run.labels = dir / "labels.json";
    run.stores = dir / "stores";
    run.out = dir / "results.jsonl";
    run.prompt = dir / "prompt.txt";
    run.examples = 2;
    run.in_flight = 2;
    run.endpoint = {.url = server.url(), .key = "sk-test", .model = "stand-in"};
    run.client.retry.max_retries = 0;
  }

  TempDir dir;
  OpenAiServer server;
  LabelRun run;
};

TEST_F(LabelTable, ATableAndItsCsvFileGiveTheSameLinesAndARunAgainResumes) {
  std::size_t progressed = 0;
  const LabelOutcome from_file =
      label_table(dir / "records.csv", run, [&](const JobTally&) { ++progressed; });
  EXPECT_EQ(from_file.tally.done, 3u);
  EXPECT_EQ(from_file.tally.failed, 0u);
  EXPECT_GE(progressed, 4u);  // once before the first request, then after each record
  EXPECT_EQ(describe_language(from_file), "zh (detected)");

  LabelRun from_table = run;
  from_table.out = dir / "table.jsonl";
  from_table.prompt_language = "zh";
  const LabelOutcome outcome = label_table(frame::read_csv(dir / "records.csv"), from_table);
  EXPECT_EQ(describe_language(outcome, "--prompt-language"), "zh (--prompt-language)");

  const std::vector<Value> lines = lines_by_id(run.out);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines, lines_by_id(from_table.out));
  EXPECT_EQ(lines[1]["checked"]["category"], "物流配送");
  EXPECT_EQ(lines[1]["decisions"]["category"]["decision"], "replaced");

  const LabelOutcome again = label_table(dir / "records.csv", run);
  EXPECT_EQ(again.tally.resumed, 3u);
  EXPECT_EQ(server.requests(), 6u);
}

TEST_F(LabelTable, ABadSettingIsNamedBeforeAnythingIsSentOrWritten) {
  spill(dir / "bad-prompt.txt", "问题：{question}");
  const struct {
    std::function<void(LabelRun&)> change;
    std::string message;
  } cases[] = {
      {[](LabelRun& r) { r.fields = {"priority"}; },
       run.labels + " has no labels for field \"priority\""},
      {[](LabelRun& r) { r.shard = {.index = 2, .count = 2}; }, "shard 2/2 does not exist"},
      {[](LabelRun& r) {
         r.text_fields = {"id", "question"};
       },
       "the stores in '" + run.stores +
           "' were built on the text fields [\"question\"], not [\"id\",\"question\"]: give the "
           "same text fields, or build the stores again"},
      {[](LabelRun& r) { r.prompt_language = "fr"; }, "prompt_language must be zh or en, not 'fr'"},
      {[&](LabelRun& r) { r.prompt = dir / "bad-prompt.txt"; },
       "prompt template \"" + dir / "bad-prompt.txt" +
           "\" has the unknown placeholder {question}; the known ones are {fields}, {labels}, "
           "{label_lists}, {nearest_labels}, {examples} and {record} (write {{ and }} for "
           "braces)"},
      {[&](LabelRun& r) { r.calibration = dir / "none.json"; },
       "calibration \"" + dir / "none.json" + "\" cannot be read: No such file or directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    LabelRun bad = run;
    c.change(bad);
    tavrin::testing::expect_error<ValueError>([&] { label_table(dir / "records.csv", bad); },
                                              c.message);
  }
  EXPECT_EQ(server.requests(), 0u);
  EXPECT_FALSE(std::filesystem::exists(run.out));
  EXPECT_FALSE(std::filesystem::exists(run.out + ".run.json"));
}

TEST_F(LabelTable, AJobThatEndsEarlyCarriesItsTallyAndItsCause) {
  server.script({{.status = 404}, {.status = 404}});
  run.in_flight = 1;
  run.max_failures = 2;
  try {
    label_table(dir / "records.csv", run);
    ADD_FAILURE() << "the job did not end early";
  } catch (const LabelRunEnded& e) {
    EXPECT_EQ(e.outcome().tally.done, 2u);
    EXPECT_EQ(e.outcome().tally.failed, 2u);
    EXPECT_EQ(e.signal_number(), 0);
    EXPECT_THROW(std::rethrow_exception(e.cause()), JobStopped);
  }
  EXPECT_EQ(server.requests(), 2u);
}

}  // namespace
}  // namespace tavrin::labeling

namespace tavrin::labeling {
namespace {

TEST_F(LabelTable, ADryRunBuildsThePromptsOfWhatIsLeftAndSendsNothing) {
  run.endpoint.max_completion_tokens = 20;
  const DryRun before = dry_run(dir / "records.csv", run, 2);
  EXPECT_EQ(before.records, 3u);
  ASSERT_EQ(before.prompts.size(), 2u);
  EXPECT_EQ(before.prompts[0], R"({"category": "退款"})");  // the template is the record alone
  EXPECT_EQ(before.token_ratio, 0);
  // Each prompt's estimate and the messages' overhead.
  std::uint64_t estimate = 0;
  for (const char* prompt :
       {R"({"category": "退款"})", R"({"category": "物流"})", R"({"category": "售后服务"})"}) {
    estimate += estimate_prompt_tokens(prompt) + kMessageOverheadTokens;
  }
  EXPECT_EQ(before.prompt_tokens, estimate);
  EXPECT_EQ(before.completion_bound, 60u);
  EXPECT_EQ(server.requests(), 0u);
  EXPECT_FALSE(std::filesystem::exists(run.out));

  // After a run of its first shard's records, only the rest, at the ratio the run found.
  LabelRun half = run;
  half.shard = {0, 2};
  label_table(dir / "records.csv", half);
  const DryRun after = dry_run(dir / "records.csv", run, 5);
  EXPECT_EQ(after.records, 1u);  // r2: r1 and r3 are done
  EXPECT_EQ(after.prompts, std::vector<std::string>{R"({"category": "物流"})"});
  EXPECT_GT(after.token_ratio, 1);  // the stand-in counts a token a character
  EXPECT_EQ(after.prompt_tokens,
            static_cast<std::uint64_t>(
                std::ceil(static_cast<double>(estimate_prompt_tokens(R"({"category": "物流"})") +
                                              kMessageOverheadTokens) *
                          after.token_ratio)));
}

}  // namespace
}  // namespace tavrin::labeling
