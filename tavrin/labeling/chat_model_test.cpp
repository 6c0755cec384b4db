#include "tavrin/labeling/chat_model.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <set>

#include <boost/asio/this_coro.hpp>

#include "tavrin/core/errors.hpp"
#include "tavrin/labeling/calibration.hpp"
#include "tavrin/labeling/report.hpp"
#include "tavrin/labeling/response_schema.hpp"
#include "tavrin/palisk.hpp"
#include "tavrin/vectorstore/embeddings.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"
#include "tests/support/openai_server.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::labeling {
namespace {

using tavrin::testing::expect_error;
using tavrin::testing::TempDir;

TEST(ConnectionLimit, LeavesDescriptorsForFilesAndKeepsOne) {
  EXPECT_EQ(connection_limit(1000, 256), 192u);
  EXPECT_EQ(connection_limit(193, 256), 192u);
  EXPECT_EQ(connection_limit(192, 256), 192u);
  EXPECT_EQ(connection_limit(16, 1024), 16u);
  EXPECT_EQ(connection_limit(16, 65), 1u);
  EXPECT_EQ(connection_limit(16, 64), 1u);
  EXPECT_EQ(connection_limit(16, 0), 1u);
  EXPECT_EQ(connection_limit(16, RLIM_INFINITY), 16u);
}

TEST(ConnectionLimit, FollowsTheSoftLimitOfTheProcess) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  const std::size_t under_lowered = connection_limit(1000);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(under_lowered, 36u);
}

TEST(ResponseFormatNames, ParseTheNamesWithEitherSeparatorAndNameABadOne) {
  EXPECT_EQ(parse_response_format("plain"), ResponseFormat::plain);
  EXPECT_EQ(parse_response_format("json-object"), ResponseFormat::json_object);
  EXPECT_EQ(parse_response_format("json_schema"), ResponseFormat::json_schema);
  EXPECT_EQ(parse_response_format("auto"), ResponseFormat::automatic);
  expect_error<ValueError>([] { parse_response_format("JSON"); },
                           "response format \"JSON\" is none of plain, json-object, json-schema, "
                           "auto");
}

TEST(ResponseFormatNames, ModelSettingsOfPlainAndJsonRunsAreThoseRecordedBefore) {
  const ChatEndpoint plain{.url = "u", .key = "k", .model = "m", .temperature = 0.5};
  EXPECT_EQ(model_settings(plain),
            Value::parse(R"({"model":"m","temperature":0.5,"json_mode":false})"));
  ChatEndpoint json = plain;
  json.response_format = ResponseFormat::json_object;
  EXPECT_EQ(model_settings(json)["json_mode"], true);  // as a JSON-mode run recorded it before
  ChatEndpoint schema = plain;
  schema.response_format = ResponseFormat::automatic;
  EXPECT_EQ(model_settings(schema)["response_format"], "auto");
}

TEST(RefusesResponseFormat, OnlyA400ThatNamesTheFormat) {
  EXPECT_TRUE(refuses_response_format(400, R"({"error":{"param":"response_format"}})"));
  EXPECT_TRUE(refuses_response_format(400, "Invalid JSON_Schema for Response_Format"));
  EXPECT_TRUE(refuses_response_format(400, "json_schema is not supported"));
  EXPECT_FALSE(refuses_response_format(400, "maximum context length exceeded"));
  EXPECT_FALSE(refuses_response_format(422, "response_format"));
  EXPECT_FALSE(refuses_response_format(500, "response_format"));
}

namespace asio = boost::asio;
using tavrin::testing::OpenAiServer;

asio::awaitable<ModelReply> ask_once(ChatEndpoint endpoint, ModelRequest request) {
  quellin::Client client(co_await asio::this_coro::executor);
  co_return co_await chat_model(client, std::move(endpoint))(std::move(request));
}

Value last_body(const OpenAiServer& server) { return Value::parse(server.received().back().body); }

TEST(ChatModel, EachFormatAsksAsItSays) {
  OpenAiServer server({.check_response_format = true});
  const ModelRequest request{"- 类别: 退款、物流配送\n记录", Value{{"类别", {"退款", "物流配送"}}}};
  ChatEndpoint endpoint{.url = server.url(), .key = "sk-test", .model = "stand-in"};
  palisk::run_blocking(ask_once(endpoint, request));
  EXPECT_FALSE(last_body(server).contains("response_format"));
  EXPECT_FALSE(last_body(server).contains("max_tokens"));
  // A completion cap, in the field the endpoint wants.
  endpoint.max_completion_tokens = 40;
  palisk::run_blocking(ask_once(endpoint, request));
  EXPECT_EQ(last_body(server)["max_tokens"], 40);
  endpoint.completion_cap_field = parse_completion_cap_field("max_completion_tokens");
  palisk::run_blocking(ask_once(endpoint, request));
  EXPECT_EQ(last_body(server)["max_completion_tokens"], 40);
  EXPECT_FALSE(last_body(server).contains("max_tokens"));
  EXPECT_THROW(parse_completion_cap_field("max-tokens"), ValueError);
  endpoint.max_completion_tokens.reset();
  endpoint.response_format = ResponseFormat::json_object;
  palisk::run_blocking(ask_once(endpoint, request));
  EXPECT_EQ(last_body(server)["response_format"], Value::parse(R"({"type":"json_object"})"));
  endpoint.response_format = ResponseFormat::json_schema;
  palisk::run_blocking(ask_once(endpoint, request));
  EXPECT_EQ(last_body(server)["response_format"], response_format(request.choices, {}));
  palisk::run_blocking(ask_once(endpoint, ModelRequest{"记录"}));  // free: no schema
  EXPECT_FALSE(last_body(server).contains("response_format"));
  EXPECT_TRUE(server.format_faults().empty());

  // The stand-in's check sees a schema that is not the prompt's.
  const ModelRequest other{"- 类别: 退款\n记录", Value{{"类别", {"退款", "物流配送"}}}};
  try {
    palisk::run_blocking(ask_once(endpoint, other));
    ADD_FAILURE() << "no refusal";
  } catch (const ModelError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("HTTP status 400 Bad Request: ", 0), 0u) << e.what();
    EXPECT_EQ(e.attempts(), 1u);
  }
  EXPECT_EQ(server.format_faults(),
            std::vector<std::string>{"类别 enum [\"退款\",\"物流配送\",null]"});
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

// A job whose model is the stand-in, which echoes each prompt: the lines of the labels shown,
// then the record's text, a JSON answer.
struct EchoJob {
  explicit EchoJob(OpenAiServer::Options options = {}) : server(options) {
    const std::vector<std::string> kinds = {"售后服务", "物流配送", "退款", "发票", "其他"};
    const std::vector<std::string> tags = {"bug", "ui", "slow"};
    prompt.fields = {"类别", "标签"};
    prompt.labels = {{"类别", kinds}, {"标签", tags}};
    prompt.notes["标签"].multi_label = true;
    prompt.examples = 0;
    prompt.max_labels = 2;
    prompt.prompt_template = PromptTemplate("{labels}{record}", "test");
    stores = {{"类别", label_store(kinds)}, {"标签", label_store(tags)}};
  }

  JobTally run(ResponseFormat format, JobProgress progress = {}, Logprobs logprobs = Logprobs::off,
               std::shared_ptr<const Calibration> calibration = nullptr) const {
    Value ids = Value::array(), texts = Value::array();
    for (int i = 1; i <= 3; ++i) {
      ids.push_back(i);
      texts.push_back(R"({"类别": "退款", "标签": ["bug"]} #)" + std::to_string(i));
    }
    quellin::ClientOptions client;
    client.retry.max_retries = 0;
    return run_job_blocking(
        frame::DataFrame(Value{{"id", ids}, {"text", texts}}), Prompter(prompt, nullptr, stores),
        stores,
        {.url = server.url(),
         .key = "sk-test",
         .model = "stand-in",
         .response_format = format,
         .logprobs = logprobs},
        client,
        {.text_fields = {"text"}, .out_path = out, .in_flight = 1, .calibration = calibration},
        std::move(progress));
  }

  std::vector<Value> bodies() const {
    std::vector<Value> out_bodies;
    for (const auto& request : server.received()) out_bodies.push_back(Value::parse(request.body));
    return out_bodies;
  }

  std::vector<Value> lines() const {
    std::vector<Value> out_lines;
    std::ifstream in(out);
    for (std::string line; std::getline(in, line);) out_lines.push_back(Value::parse(line));
    return out_lines;
  }

  Value run_record() const {
    return Value::parse(tavrin::testing::file_contents(out + ".run.json"));
  }

  OpenAiServer server;
  PromptSettings prompt;
  StoreMap stores;
  TempDir dir;
  std::string out = dir / "results.jsonl";
};

TEST(ChatModelJob, JsonSchemaCarriesTheLabelsEachPromptShows) {
  const EchoJob job({.check_response_format = true});
  const JobTally tally = job.run(ResponseFormat::json_schema);
  EXPECT_EQ(tally.failed, 0u);
  EXPECT_TRUE(tally.format_note.empty());
  EXPECT_TRUE(job.server.format_faults().empty());
  const std::vector<Value> bodies = job.bodies();
  ASSERT_EQ(bodies.size(), 3u);
  for (const Value& body : bodies) {
    const Value& properties = body["response_format"]["json_schema"]["schema"]["properties"];
    EXPECT_EQ(properties["类别"]["enum"].size(), 3u);  // the 2 shown of 5, and null
    EXPECT_EQ(properties["标签"]["items"]["enum"].size(), 2u);
  }
  EXPECT_EQ(job.lines()[0]["checked"]["类别"], "退款");
  EXPECT_EQ(job.run_record()["model"]["response_format"], "json_schema");
}

TEST(ChatModelJob, AutoSendsTheRefusedRequestAgainAndEveryLaterOneWithoutTheSchema) {
  const EchoJob job({.refuse_response_format = true});
  std::string noted;
  const JobTally tally =
      job.run(ResponseFormat::automatic, [&](const JobTally& t) { noted = t.format_note; });
  EXPECT_EQ(tally.failed, 0u);
  const std::vector<Value> bodies = job.bodies();
  ASSERT_EQ(bodies.size(), 4u);
  EXPECT_TRUE(bodies[0].contains("response_format"));
  EXPECT_EQ(bodies[1]["messages"], bodies[0]["messages"]);
  for (std::size_t i = 1; i < bodies.size(); ++i) {
    EXPECT_FALSE(bodies[i].contains("response_format")) << i;
  }
  std::multiset<unsigned> attempts;
  for (const Value& line : job.lines()) attempts.insert(line["attempts"].get<unsigned>());
  EXPECT_EQ(attempts, (std::multiset<unsigned>{1, 1, 2}));

  const std::string note =
      "json_schema refused by the endpoint (HTTP status 400 Bad Request: Invalid parameter: "
      "'response_format' of type 'json_schema' is not supported with this model.); plain "
      "prompting for the rest of the run";
  EXPECT_EQ(tally.format_note, note);
  EXPECT_EQ(noted, note);
  const std::vector<std::string> summary = summary_lines(tally, job.out);
  EXPECT_NE(std::find(summary.begin(), summary.end(), "  format    " + note), summary.end());
  const Value record = job.run_record();
  EXPECT_EQ(record["response_format_fallback"], note);
  EXPECT_EQ(record["model"]["response_format"], "auto");

  // The note does not keep the same settings from resuming.
  const JobTally again = job.run(ResponseFormat::automatic);
  EXPECT_EQ(again.resumed, 3u);
  EXPECT_EQ(job.server.requests(), 4u);
}

TEST(ChatModelJob, JsonSchemaFailsTheRecordsItIsRefusedFor) {
  const EchoJob job({.refuse_response_format = true});
  const JobTally tally = job.run(ResponseFormat::json_schema);
  EXPECT_EQ(tally.failed, 3u);
  EXPECT_TRUE(tally.format_note.empty());
  EXPECT_EQ(job.server.requests(), 3u);
  for (const Value& line : job.lines()) {
    EXPECT_EQ(line["error"].get<std::string>().rfind("HTTP status 400 Bad Request: ", 0), 0u);
  }
}

TEST(ChatModelJob, LogprobsGiveEachValueTheProbabilityOfItsTokens) {
  const EchoJob job;
  const JobTally tally = job.run(ResponseFormat::plain, {}, Logprobs::required);
  EXPECT_EQ(tally.failed, 0u);
  for (const Value& body : job.bodies()) {
    EXPECT_EQ(body["logprobs"], true);
    EXPECT_EQ(body["top_logprobs"], kTopLogprobs);
  }
  const double p = OpenAiServer::kTokenProbability;
  for (const Value& line : job.lines()) {
    const Value& category = line["decisions"]["类别"];
    // "退款": two characters, two tokens; the alternative "~" begins no label.
    EXPECT_NEAR(category["signals"]["model_probability"].get<double>(), p * p, 1e-9);
    EXPECT_DOUBLE_EQ(category["signals"]["first_token_share"].get<double>(), 1.0);
    EXPECT_GT(category["confidence"].get<double>(), 0.5);
    // A list: its brackets, quotes and elements.
    EXPECT_NEAR(line["decisions"]["标签"]["signals"]["model_probability"].get<double>(),
                std::pow(p, std::string(R"(["bug"])").size()), 1e-9);
  }
  EXPECT_EQ(job.run_record()["model"]["logprobs"], "logprobs");
}

// A calibration of both fields of EchoJob that accepts what the map gives at least `threshold`.
std::shared_ptr<const Calibration> flat_calibration(double probability,
                                                    std::optional<double> threshold) {
  Calibration calibration;
  calibration.settings = {{"model",
                           {{"model", "stand-in"},
                            {"temperature", 0.0},
                            {"json_mode", false},
                            {"logprobs", "logprobs"}}}};
  FieldCalibration field;
  field.weights.assign(feature_names().size(), 0.0);
  field.knots = {0.0};
  field.probabilities = {probability};
  field.threshold = threshold;
  calibration.fields["类别"] = field;
  calibration.fields["标签"] = field;
  return std::make_shared<const Calibration>(calibration);
}

TEST(ChatModelJob, ACalibrationSetsTheConfidenceAndAbstainsBelowItsThreshold) {
  const EchoJob job;
  JobTally tally =
      job.run(ResponseFormat::plain, {}, Logprobs::required, flat_calibration(0.7, 0.8));
  EXPECT_EQ(tally.failed, 0u);
  for (const Value& line : job.lines()) {
    const Value& category = line["decisions"]["类别"];
    EXPECT_EQ(category["decision"], "low_confidence");
    EXPECT_EQ(category["decision_before"], "kept");
    EXPECT_EQ(category["checked_before"], "退款");
    EXPECT_DOUBLE_EQ(category["confidence"].get<double>(), 0.7);
    EXPECT_TRUE(line["checked"]["类别"].is_null());
    EXPECT_EQ(line["predicted"]["类别"], "退款");  // the value stays for review
  }
  EXPECT_TRUE(job.run_record().contains("calibration_sha256"));

  const EchoJob accepting;
  accepting.run(ResponseFormat::plain, {}, Logprobs::required, flat_calibration(0.9, 0.8));
  for (const Value& line : accepting.lines()) {
    EXPECT_EQ(line["decisions"]["类别"]["decision"], "kept");
    EXPECT_EQ(line["checked"]["类别"], "退款");
  }

  // Made with another model's answers (here: without log-probabilities): refused before any
  // request, naming the difference.
  const EchoJob other;
  try {
    other.run(ResponseFormat::plain, {}, Logprobs::off, flat_calibration(0.9, 0.8));
    ADD_FAILURE() << "no refusal";
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("the calibration was made from a run with other "
                                         "settings:\n  model: "),
              std::string::npos)
        << e.what();
  }
  EXPECT_EQ(other.server.requests(), 0u);
}

TEST(ChatModelJob, AutoLogprobsFallBackWhenRefusedAndRequiredOnesFail) {
  const EchoJob job({.refuse_logprobs = true});
  const JobTally tally = job.run(ResponseFormat::plain, {}, Logprobs::automatic);
  EXPECT_EQ(tally.failed, 0u);
  const std::vector<Value> bodies = job.bodies();
  ASSERT_EQ(bodies.size(), 4u);
  EXPECT_TRUE(bodies[0].contains("logprobs"));
  for (std::size_t i = 1; i < bodies.size(); ++i) EXPECT_FALSE(bodies[i].contains("logprobs")) << i;
  EXPECT_NE(tally.format_note.find("logprobs refused by the endpoint"), std::string::npos)
      << tally.format_note;
  for (const Value& line : job.lines()) {
    EXPECT_TRUE(line["decisions"]["类别"]["signals"]["model_probability"].is_null());
    EXPECT_TRUE(line["decisions"]["类别"]["confidence"].is_number());
  }

  const EchoJob strict({.refuse_logprobs = true});
  EXPECT_EQ(strict.run(ResponseFormat::plain, {}, Logprobs::required).failed, 3u);
}

}  // namespace
}  // namespace tavrin::labeling

namespace tavrin::labeling {
namespace {

// A job against an endpoint that allows 2000 tokens a second (as a tokens-a-minute limit
// refilled over a second) and says so in x-ratelimit-* fields.
JobTally rate_limited_job(bool follow_replies) {
  OpenAiServer server({.tokens_per_minute = 2000, .rate_window = std::chrono::milliseconds(1000)});
  const std::vector<std::string> kinds = {"售后服务", "物流配送", "退款"};
  PromptSettings prompt;
  prompt.fields = {"类别"};
  prompt.labels = {{"类别", kinds}};
  prompt.examples = 0;
  prompt.prompt_template = PromptTemplate("{record}\n{labels}", "test");
  const StoreMap stores = {{"类别", label_store(kinds)}};
  Value ids = Value::array(), texts = Value::array();
  for (int i = 1; i <= 60; ++i) {
    ids.push_back(i);
    texts.push_back(R"({"类别": "退款"} 第)" + std::to_string(i) + "条记录，内容略");
  }
  quellin::ClientOptions client;
  client.retry.max_retries = 8;
  client.retry.initial_backoff = std::chrono::milliseconds(20);
  client.retry.max_backoff = std::chrono::milliseconds(200);
  const TempDir dir;
  ChatEndpoint endpoint{.url = server.url(), .key = "sk-test", .model = "stand-in"};
  endpoint.max_completion_tokens = 40;
  endpoint.rate_limits.follow_replies = follow_replies;
  const JobTally tally =
      run_job_blocking(frame::DataFrame(Value{{"id", ids}, {"text", texts}}),
                       Prompter(prompt, nullptr, stores), stores, endpoint, client,
                       {.text_fields = {"text"}, .out_path = dir / "r.jsonl", .in_flight = 8});
  EXPECT_EQ(tally.done, 60u);
  EXPECT_EQ(tally.rate_limited, server.rate_limited());
  return tally;
}

TEST(ChatModelJob, PacingByTheRepliesRateLimitFieldsAvoidsTheir429s) {
  // Unpaced, the job lives on 429s; some records may even run out of retries.
  const JobTally unpaced = rate_limited_job(false);
  const JobTally paced = rate_limited_job(true);
  EXPECT_GT(unpaced.rate_limited, 20u);
  EXPECT_EQ(unpaced.paced.count(), 0);
  // Before the first reply, nothing is known: the first requests may still meet the limit.
  EXPECT_LE(paced.rate_limited, 3u) << "unpaced: " << unpaced.rate_limited;
  EXPECT_EQ(paced.failed, 0u);
  EXPECT_GT(paced.paced.count(), 0);
}

}  // namespace
}  // namespace tavrin::labeling
