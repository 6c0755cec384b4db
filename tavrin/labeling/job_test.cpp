#include "tavrin/labeling/job.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "tavrin/core/errors.hpp"
#include "tavrin/frame/csv_stream.hpp"
#include "tavrin/labeling/budget.hpp"
#include "tavrin/labeling/run_settings.hpp"
#include "tavrin/olvane.hpp"
#include "tavrin/openai/embeddings.hpp"
#include "tavrin/palisk.hpp"
#include "tavrin/vectorstore/embeddings.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"
#include "tests/support/loopback_server.hpp"
#include "tests/support/openai_server.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::labeling {
namespace {

namespace asio = boost::asio;
using tavrin::testing::expect_error;
using tavrin::testing::LoopbackServer;
using tavrin::testing::OpenAiServer;
using tavrin::testing::Reply;
using tavrin::testing::TempDir;

std::shared_ptr<const vectorstore::VectorStore> label_store(
    const std::vector<std::string>& labels,
    std::shared_ptr<vectorstore::Embeddings> model =
        std::make_shared<vectorstore::HashingEmbeddings>(),
    std::vector<Value> metadatas = {}) {
  std::vector<vectorstore::FAISS::TextEmbedding> pairs;
  const auto vectors = model->embed_documents(labels);
  for (std::size_t i = 0; i < labels.size(); ++i) pairs.emplace_back(labels[i], vectors[i]);
  if (metadatas.empty()) metadatas.assign(labels.size(), Value::object());
  return std::make_shared<vectorstore::FAISS>(
      vectorstore::FAISS::from_embeddings(pairs, model, std::move(metadatas)));
}

std::string chat_reply(const std::string& answer) {
  const Value body = {{"choices", {{{"message", {{"role", "assistant"}, {"content", answer}}}}}},
                      {"usage", {{"prompt_tokens", 10}, {"completion_tokens", 3}}}};
  return tavrin::testing::ok_json(body.dump());
}

// Answers each record by the marker its text carries ("r1", "r2", ...).
class ModelServer {
 public:
  explicit ModelServer(std::map<std::string, std::string> replies,
                       std::chrono::milliseconds delay = {})
      : server_([replies = std::move(replies), delay](const std::string& request) {
          std::this_thread::sleep_for(delay);
          for (const auto& [marker, bytes] : replies) {
            if (request.find("记录：" + marker + "\\n") != std::string::npos) return Reply{bytes};
          }
          return Reply{tavrin::testing::reply_with("404 Not Found", "{}")};
        }) {}

  Model model() const {
    return [url = server_.url("/v1/chat/completions")](
               ModelRequest request) -> boost::asio::awaitable<ModelReply> {
      const Value reply = co_await palisk::chat(std::move(request.prompt), url, "sk-test");
      co_return ModelReply{reply["choices"][0]["message"]["content"].get<std::string>(),
                           reply.value("usage", Value()), 1};
    };
  }
  std::size_t requests() const { return server_.requests().size(); }

 private:
  LoopbackServer server_;
};

struct Fixture {
  Fixture() {
    settings.fields = {"类别", "优先级"};
    settings.labels = {{"类别", {"售后服务", "物流配送", "退款"}}, {"优先级", {"高", "中", "低"}}};
    settings.examples = 0;
    stores = {{"类别", label_store({"售后服务", "物流配送", "退款"})},
              {"优先级", label_store({"高", "中", "低"})}};
  }

  JobTally run(const frame::DataFrame& records, const Model& model, JobSettings job) const {
    job.text_fields = {"text"};
    job.out_path = out;
    return palisk::run_blocking(
        run_job(records, Prompter(settings, nullptr, stores), stores, model, job));
  }

  JobTally run(const std::string& records_csv, const Model& model, JobSettings job) const {
    job.text_fields = {"text"};
    job.out_path = out;
    return palisk::run_blocking(run_job(frame::CsvStream(records_csv),
                                        Prompter(settings, nullptr, stores), stores, model, job));
  }

  std::vector<Value> lines() const {
    std::vector<Value> out_lines;
    std::ifstream in(out);
    for (std::string line; std::getline(in, line);) out_lines.push_back(Value::parse(line));
    return out_lines;
  }

  TempDir dir;
  std::string out = dir / "results.jsonl";
  PromptSettings settings;
  StoreMap stores;
};

const frame::DataFrame kRecords(Value{
    {"id", {1, 2, 3, 4, 5, 6}},
    {"text", {"r1", "r2", "r3", "r4", "r5", "r6"}},
    {"类别", {"退款", "售后服务", "物流配送", "退款", "售后服务", "退款"}},
    {"优先级", {"高", "中", "低", "高", "中", "低"}}});

std::map<std::string, std::string> kReplies = {
    // The record quoted before the answer: the answer is the mapping with more target fields.
    {"r1", chat_reply("订单 {\"类别\": \"物流配送\"}:\n```json\n{\"类别\": \"退款\", \"优先级\": "
                      "\"高\"}\n```")},
    {"r2", chat_reply("好的：{'类别': '售后-服务', '优先级': '中'} 以上。")},
    {"r3", chat_reply("I cannot tell.")},
    {"r4", chat_reply("{\"类别\": \"退款\"}")},
    {"r5", tavrin::testing::reply_with("503 Service Unavailable", "{\"error\":1}")},
    {"r6",
     chat_reply("<think>{\"类别\": \"售后服务\"}</think>{\"类别\": \"退款\", \"优先级\": \"低\"}")},
};

TEST(RunJob, EachRecordGetsOneLineWithItsDecisionsOrItsError) {
  Fixture f;
  const ModelServer server(kReplies);
  const JobTally tally = f.run(kRecords, server.model(), {});
  EXPECT_EQ(server.requests(), 6u);
  EXPECT_EQ(tally.total, 6u);
  EXPECT_EQ(tally.done, 6u);
  EXPECT_EQ(tally.failed, 2u);
  EXPECT_EQ(tally.prompt_tokens, 50u);  // the five answered records
  std::map<int, Value> by_id;
  for (const Value& line : f.lines()) by_id[line["id"].get<int>()] = line;
  ASSERT_EQ(by_id.size(), 6u);
  EXPECT_EQ(by_id[1]["checked"].dump(), R"({"类别":"退款","优先级":"高"})");
  EXPECT_EQ(by_id[2]["checked"].dump(), R"({"类别":"售后服务","优先级":"中"})");
  EXPECT_EQ(by_id[2]["decisions"]["类别"]["decision"], "replaced");
  EXPECT_EQ(by_id[2]["predicted"]["类别"], "售后-服务");
  EXPECT_EQ(by_id[3]["error"],
            "the answer holds no JSON object or Python mapping: \"I cannot tell.\"");
  EXPECT_EQ(by_id[3]["answer"], "I cannot tell.");
  EXPECT_EQ(by_id[4]["decisions"]["优先级"]["decision"], "missing");
  EXPECT_TRUE(by_id[4]["error"].is_null());
  EXPECT_NE(by_id[5]["error"].get<std::string>().find("HTTP status 503"), std::string::npos);
  EXPECT_TRUE(by_id[5]["checked"].is_null());
  EXPECT_EQ(by_id[6]["checked"]["类别"], "退款");
  EXPECT_EQ(by_id[6]["gold"].dump(), R"({"类别":"退款","优先级":"低"})");

  const FieldTally& category = tally.fields.at("类别");
  EXPECT_EQ(category.gold, 6u);
  EXPECT_EQ(category.gold_failed, 2u);      // records 3 and 5
  EXPECT_EQ(category.predicted_right, 3u);  // 2 said "售后-服务"
  EXPECT_EQ(category.checked_right, 4u);
  EXPECT_EQ(tally.fields.at("优先级").missing, 1u);
}

TEST(RunJob, ARunAgainDoesOnlyWhatIsLeftAndRetriesFailuresOnlyWhenAsked) {
  Fixture f;
  const ModelServer server(kReplies);
  f.run(kRecords, server.model(), {});
  const JobTally again = f.run(kRecords, server.model(), {});
  EXPECT_EQ(server.requests(), 6u);
  EXPECT_EQ(again.resumed, 6u);
  EXPECT_EQ(again.done, 6u);
  EXPECT_EQ(again.failed, 2u);
  EXPECT_EQ(again.fields.at("类别").checked_right, 4u);  // the tally describes the file

  JobSettings retry;
  retry.retry_failed = true;
  const JobTally retried = f.run(kRecords, server.model(), retry);
  EXPECT_EQ(server.requests(), 8u);  // records 3 and 5 again
  EXPECT_EQ(retried.resumed, 4u);
  std::multiset<int> ids;
  for (const Value& line : f.lines()) ids.insert(line["id"].get<int>());
  EXPECT_EQ(ids, (std::multiset<int>{1, 2, 3, 4, 5, 6}));
}

TEST(RunJob, AResumeWithOtherSettingsIsRefusedNamingEachAndAnOldFileWithoutThemResumes) {
  Fixture f;
  const ModelServer server(kReplies);
  f.run(kRecords, server.model(), {});
  const std::string recorded = run_settings_path(f.out);
  ASSERT_TRUE(std::filesystem::exists(recorded));
  const std::string before = tavrin::testing::file_contents(f.out);
  JobSettings other;
  other.min_score = 0.5;
  f.settings.fields = {"类别"};
  expect_error<ValueError>(
      [&] { f.run(kRecords, server.model(), other); },
      "results file '" + f.out +
          "' was written with other settings, which a resume would mix into it: "
          "target_fields: [\"类别\",\"优先级\"] in '" +
          recorded + "', [\"类别\"] now; min_score: null in '" + recorded +
          "', 0.5 now (use another results file)");
  EXPECT_EQ(server.requests(), 6u);
  EXPECT_EQ(tavrin::testing::file_contents(f.out), before);

  // A file from before the record was kept takes the settings of the run that resumes it.
  std::filesystem::remove(recorded);
  EXPECT_EQ(f.run(kRecords, server.model(), other).resumed, 6u);
  EXPECT_EQ(Value::parse(tavrin::testing::file_contents(recorded))["min_score"], 0.5);
}

// A model that fails every prompt with `error`, after answering the prompts that hold "ok".
Model failing_model(std::string error, std::shared_ptr<std::vector<std::string>> prompts) {
  return [error = std::move(error), prompts](ModelRequest request) -> asio::awaitable<ModelReply> {
    prompts->push_back(request.prompt);
    if (request.prompt.find("ok") != std::string::npos) {
      co_return ModelReply{.answer = R"({"类别": "退款"})", .usage = Value(), .attempts = 1};
    }
    throw ModelError(error, 1);
  };
}

frame::DataFrame numbered_records(int n, const std::string& text) {
  Value ids = Value::array(), texts = Value::array();
  for (int i = 0; i < n; ++i) {
    ids.push_back(i);
    texts.push_back(text);
  }
  return frame::DataFrame(Value{{"id", ids}, {"text", texts}});
}

TEST(RunJob, ARunOfFailuresOfOneKindStopsTheJobLeavingTheRestForARunAgain) {
  Fixture f;
  auto prompts = std::make_shared<std::vector<std::string>>();
  JobSettings job;
  job.in_flight = 1;
  job.max_failures = 5;
  try {
    f.run(numbered_records(50, "x"), failing_model("HTTP status 404 Not Found: {}", prompts), job);
    FAIL() << "the job did not stop";
  } catch (const JobStopped& e) {
    EXPECT_STREQ(e.what(),
                 "the job stopped after 5 records in a row failed with \"HTTP status 404 Not "
                 "Found\"; the last: HTTP status 404 Not Found: {} (the records not asked are "
                 "left for a run again)");
  }
  EXPECT_EQ(f.lines().size(), 5u);
  EXPECT_EQ(prompts->size(), 5u);

  // A refusal of one request's size fails that record only.
  f.out = f.dir / "sized.jsonl";
  const JobTally tally = f.run(
      numbered_records(20, "x"),
      failing_model("HTTP status 400 Bad Request: maximum context length exceeded", prompts), job);
  EXPECT_EQ(tally.failed, 20u);
  EXPECT_EQ(failure_kind("HTTP status 413 Payload Too Large: x"), "");
  EXPECT_EQ(failure_kind("connect: Connection refused"), "connect");
}

TEST(RunJob, ATextLongerThanTheLimitIsCutAndItsLineSaysSo) {
  Fixture f;
  auto prompts = std::make_shared<std::vector<std::string>>();
  JobSettings job;
  job.max_text_chars = 4;
  f.settings.prompt_template = PromptTemplate("<{record}>", "t");
  f.run(numbered_records(1, "ok退款退款退款"), failing_model("", prompts), job);
  ASSERT_EQ(prompts->size(), 1u);
  EXPECT_EQ(prompts->front(), "<ok退款>");
  EXPECT_EQ(f.lines().at(0)["text_truncated_from"], 8);
  EXPECT_TRUE(f.lines().at(0)["error"].is_null());
}

TEST(RunJob, ShardsTogetherCoverEveryRecordOnce) {
  Fixture f;
  const ModelServer server(kReplies);
  std::multiset<int> ids;
  for (std::size_t k = 0; k < 3; ++k) {
    JobSettings job;
    job.shard = {k, 3};
    const std::string own = f.dir / ("part" + std::to_string(k) + ".jsonl");
    f.out = own;
    EXPECT_EQ(f.run(kRecords, server.model(), job).total, 2u);
    for (const Value& line : f.lines()) ids.insert(line["id"].get<int>());
  }
  EXPECT_EQ(ids, (std::multiset<int>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(parse_shard("2/3").index, 2u);
  for (const char* bad : {"3/3", "1", "a/2", "1/0", "-1/2", "1/2/3", ""}) {
    EXPECT_THROW(parse_shard(bad), ValueError) << bad;
  }
}

TEST(RunJob, BadInputIsRefusedBeforeAnyRequest) {
  Fixture f;
  const ModelServer server(kReplies);
  const auto refused = [&](const frame::DataFrame& records, const std::string& message,
                           JobSettings job = {}) {
    tavrin::testing::expect_error<ValueError>([&] { f.run(records, server.model(), job); },
                                              message);
  };
  refused(frame::DataFrame(Value{{"id", {1, 1}}, {"text", {"r1", "r2"}}}),
          "the id 1 of record 2 is repeated; ids must be unique");
  refused(frame::DataFrame(Value{{"id", {1, nullptr}}, {"text", {"r1", "r2"}}}),
          "record 2 has no id in column 'id'");
  refused(frame::DataFrame(Value{{"key", {1}}, {"text", {"r1"}}}),
          "the records have no id column 'id'");
  refused(frame::DataFrame(Value{{"id", {1}}}), "the records have no text column 'text'");
  JobSettings none_at_once;
  none_at_once.in_flight = 0;
  refused(kRecords, "in_flight must be at least 1", none_at_once);
  f.stores.erase("优先级");
  refused(kRecords, "there is no store of allowed labels for field '优先级'");
  EXPECT_EQ(server.requests(), 0u);
}

TEST(RunJob, AStreamedCsvFileGivesTheLinesOfTheTableItHolds) {
  Fixture f;
  // More records than one chunk holds; every third answer is no mapping.
  constexpr int kCount = 700;
  std::map<std::string, std::string> replies;
  Value ids = Value::array(), texts = Value::array(), gold = Value::array();
  std::size_t with_gold = 0, answered_with_gold = 0;
  for (int i = 0; i < kCount; ++i) {
    with_gold += i % 2;
    answered_with_gold += i % 2 && i % 3;
    const std::string text = "r" + std::to_string(i);
    ids.push_back(1000 + i);
    texts.push_back(text);
    gold.push_back(i % 2 ? Value("退款") : Value());
    replies[text] = chat_reply(i % 3 ? R"({"类别": "退 款", "优先级": "高"})" : "no");
  }
  const std::string csv = f.dir / "records.csv";
  frame::DataFrame(Value{{"id", ids}, {"text", texts}, {"类别", gold}}).to_csv(csv);
  const ModelServer server(replies);
  const auto sorted_lines = [&] {
    std::multiset<std::string> lines;
    for (const Value& line : f.lines()) lines.insert(line.dump());
    return lines;
  };
  JobSettings job;
  job.in_flight = 8;
  f.out = f.dir / "from-table.jsonl";
  f.run(frame::read_csv(csv), server.model(), job);
  const auto from_table = sorted_lines();
  f.out = f.dir / "from-stream.jsonl";
  const JobTally tally = f.run(csv, server.model(), job);
  EXPECT_EQ(tally.total, static_cast<std::size_t>(kCount));
  EXPECT_EQ(tally.fields.at("类别").gold, with_gold);
  EXPECT_EQ(tally.fields.at("类别").gold - tally.fields.at("类别").gold_failed, answered_with_gold);
  EXPECT_EQ(sorted_lines(), from_table);
  EXPECT_EQ(from_table.size(), static_cast<std::size_t>(kCount));

  // A shard of the stream; a run again of it asks nothing.
  f.out = f.dir / "shard.jsonl";
  job.shard = {1, 2};
  EXPECT_EQ(f.run(csv, server.model(), job).done, static_cast<std::size_t>(kCount / 2));
  const std::size_t asked = server.requests();
  EXPECT_EQ(f.run(csv, server.model(), job).resumed, static_cast<std::size_t>(kCount / 2));
  EXPECT_EQ(server.requests(), asked);

  // An id repeated far into the file is found before any request.
  ids[600] = 1005;
  frame::DataFrame(Value{{"id", ids}, {"text", texts}}).to_csv(csv);
  f.out = f.dir / "repeated.jsonl";
  tavrin::testing::expect_error<ValueError>(
      [&] { f.run(csv, server.model(), {}); },
      "the id 1005 of record 601 is repeated; ids must be unique");
  EXPECT_EQ(server.requests(), asked);
}

TEST(RunJob, NoAnswerAndWrongKindValuesAreLeftNullAndCounted) {
  Fixture f;
  const ModelServer server({{"r1", chat_reply(R"({"类别": "N/A", "优先级": 1})")},
                            {"r2", chat_reply(R"({"类别": "不清楚", "优先级": null})")}});
  JobSettings job;
  job.no_answer_words = {"不清楚"};
  const JobTally tally = f.run(
      frame::DataFrame(Value{{"id", {1, 2}}, {"text", {"r1", "r2"}}, {"类别", {"退款", "退款"}}}),
      server.model(), job);
  for (const Value& line : f.lines()) {
    EXPECT_TRUE(line["checked"]["类别"].is_null()) << line.dump();
    EXPECT_TRUE(line["checked"]["优先级"].is_null()) << line.dump();
    EXPECT_EQ(line["decisions"]["类别"]["decision"], "no_answer") << line.dump();
  }
  EXPECT_EQ(f.lines().at(0)["decisions"]["优先级"]["decision"], "invalid");
  EXPECT_EQ(f.lines().at(0)["predicted"]["优先级"], 1);  // what the model said stays on record
  EXPECT_EQ(tally.fields.at("类别").no_answer, 2u);
  EXPECT_EQ(tally.fields.at("类别").gold_abstained, 2u);
  EXPECT_EQ(tally.fields.at("优先级").invalid, 1u);
  EXPECT_EQ(tally.fields.at("优先级").no_answer, 1u);
  std::ifstream run(f.out + ".run.json");
  EXPECT_EQ(Value::parse(run)["check"].dump(),
            R"({"rules":"plain","no_answer_words":["不清楚"],"repair":"nearest"})");
}

// The reply of asking_model to `request`: each record gets the same answer, and each question
// about a value the last choice offered, or null for the record "r2".
ModelReply asking_reply(const ModelRequest& request, std::vector<ModelRequest>& questions) {
  const Value usage = Value::parse(
      R"({"prompt_tokens": 10, "completion_tokens": 2, "prompt_tokens_details": {"cached_tokens": 6}})");
  // The questions are in the prompts' language, Chinese here.
  if (request.prompt.find("你给出的值：") == std::string::npos) {
    return ModelReply{R"({"类别": "售后", "优先级": "高"})", usage, 1};
  }
  questions.push_back(request);
  const bool none = request.prompt.find("记录：r2\n") != std::string::npos;
  Value answer = Value::object();
  answer["类别"] = none ? Value() : request.choices["类别"].back();
  return ModelReply{answer.dump(), usage, 1};
}

Model asking_model(std::shared_ptr<std::vector<ModelRequest>> questions) {
  return [questions](ModelRequest request) -> asio::awaitable<ModelReply> {
    co_return asking_reply(request, *questions);
  };
}

TEST(RunJob, ARepairByAskingLetsTheModelChooseAmongTheNearestLabels) {
  Fixture f;
  auto questions = std::make_shared<std::vector<ModelRequest>>();
  JobSettings job;
  job.repair = Repair::ask;
  job.repair_choices = 2;
  const JobTally tally = f.run(
      frame::DataFrame(Value{{"id", {1, 2}}, {"text", {"r1", "r2"}}, {"类别", {"退款", "退款"}}}),
      asking_model(questions), job);
  ASSERT_EQ(questions->size(), 2u);  // one per record: "高" is a label
  const Value& offered = questions->at(0).choices["类别"];
  ASSERT_EQ(offered.size(), 2u);
  EXPECT_EQ(offered[0], "售后服务");  // the nearest first
  const std::vector<Value> lines = f.lines();
  EXPECT_EQ(lines.at(0)["checked"]["类别"], offered[1]);
  EXPECT_EQ(lines.at(0)["decisions"]["类别"]["decision"], "asked");
  EXPECT_EQ(lines.at(0)["decisions"]["类别"]["nearest"], "售后服务");
  EXPECT_TRUE(lines.at(1)["checked"]["类别"].is_null());  // a null choice abstains
  EXPECT_EQ(lines.at(1)["decisions"]["类别"]["decision"], "abstained");
  for (const Value& line : lines) {
    EXPECT_EQ(line["attempts"], 2) << line.dump();
    // Both requests counted, the cached part of their prompts too.
    EXPECT_EQ(
        line["usage"].dump(),
        R"({"prompt_tokens":20,"completion_tokens":4,"prompt_tokens_details":{"cached_tokens":12}})");
  }
  EXPECT_EQ(tally.fields.at("类别").asked, 1u);
  EXPECT_EQ(tally.fields.at("类别").abstained, 1u);
  EXPECT_EQ(tally.prompt_tokens, 40u);
  EXPECT_EQ(tally.cached_tokens, 24u);
}

// A model that answers every prompt at once, billing 100 prompt and 10 completion tokens.
Model billing_model(std::shared_ptr<std::size_t> requests) {
  // Made outside the coroutine: gcc 12 mishandles a braced Value inside one.
  const ModelReply reply{R"({"类别": "退款", "优先级": "高"})",
                         Value::parse(R"({"prompt_tokens": 100, "completion_tokens": 10})"), 1};
  return [requests, reply](ModelRequest) -> asio::awaitable<ModelReply> {
    ++*requests;
    co_return reply;
  };
}

TEST(RunJob, ABudgetStopsTheSendingWithinOneRequestAndARunAgainGoesOn) {
  Fixture f;
  Value ids = Value::array(), texts = Value::array();
  for (int i = 1; i <= 30; ++i) {
    ids.push_back(i);
    texts.push_back("r" + std::to_string(i));
  }
  const frame::DataFrame records(Value{{"id", ids}, {"text", texts}});
  auto requests = std::make_shared<std::size_t>(0);
  for (const std::size_t in_flight : {1u, 8u}) {
    SCOPED_TRACE(in_flight);
    std::filesystem::remove(f.out);
    *requests = 0;
    JobSettings job;
    job.in_flight = in_flight;
    job.budget =
        std::make_shared<TokenBudget>(TokenBudget::Settings{.limit = 1000, .completion_cap = 10});
    const JobTally tally = f.run(records, billing_model(requests), job);
    ASSERT_TRUE(tally.budget);
    EXPECT_TRUE(tally.budget->spent);
    EXPECT_LE(tally.budget->used, 1000u);
    EXPECT_EQ(tally.budget->used, 110 * *requests);
    // Every request sent was written; the records not sent were not.
    EXPECT_EQ(f.lines().size(), *requests);
    EXPECT_EQ(tally.done, *requests);
    if (in_flight == 1) {
      // One at a time, it stops only when one request more could pass the budget.
      EXPECT_GT(tally.budget->used + 2 * 110, 1000u);
    }
  }
  // A run again with a larger budget does the rest, and nothing twice.
  const std::size_t before = *requests;
  JobSettings more;
  more.budget =
      std::make_shared<TokenBudget>(TokenBudget::Settings{.limit = 100000, .completion_cap = 10});
  const JobTally rest = f.run(records, billing_model(requests), more);
  EXPECT_FALSE(rest.budget->spent);
  EXPECT_EQ(rest.resumed, before);
  EXPECT_EQ(rest.done, 30u);
  EXPECT_EQ(*requests, 30u);
  EXPECT_GT(rest.estimated_prompt_tokens, 0u);  // what the next budget learns from
}

TEST(RunJob, AFloorAbstainsTheValueThatNoLabelFits) {
  Fixture f;
  const ModelServer server({{"r1", chat_reply(R"({"类别": "天气预报", "优先级": "高"})")}});
  JobSettings job;
  job.min_score = 0.5;
  const JobTally tally =
      f.run(frame::DataFrame(Value{{"id", {1}}, {"text", {"r1"}}, {"类别", {"退款"}}}),
            server.model(), job);
  const Value line = f.lines().at(0);
  EXPECT_EQ(line["decisions"]["类别"]["decision"], "abstained");
  EXPECT_TRUE(line["checked"]["类别"].is_null());
  EXPECT_EQ(line["checked"]["优先级"], "高");
  EXPECT_EQ(tally.fields.at("类别").abstained, 1u);
  EXPECT_EQ(tally.fields.at("类别").gold_abstained, 1u);
}

TEST(RunJob, AJobKilledInTheMiddleAndRunAgainHoldsEveryRecordOnce) {
  Fixture f;
  std::map<std::string, std::string> replies;
  Value ids = Value::array();
  Value texts = Value::array();
  for (int i = 1; i <= 40; ++i) {
    ids.push_back(i);
    texts.push_back("r" + std::to_string(i));
    replies["r" + std::to_string(i)] = chat_reply(R"({"类别": "退款", "优先级": "高"})");
  }
  const frame::DataFrame records(Value{{"id", ids}, {"text", texts}});
  JobSettings job;
  job.in_flight = 4;
  // Forked while this process has no thread but its own: a child forked beside a running
  // server thread can inherit a lock that thread held (ASan's allocator's) and never get it.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const ModelServer slow(replies, std::chrono::milliseconds(20));
    f.run(records, slow.model(), job);
    _exit(0);
  }
  // Kill it once some results are written, whatever the machine's speed.
  for (int i = 0; i < 2000 && f.lines().size() < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the job ended before it was killed";
  const ModelServer fast(replies);
  const JobTally tally = f.run(records, fast.model(), job);
  EXPECT_GE(tally.resumed, 5u);
  EXPECT_EQ(tally.done, 40u);
  std::multiset<int> seen;
  for (const Value& line : f.lines()) seen.insert(line["id"].get<int>());
  EXPECT_EQ(seen.size(), 40u);
  EXPECT_EQ(std::set<int>(seen.begin(), seen.end()).size(), 40u);
}

TEST(RunJob, SettingsAndForeignResultLinesAreRefusedBeforeAnyRequest) {
  Fixture f;
  const ModelServer server(kReplies);
  const Prompter prompter(f.settings, nullptr, f.stores);
  const auto refused = [&](JobSettings job, const std::string& message) {
    job.out_path = f.out;
    tavrin::testing::expect_error<ValueError>(
        [&] { palisk::run_blocking(run_job(kRecords, prompter, f.stores, server.model(), job)); },
        message);
  };
  refused({}, "text_fields must name at least one column of the record's text");
  refused({.text_fields = {"text", "text"}}, "text field 'text' is listed twice");
  PromptSettings twice = f.settings;
  twice.fields = {"类别", "优先级", "类别"};
  tavrin::testing::expect_error<ValueError>(
      [&] {
        palisk::run_blocking(run_job(kRecords, Prompter(twice, nullptr, f.stores), f.stores,
                                     server.model(), {.text_fields = {"text"}, .out_path = f.out}));
      },
      "target field '类别' is listed twice");

  const std::string file = "results file '" + f.out + "' line 2 ";
  for (const auto& [line, why] : std::vector<std::pair<std::string, std::string>>{
           {R"({"id": 9, "error": null})", "has no \"decisions\" object"},
           {R"({"id": 9, "decisions": null, "predicted": {}, "checked": {}})",
            "has a \"decisions\" that is no object"},
           {R"({"id": 9, "decisions": {}, "predicted": [], "checked": {}})",
            "has a \"predicted\" that is no object"},
           {R"({"id": 9, "decisions": {"类别": "kept"}, "predicted": {}, "checked": {}})",
            "has a decision of field '类别' that is no object with a text \"decision\""},
           {R"({"id": 9, "decisions": {}, "predicted": {}, "checked": {}, "gold": 3})",
            "has a \"gold\" that is no object"}}) {
    std::ofstream(f.out) << R"({"id": 8, "error": "HTTP status 503"})" << '\n' << line << '\n';
    refused({.text_fields = {"text"}}, file + why);
  }
  EXPECT_EQ(server.requests(), 0u);
}

TEST(RunJob, ACancelledJobEndsWithItsTasksAndLeavesAFileThatResumes) {
  Fixture f;
  std::map<std::string, std::string> replies;
  Value ids = Value::array(), texts = Value::array();
  for (int i = 1; i <= 60; ++i) {
    ids.push_back(i);
    texts.push_back("r" + std::to_string(i));
    replies["r" + std::to_string(i)] = chat_reply(R"({"类别": "退 款", "优先级": "高"})");
  }
  const frame::DataFrame records(Value{{"id", ids}, {"text", texts}});
  const ModelServer slow(replies, std::chrono::milliseconds(30));
  JobSettings job{.text_fields = {"text"}, .out_path = f.out, .in_flight = 4};

  asio::io_context io;
  asio::cancellation_signal cancel;
  std::exception_ptr ended;
  bool done = false;
  {
    // The job's arguments die with this scope, long before the job ends.
    Prompter prompter(f.settings, nullptr, f.stores);
    asio::co_spawn(
        io, run_job(records, prompter, f.stores, slow.model(), job),
        asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr e, const JobTally&) {
          ended = e;
          done = true;
        }));
  }
  asio::steady_timer soon(io);
  std::function<void()> cancel_when_some_are_written = [&] {
    if (f.lines().size() >= 5) return cancel.emit(asio::cancellation_type::terminal);
    soon.expires_after(std::chrono::milliseconds(5));
    soon.async_wait([&](boost::system::error_code) { cancel_when_some_are_written(); });
  };
  cancel_when_some_are_written();
  io.run();
  ASSERT_TRUE(done);
  ASSERT_TRUE(ended);
  try {
    std::rethrow_exception(ended);
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), asio::error::operation_aborted);
  }
  const std::size_t written = f.lines().size();
  EXPECT_GE(written, 5u);
  EXPECT_LT(written, 60u);
  EXPECT_LE(slow.requests(), written + job.in_flight);  // nothing asked after the cancel

  const ModelServer fast(replies);
  const JobTally tally = f.run(records, fast.model(), job);
  EXPECT_EQ(tally.resumed, written);
  EXPECT_EQ(tally.done, 60u);
  EXPECT_EQ(tally.failed, 0u);  // a cancelled request leaves no failed line
  std::set<int> seen;
  for (const Value& line : f.lines()) EXPECT_TRUE(seen.insert(line["id"].get<int>()).second);
  EXPECT_EQ(seen.size(), 60u);
}

// A job whose stores embed through an OpenAI-compatible stand-in, and whose model echoes the
// prompt: each record's text is its own answer.
struct EndpointJob {
  explicit EndpointJob(std::size_t examples, openai::OpenAIEmbeddingsOptions options = {})
      : model(std::make_shared<openai::OpenAIEmbeddings>(embedding_server.url("/v1"), "sk-embed",
                                                         "stand-in", fast_retries(options))) {
    settings.fields = {"类别"};
    settings.labels = {{"类别", {"售后服务", "物流配送", "退款"}}};
    settings.examples = examples;
    settings.prompt_template = PromptTemplate("{record}", "test");
    stores = {{"类别", label_store({"售后服务", "物流配送", "退款"}, model)}};
    if (examples > 0) {
      train = label_store({"退款了吗", "东西到哪了"}, model,
                          {Value{{"类别", "退款"}}, Value{{"类别", "物流配送"}}});
    }
    before = embedding_server.requests();  // the stores' vectors are made; count from here
  }

  static openai::OpenAIEmbeddingsOptions fast_retries(openai::OpenAIEmbeddingsOptions options) {
    options.client.retry.initial_backoff = std::chrono::milliseconds(10);
    options.batch_size = 256;
    return options;
  }

  Model chat() const {
    return [url = chat_server.url()](ModelRequest request) -> asio::awaitable<ModelReply> {
      const Value reply = co_await palisk::chat(std::move(request.prompt), url, "sk-test");
      co_return ModelReply{reply["choices"][0]["message"]["content"].get<std::string>(), Value(),
                           1};
    };
  }

  JobTally run(const frame::DataFrame& records, std::size_t in_flight = 8) const {
    return palisk::run_blocking(run_job(
        records, Prompter(settings, train, stores), stores, chat(),
        {.text_fields = {"text"}, .out_path = dir / "results.jsonl", .in_flight = in_flight}));
  }

  std::vector<Value> lines() const {
    std::vector<Value> out;
    std::ifstream in(dir / "results.jsonl");
    for (std::string line; std::getline(in, line);) out.push_back(Value::parse(line));
    return out;
  }

  std::size_t embedding_requests() const { return embedding_server.requests() - before; }

  OpenAiServer embedding_server, chat_server;
  std::shared_ptr<openai::OpenAIEmbeddings> model;
  PromptSettings settings;
  StoreMap stores;
  std::shared_ptr<const vectorstore::VectorStore> train;
  TempDir dir;
  std::size_t before = 0;
};

// Records 1..n whose answers are exact labels, except record 1's near miss when `near_miss`.
frame::DataFrame echo_records(int n, const std::string& first_value) {
  Value ids = Value::array(), texts = Value::array();
  for (int i = 1; i <= n; ++i) {
    ids.push_back(i);
    texts.push_back("{\"类别\": \"" + (i == 1 ? first_value : std::string("退款")) + "\"} #" +
                    std::to_string(i));
  }
  return frame::DataFrame(Value{{"id", ids}, {"text", texts}});
}

TEST(RunJob, AnEmbeddingEndpointGetsBatchesAndEachTextOnceWithTheSameChecks) {
  const EndpointJob job(1);
  constexpr int kCount = 48;
  Value ids = Value::array(), texts = Value::array();
  for (int i = 1; i <= kCount; ++i) {
    ids.push_back(i);
    texts.push_back(std::string(i % 2 ? R"({"类别": "退 款"})" : R"({"类别": "物流"})") + " #" +
                    std::to_string(i));
  }
  const JobTally tally = job.run(frame::DataFrame(Value{{"id", ids}, {"text", texts}}));
  EXPECT_EQ(tally.done, static_cast<std::size_t>(kCount));
  EXPECT_EQ(tally.failed, 0u);
  // 3 prompt batches of 16 texts, and the two values to check, each sent once.
  EXPECT_EQ(tally.embedded_texts, static_cast<std::size_t>(kCount + 2));
  EXPECT_LE(tally.embedding_calls, 5u);
  EXPECT_EQ(job.embedding_requests(), tally.embedding_calls);
  // Decisions and scores as the store's own search gives them.
  const olvane::ScoredCheck near = olvane::check_result_scored(
      Value{{"类别", "退 款"}}, job.settings.labels, {"类别"}, job.stores);
  for (const Value& line : job.lines()) {
    if (line["predicted"]["类别"] != "退 款") continue;
    Value decision = line["decisions"]["类别"];
    EXPECT_TRUE(decision["confidence"].is_number());
    decision.erase("signals");
    decision.erase("confidence");
    EXPECT_EQ(decision, near.decisions()["类别"]);
    EXPECT_EQ(line["checked"], near.checked_result);
  }
}

TEST(RunJob, A429OnAnEmbeddingRequestDelaysOnlyTheRecordThatNeedsIt) {
  EndpointJob job(0);
  job.embedding_server.script({{.status = 429, .headers = {{"Retry-After", "1"}}}});
  const JobTally tally = job.run(echo_records(10, "退 款"));
  EXPECT_EQ(tally.failed, 0u);
  EXPECT_EQ(job.embedding_requests(), 2u);
  const std::vector<Value> lines = job.lines();
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines.back()["id"], 1);  // the others finished during its wait
  EXPECT_EQ(lines.back()["decisions"]["类别"]["decision"], "replaced");
}

TEST(RunJob, AnEmbeddingEndpointThatFailsFailsOnlyTheRecordsThatNeedIt) {
  openai::OpenAIEmbeddingsOptions quick;
  quick.client.timeout.total = std::chrono::milliseconds(300);
  quick.client.timeout.sock_read = std::chrono::milliseconds(300);
  quick.client.retry.max_retries = 1;
  const std::vector<std::pair<std::vector<OpenAiServer::Scripted>, std::string>> failures = {
      {{{.status = 500}, {.status = 500}}, "HTTP status 500 Internal Server Error: "},
      {{{.silent = true}, {.silent = true}}, ""},
  };
  for (const auto& [script, what] : failures) {
    EndpointJob job(0, quick);
    job.embedding_server.script(script);
    const JobTally tally = job.run(echo_records(6, "退 款"));
    EXPECT_EQ(tally.done, 6u);
    EXPECT_EQ(tally.failed, 1u);
    for (const Value& line : job.lines()) {
      if (line["id"] != 1) {
        EXPECT_TRUE(line["error"].is_null());
        continue;
      }
      const std::string error = line["error"].get<std::string>();
      EXPECT_EQ(
          error.rfind(
              "embedding endpoint " + job.embedding_server.url("/v1/embeddings") + ": " + what, 0),
          0u)
          << error;
      EXPECT_EQ(error.find("sk-embed"), std::string::npos);
      EXPECT_EQ(line["answer"], R"({"类别": "退 款"} #1)");
    }
  }
}

}  // namespace
}  // namespace tavrin::labeling
