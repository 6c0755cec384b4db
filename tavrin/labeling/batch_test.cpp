#include "tavrin/labeling/batch.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "tavrin/core/errors.hpp"
#include "tavrin/labeling/budget.hpp"
#include "tavrin/labeling/report.hpp"
#include "tavrin/vectorstore/embeddings.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"
#include "tests/support/openai_server.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::labeling {
namespace {

using tavrin::testing::expect_error;
using tavrin::testing::OpenAiServer;
using tavrin::testing::TempDir;

TEST(BatchAddress, TheBaseAndPathOfAChatAddress) {
  const BatchAddress openai = batch_address("https://api.openai.com/v1/chat/completions");
  EXPECT_EQ(openai.base, "https://api.openai.com/v1");
  EXPECT_EQ(openai.chat_path, "/v1/chat/completions");
  const BatchAddress bare = batch_address("http://127.0.0.1:8000/chat/completions");
  EXPECT_EQ(bare.base, "http://127.0.0.1:8000");
  EXPECT_EQ(bare.chat_path, "/chat/completions");
  expect_error<ValueError>([] { batch_address("https://host/v1/completions"); },
                           "the Batch API needs a chat address ending with \"/chat/completions\", "
                           "not \"https://host/v1/completions\"");
  const ChatEndpoint endpoint{.url = "https://host/v1/chat/completions", .key = "", .model = ""};
  expect_error<ValueError>([&] { require_batch_settings({.max_requests = 50001}, endpoint); },
                           "a batch takes 1 to 50000 requests, not 50001");
  expect_error<ValueError>([] { parse_batch_fallback("later"); },
                           "batch fallback \"later\" is none of resubmit, online");
}

std::shared_ptr<const vectorstore::VectorStore> label_store(
    const std::vector<std::string>& labels) {
  auto model = std::make_shared<vectorstore::HashingEmbeddings>();
  std::vector<vectorstore::FAISS::TextEmbedding> pairs;
  const auto vectors = model->embed_documents(labels);
  for (std::size_t i = 0; i < labels.size(); ++i) pairs.emplace_back(labels[i], vectors[i]);
  return std::make_shared<vectorstore::FAISS>(vectorstore::FAISS::from_embeddings(
      pairs, model, std::vector<Value>(labels.size(), Value::object())));
}

// Records labelled through the stand-in, which answers each prompt with the prompt itself:
// the record's text, a JSON answer (some of them no label, to be replaced).
struct BatchJob {
  explicit BatchJob(OpenAiServer::Options options = {}) : server(std::move(options)) {
    const std::vector<std::string> kinds = {"售后服务", "物流配送", "退款", "发票"};
    prompt.fields = {"类别"};
    prompt.labels = {{"类别", kinds}};
    prompt.examples = 0;
    prompt.prompt_template = PromptTemplate("{record}", "test");
    stores = {{"类别", label_store(kinds)}};
    Value ids = Value::array(), texts = Value::array();
    for (int i = 1; i <= kRecords; ++i) {
      ids.push_back(i);
      texts.push_back(std::string(R"({"类别": ")") + (i % 3 == 0 ? "退款了" : "发票") + R"("} 第)" +
                      std::to_string(i) + "条");
    }
    records = frame::DataFrame(Value{{"id", ids}, {"text", texts}});
  }

  ChatEndpoint endpoint() const {
    return {.url = server.url(), .key = "sk-test", .model = "stand-in"};
  }

  JobSettings settings(const std::string& out) const {
    return {.text_fields = {"text"}, .out_path = out, .in_flight = 4};
  }

  JobTally batch_run(BatchSettings batch, const std::string& out,
                     std::shared_ptr<TokenBudget> budget = nullptr) const {
    batch.poll_interval = std::chrono::milliseconds(5);
    batch.gather = std::chrono::milliseconds(50);
    JobSettings job = settings(out);
    job.budget = std::move(budget);
    return run_batch_job_blocking(records, Prompter(prompt, nullptr, stores), stores, endpoint(),
                                  {}, job, std::move(batch));
  }

  JobTally online_run(const std::string& out) const {
    return run_job_blocking(records, Prompter(prompt, nullptr, stores), stores, endpoint(), {},
                            settings(out));
  }

  // The result lines by id, without what differs between two runs of the same answers.
  static std::map<int, Value> lines(const std::string& path) {
    std::map<int, Value> by_id;
    std::ifstream in(path);
    for (std::string text; std::getline(in, text);) {
      const Value line = Value::parse(text);
      by_id[line.at("id").get<int>()] = line;
    }
    return by_id;
  }

  std::size_t chat_requests() const {
    std::size_t chats = 0;
    for (const auto& request : server.received()) {
      chats += request.head.starts_with("POST /v1/chat/completions ");
    }
    return chats;
  }

  static constexpr int kRecords = 30;
  OpenAiServer server;
  PromptSettings prompt;
  StoreMap stores;
  frame::DataFrame records;
  TempDir dir;
};

TEST(BatchJob, GivesTheOnlineRunsResultsInFullFilesAndARunAgainSubmitsNothing) {
  BatchJob job;
  const JobTally online = job.online_run(job.dir / "online.jsonl");
  const std::string out = job.dir / "batch.jsonl";
  const JobTally tally = job.batch_run({.max_requests = 12}, out);
  EXPECT_EQ(tally.done, 30u);
  EXPECT_EQ(tally.failed, 0u);
  ASSERT_TRUE(tally.batch);
  EXPECT_EQ(tally.batch->created, 3u);  // 12 + 12 + 6
  EXPECT_EQ(tally.batch->submitted, 30u);
  EXPECT_EQ(job.server.batches_created(), 3u);
  EXPECT_EQ(job.chat_requests(), 30u);  // the online run's only
  EXPECT_EQ(job.server.batch_custom_ids(0).size(), 12u);
  EXPECT_EQ(job.server.batch_custom_ids(2).size(), 6u);
  // The same answers, the same lines; the tokens billed at the batch rate are all of them.
  EXPECT_EQ(BatchJob::lines(out), BatchJob::lines(job.dir / "online.jsonl"));
  EXPECT_EQ(tally.batch->prompt_tokens, online.prompt_tokens);
  EXPECT_EQ(tally.batch->completion_tokens, online.completion_tokens);
  EXPECT_EQ(tally.prompt_tokens, online.prompt_tokens);
  EXPECT_EQ(tally.fields.at("类别").replaced, online.fields.at("类别").replaced);
  const std::vector<std::string> summary = summary_lines(tally, out);
  EXPECT_NE(std::find(summary.begin(), summary.end(),
                      "  batch     3 batches created, 0 of an earlier run waited for; 30 requests "
                      "submitted; tokens at the batch rate " +
                          std::to_string(online.prompt_tokens) + " prompt + " +
                          std::to_string(online.completion_tokens) + " completion"),
            summary.end());

  const JobTally again = job.batch_run({.max_requests = 12}, out);
  EXPECT_EQ(again.resumed, 30u);
  EXPECT_EQ(again.batch->submitted, 0u);
  EXPECT_EQ(job.server.batches_created(), 3u);
  EXPECT_EQ(job.server.files_uploaded(), 3u);
}

TEST(BatchJob, AnExpiredBatchKeepsItsAnswersAndItsOtherRecordsGoAgainOrOnline) {
  {
    BatchJob job({.batch_expire_after = 8});
    const std::string out = job.dir / "r.jsonl";
    const JobTally tally = job.batch_run({}, out);
    EXPECT_EQ(tally.done, 30u);
    EXPECT_EQ(tally.failed, 0u);
    EXPECT_EQ(tally.batch->created, 2u);
    EXPECT_EQ(tally.batch->submitted, 52u);
    EXPECT_EQ(tally.batch->again, 22u);
    // The second batch holds exactly the records the first left, none of its 8 answers.
    const std::vector<std::string> first = job.server.batch_custom_ids(0);
    const std::vector<std::string> second = job.server.batch_custom_ids(1);
    EXPECT_EQ(second.size(), 22u);
    for (const std::string& id : second) {
      EXPECT_EQ(std::count(first.begin(), first.begin() + 8, id), 0) << id;
    }
    EXPECT_EQ(BatchJob::lines(out).size(), 30u);
  }
  BatchJob job({.batch_expire_after = 8});
  const JobTally tally = job.batch_run({.fallback = BatchFallback::online}, job.dir / "r.jsonl");
  EXPECT_EQ(tally.done, 30u);
  EXPECT_EQ(tally.batch->created, 1u);
  EXPECT_EQ(tally.batch->online, 22u);
  EXPECT_EQ(job.chat_requests(), 22u);
  // Only the batch's answers are billed at its rate.
  EXPECT_LT(tally.batch->prompt_tokens, tally.prompt_tokens);
}

TEST(BatchJob, AFailedLineIsAFailedRecordAndTheBudgetBoundsTheBatch) {
  BatchJob job({.batch_failed_ids = {"4", "17"}});
  const std::string out = job.dir / "r.jsonl";
  const JobTally tally = job.batch_run({}, out);
  EXPECT_EQ(tally.done, 30u);
  EXPECT_EQ(tally.failed, 2u);
  const std::map<int, Value> lines = BatchJob::lines(out);
  EXPECT_EQ(lines.at(4)["error"], "HTTP status 400 (batch): stand-in: this request failed");
  EXPECT_TRUE(lines.at(5)["error"].is_null());

  // Each request bounded at its prompt's bytes and a cap of 64: the batch holds only the
  // requests whose bounds fit, and nothing is submitted after it.
  BatchJob budgeted;
  auto budget = std::make_shared<TokenBudget>(TokenBudget::Settings{1000, 64, 0});
  const JobTally spent = budgeted.batch_run({}, budgeted.dir / "r.jsonl", budget);
  ASSERT_TRUE(spent.budget);
  EXPECT_TRUE(spent.budget->spent);
  EXPECT_LE(spent.budget->used, 1000u);
  EXPECT_GT(spent.done, 0u);
  EXPECT_LE(spent.done, 1000u / 64);
  EXPECT_EQ(budgeted.server.batches_created(), 1u);
  EXPECT_EQ(budgeted.server.batch_custom_ids(0).size(), spent.done);
}

}  // namespace
}  // namespace tavrin::labeling
