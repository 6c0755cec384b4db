#include "tavrin/openai/embeddings.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "tavrin/core/errors.hpp"
#include "tests/support/loopback_server.hpp"
#include "tests/support/openai_server.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::openai {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;
using Scripted = tavrin::testing::OpenAiServer::Scripted;
using Vectors = std::vector<std::vector<float>>;
using tavrin::testing::expect_error;
using tavrin::testing::OpenAiServer;

constexpr char kKey[] = "sk-test-0123456789abcdefSECRET";

// Batches in turn, retries after a millisecond: nothing waits long.
OpenAIEmbeddingsOptions in_turn(std::size_t batch_size) {
  OpenAIEmbeddingsOptions options;
  options.batch_size = batch_size;
  options.max_in_flight = 1;
  options.client.retry.initial_backoff = 1ms;
  options.client.retry.max_backoff = 4ms;
  return options;
}

std::vector<std::string> texts(std::size_t count) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < count; ++i) out.push_back("text " + std::to_string(i));
  return out;
}

Json body_of(const OpenAiServer::Request& request) { return Json::parse(request.body); }

// A reply of `vectors`, with "index" when `indexed`, in the order given.
std::string reply_of(const std::vector<std::pair<std::size_t, std::vector<float>>>& items,
                     bool indexed = true) {
  Json data = Json::array();
  for (const auto& [index, vector] : items) {
    Json item = {{"object", "embedding"}};
    if (indexed) item["index"] = index;
    item["embedding"] = vector;
    data.push_back(item);
  }
  return Json({{"object", "list"}, {"data", data}, {"model", "m"}}).dump();
}

TEST(OpenAIEmbeddings, SendsBatchesOfBatchSizeAndAnswersInTextOrder) {
  OpenAiServer server;
  OpenAIEmbeddings model(server.url("/v1"), kKey, "text-embedding-3-small", in_turn(3));
  std::vector<std::string> input = texts(7);
  input[5] = input[1];  // equal texts in different batches get equal vectors
  const Vectors vectors = model.embed_documents(input);

  ASSERT_EQ(vectors.size(), 7u);
  EXPECT_EQ(vectors[5], vectors[1]);
  EXPECT_NE(vectors[0], vectors[1]);
  for (const auto& vector : vectors) EXPECT_EQ(vector.size(), 4u);  // the stand-in's default
  EXPECT_EQ(model.embed_query(input[6]), vectors[6]);

  const auto requests = server.received();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].body,
            R"({"model":"text-embedding-3-small","input":["text 0","text 1","text 2"]})");
  EXPECT_EQ(body_of(requests[1])["input"], Json({"text 3", "text 4", "text 1"}));
  EXPECT_EQ(body_of(requests[2])["input"], Json({"text 6"}));
  EXPECT_EQ(body_of(requests[3])["input"], Json({"text 6"}));  // embed_query: one text
  for (const auto& request : requests) {
    EXPECT_TRUE(request.head.starts_with("POST /v1/embeddings HTTP/1.1\r\n")) << request.head;
    EXPECT_NE(request.head.find("\r\nContent-Type: application/json\r\n"), std::string::npos);
    EXPECT_NE(request.head.find("\r\nAuthorization: Bearer " + std::string(kKey) + "\r\n"),
              std::string::npos);
  }
  EXPECT_EQ(server.connections(), 1u);  // kept alive across batches and calls
}

TEST(OpenAIEmbeddings, DimensionsAndEncodingFormatAreSentWhenSet) {
  OpenAiServer server;
  OpenAIEmbeddingsOptions options = in_turn(64);
  options.dimensions = 8;
  options.encoding_format = "float";
  OpenAIEmbeddings model(server.url("/v1/"), kKey, "m", options);
  EXPECT_EQ(model.embed_query("x").size(), 8u);
  EXPECT_EQ(server.received().at(0).body,
            R"({"model":"m","input":["x"],"dimensions":8,"encoding_format":"float"})");
  EXPECT_EQ(model.identity(), "openai/m/8");
  EXPECT_EQ(OpenAIEmbeddings(server.url("/v1"), kKey, "m").identity(), "openai/m");
}

TEST(OpenAIEmbeddings, AtMostMaxInFlightBatchesAtOnce) {
  // Each batch in flight holds a connection of its own, and a free one is reused: the
  // connections the stand-in sees are the batches that were in flight together.
  for (const auto& [in_flight, batches] : {std::pair{3u, 12u}, {8u, 2u}}) {
    OpenAiServer server;
    OpenAIEmbeddingsOptions options = in_turn(2);
    options.max_in_flight = in_flight;
    OpenAIEmbeddings model(server.url("/v1"), kKey, "m", options);
    const auto input = texts(2 * batches - 1);
    const Vectors vectors = model.embed_documents(input);
    ASSERT_EQ(vectors.size(), input.size());
    EXPECT_EQ(server.requests(), batches);
    EXPECT_EQ(server.connections(), std::min(in_flight, batches));
    std::vector<std::string> sent;
    std::vector<std::size_t> sizes;
    for (const auto& request : server.received()) {
      const Json batch = body_of(request)["input"];
      sizes.push_back(batch.size());
      for (const auto& text : batch) sent.push_back(text);
    }
    std::sort(sizes.begin(), sizes.end());
    std::vector<std::size_t> expected_sizes(batches, 2);
    expected_sizes.front() = 1;
    EXPECT_EQ(sizes, expected_sizes);
    std::sort(sent.begin(), sent.end());
    auto expected = input;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sent, expected);  // every text sent once
  }
}

TEST(OpenAIEmbeddings, EachAnswerIsPlacedByItsIndexOrElseByItsPlace) {
  OpenAiServer server;
  OpenAIEmbeddings model(server.url("/v1"), kKey, "m", in_turn(3));
  server.script({{.body = reply_of({{2, {2, 2}}, {0, {0.5, 0.5}}, {1, {1, 1}}})},
                 {.body = reply_of({{0, {3, 3}}, {1, {4, 4}}, {2, {5, 5}}}, false)}});
  EXPECT_EQ(model.embed_documents(texts(6)),
            (Vectors{{0.5, 0.5}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}}));
}

TEST(OpenAIEmbeddings, ABatchThatDoesNotAnswerEachTextFailsTheCallByName) {
  const std::vector<std::pair<std::string, std::string>> faults = {
      {reply_of({{0, {1, 1, 1, 1}}}), "the reply has 1 vector for 2 texts"},
      {reply_of({{0, {1, 1, 1, 1}}, {0, {1, 1, 1, 1}}}),
       "data[1] answers text 0 of the batch again"},
      {R"({"data":[{"index":0,"embedding":[1,1,1,1]},{"index":1,"embedding":[1,NaN,1,1]}]})",
       "data[1].embedding[1] is NaN, not a finite number"},
      {reply_of({{0, {1, 1, 1}}, {1, {1, 1, 1}}}),
       "data[0].embedding has 3 components, not 4 as the vectors before it"},
      {reply_of({{0, {1, 1, 1, 1}}, {1, {0, 0, 0, 0}}}),
       "data[1].embedding is all zeros, not a direction"},
      {"{}", R"(the reply has no "data" array)"},
  };
  for (const auto& [body, what] : faults) {
    OpenAiServer server;
    OpenAIEmbeddings model(server.url("/v1"), kKey, "m", in_turn(2));
    server.script({{}, {.body = body}});  // the first batch answered normally, 4 dimensions
    expect_error<ValueError>([&] { model.embed_documents(texts(5)); },
                             "OpenAIEmbeddings batch 2 of 3 (texts 2 to 3): " + what);
    EXPECT_EQ(server.requests(), 2u);  // not retried, and the third batch never sent
  }
}

TEST(OpenAIEmbeddings, AReplyIgnoringTheDimensionsAskedForIsRefused) {
  OpenAiServer server;
  OpenAIEmbeddingsOptions options = in_turn(64);
  options.dimensions = 3;
  OpenAIEmbeddings model(server.url("/v1"), kKey, "m", options);
  server.script({{.body = reply_of({{0, {1, 1, 1, 1}}})}});
  expect_error<ValueError>(
      [&] { model.embed_query("x"); },
      "OpenAIEmbeddings batch 1 of 1 (texts 0 to 0): data[0].embedding has 4 components, not "
      "the 3 asked for");
}

TEST(OpenAIEmbeddings, TransientFailuresAreRetriedAndTheCallSucceeds) {
  {
    OpenAiServer server;
    OpenAIEmbeddings model(server.url("/v1"), kKey, "m", in_turn(2));
    server.script({{.status = 503}, {.status = 503}});
    EXPECT_EQ(model.embed_documents(texts(4)).size(), 4u);
    EXPECT_EQ(server.requests(), 4u);
  }
  {
    OpenAiServer server;
    OpenAIEmbeddings model(server.url("/v1"), kKey, "m", in_turn(2));
    server.script({{.status = 429, .headers = {{"Retry-After", "1"}}}});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(model.embed_documents(texts(2)).size(), 2u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);  // waited as the reply asked
    EXPECT_EQ(server.requests(), 2u);
  }
}

TEST(OpenAIEmbeddings, AWaitBeyondTheRetryCapFailsTheCallAtOnceAndSaysHowLong) {
  OpenAiServer server;
  OpenAIEmbeddings model(server.url("/v1"), kKey, "m", in_turn(2));
  server.script({{.status = 429, .headers = {{"Retry-After", "3600"}}}});
  expect_error<quellin::HttpError>(
      [&] { model.embed_documents(texts(2)); },
      R"(HTTP status 429 Too Many Requests: {"error":{"message":"Too Many Requests","code":429}})"
      "; the server asked to wait 3600 s, more than the 60 s this client waits");
  EXPECT_EQ(server.requests(), 1u);
}

TEST(OpenAIEmbeddings, ABatchFailingAfterItsRetriesFailsTheWholeCall) {
  OpenAiServer server;
  OpenAIEmbeddingsOptions options = in_turn(2);
  options.client.retry.max_retries = 1;
  OpenAIEmbeddings model(server.url("/v1"), kKey, "m", options);
  server.script({{}, {.status = 500}, {.status = 500}});
  try {
    model.embed_documents(texts(6));
    FAIL() << "no exception";
  } catch (const quellin::HttpError& e) {
    EXPECT_EQ(e.status(), 500u);
  }
  EXPECT_EQ(server.requests(), 3u);  // batch 2 tried twice; batch 3 never sent
  // The model stays usable: the next call starts afresh.
  EXPECT_EQ(model.embed_documents(texts(3)).size(), 3u);
}

TEST(OpenAIEmbeddings, AFailureCancelsTheBatchesInFlight) {
  // One batch is refused at once while the other is never answered. The call ends with the
  // refusal and the unanswered request is cancelled: had it been left to its time limit, it
  // would have been sent again (a timeout is retried).
  tavrin::testing::LoopbackServer server([](const std::string& request) {
    if (request.find("refused") != std::string::npos) {
      return tavrin::testing::Reply{
          tavrin::testing::reply_with("400 Bad Request", R"({"error":"no"})")};
    }
    return tavrin::testing::Reply{"", tavrin::testing::Reply::Then::kKeepOpen};
  });
  OpenAIEmbeddingsOptions options = in_turn(1);
  options.max_in_flight = 2;
  options.client.timeout.total = 20s;
  OpenAIEmbeddings model(server.url("/v1"), kKey, "m", options);
  try {
    model.embed_documents({"stalled", "refused"});
    FAIL() << "no exception";
  } catch (const quellin::HttpError& e) {
    EXPECT_EQ(e.status(), 400u);
  }
  EXPECT_TRUE(server.wait_closed_by_client(1));
  const auto requests = server.requests();
  EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                          [](const std::string& r) { return r.find("stalled") != r.npos; }),
            1);
}

TEST(OpenAIEmbeddings, Base64RepliesAreDecoded) {
  OpenAiServer server;
  OpenAIEmbeddingsOptions options = in_turn(64);
  options.encoding_format = "base64";
  OpenAIEmbeddings model(server.url("/v1"), kKey, "m", options);
  // Little-endian float32 of {1, -2.5, 0.1} and {0, 0, 1}.
  server.script({{.body = R"({"object":"list","data":[)"
                          R"({"object":"embedding","index":1,"embedding":"AAAAAAAAAAAAAIA/"},)"
                          R"({"object":"embedding","index":0,"embedding":"AACAPwAAIMDNzMw9"}]})"}});
  EXPECT_EQ(model.embed_documents({"a", "b"}), (Vectors{{1.0f, -2.5f, 0.1f}, {0, 0, 1}}));
  EXPECT_EQ(body_of(server.received().at(0))["encoding_format"], "base64");
}

TEST(OpenAIEmbeddings, AwaitedQueriesLeaveTheCallersExecutorFreeAndGiveTheSameVectors) {
  OpenAiServer server;
  OpenAIEmbeddings model(server.url("/v1"), kKey, "m", in_turn(2));
  const Vectors expected = model.embed_documents(texts(5));
  server.script({{.delay = 200ms}, {.delay = 200ms}, {.delay = 200ms}});
  boost::asio::io_context io;
  Vectors awaited;
  bool ticked_meanwhile = false;
  boost::asio::co_spawn(io, model.async_embed_queries(texts(5)),
                        [&](std::exception_ptr e, Vectors vectors) {
                          ASSERT_FALSE(e);
                          awaited = std::move(vectors);
                        });
  boost::asio::steady_timer tick(io, 50ms);
  tick.async_wait([&](boost::system::error_code) { ticked_meanwhile = awaited.empty(); });
  io.run();
  EXPECT_EQ(awaited, expected);
  EXPECT_TRUE(ticked_meanwhile);
  EXPECT_EQ(model.endpoint(), server.url("/v1/embeddings"));

  // The same errors as the synchronous call.
  server.script({{.status = 400}});
  boost::asio::io_context again;
  std::string error;
  boost::asio::co_spawn(again, model.async_embed_queries({"x"}),
                        [&](std::exception_ptr e, const Vectors&) {
                          try {
                            std::rethrow_exception(e);
                          } catch (const quellin::HttpError& failure) {
                            error = failure.what();
                          }
                        });
  again.run();
  EXPECT_EQ(error.rfind("HTTP status 400 Bad Request: ", 0), 0u) << error;
}

TEST(OpenAIEmbeddings, AnEmptyListSendsNothing) {
  OpenAiServer server;
  OpenAIEmbeddings model(server.url("/v1"), kKey, "m");
  EXPECT_TRUE(model.embed_documents({}).empty());
  EXPECT_EQ(server.connections(), 0u);
  EXPECT_EQ(server.requests(), 0u);
}

TEST(OpenAIEmbeddings, TheKeyIsInNoMessage) {
  OpenAiServer server;
  OpenAIEmbeddingsOptions options = in_turn(64);
  options.client.retry.max_retries = 0;
  options.headers = {{"api-key", "azure-SECRET-0123456789"}};
  OpenAIEmbeddings model(server.url("/v1"), kKey, "m", options);
  const std::string echoed =
      std::string("Key azure-SECRET-0123456789 or ") + kKey + " refused for this request";
  server.script({{.status = 401, .body = Json({{"error", {{"message", echoed}}}}).dump()},
                 {.body = Json({{"error", {{"message", echoed}}}}).dump()}});
  std::vector<std::string> messages;
  try {
    model.embed_query("x");
  } catch (const quellin::HttpError& e) {
    messages.push_back(e.what());
    messages.push_back(e.body());
  }
  try {
    model.embed_query("x");
  } catch (const ValueError& e) {
    messages.push_back(e.what());
  }
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[2],
            R"(OpenAIEmbeddings batch 1 of 1 (texts 0 to 0): the reply has no "data" array but )"
            R"(an "error": "Key *** or *** refused for this request")");
  for (const auto& message : messages) {
    EXPECT_EQ(message.find("SECRET"), std::string::npos) << message;
    EXPECT_NE(message.find("***"), std::string::npos) << message;
  }
  const std::string head = server.received().at(0).head;
  EXPECT_NE(head.find("\r\napi-key: azure-SECRET-0123456789\r\n"), std::string::npos) << head;
}

TEST(OpenAIEmbeddings, TheEndpointIsTheBaseUrlWithEmbeddings) {
  const std::pair<const char*, const char*> urls[] = {
      {"https://api.openai.com/v1", "https://api.openai.com/v1/embeddings"},
      {"http://localhost:11434/v1/", "http://localhost:11434/v1/embeddings"},
      {"http://localhost:8080/v1/embeddings", "http://localhost:8080/v1/embeddings"},
      {"HTTPS://gw.example/openai/deployments/e3?api-version=2024-02-01",
       "HTTPS://gw.example/openai/deployments/e3/embeddings?api-version=2024-02-01"},
      {"http://h:1/compatible-mode/v1//?a=/b", "http://h:1/compatible-mode/v1/embeddings?a=/b"},
  };
  for (const auto& [base, url] : urls) EXPECT_EQ(OpenAIEmbeddings(base, "", "m").url(), url);

  tavrin::testing::LoopbackServer server([](const std::string&) {
    return tavrin::testing::Reply{tavrin::testing::ok_json(R"({"data":[{"embedding":[1]}]})")};
  });
  OpenAIEmbeddings model(server.url("/v1?api-version=1"), "", "m");
  EXPECT_EQ(model.embed_query("x"), std::vector<float>{1});
  const std::string head = server.requests().at(0);
  EXPECT_TRUE(head.starts_with("POST /v1/embeddings?api-version=1 HTTP/1.1\r\n")) << head;
  EXPECT_EQ(head.find("Authorization"), std::string::npos) << head;  // no key, no header
}

TEST(OpenAIEmbeddings, BadSettingsAreRefusedBeforeAnythingIsSent) {
  using Set = void (*)(OpenAIEmbeddingsOptions&);
  const auto refuse = [](Set set, const std::string& message, const char* base = "http://h/v1",
                         const char* model = "m") {
    OpenAIEmbeddingsOptions options;
    set(options);
    expect_error<ValueError>([&] { OpenAIEmbeddings(base, kKey, model, options); }, message);
  };
  const Set as_is = [](OpenAIEmbeddingsOptions&) {};
  refuse(as_is, "OpenAIEmbeddings base_url must start with http:// or https://", "ftp://h/v1");
  refuse(as_is, "OpenAIEmbeddings base_url must start with http:// or https://", "");
  refuse(as_is, "OpenAIEmbeddings model must not be empty", "http://h/v1", "");
  refuse([](OpenAIEmbeddingsOptions& o) { o.batch_size = 0; },
         "OpenAIEmbeddings batch_size must be at least 1, not 0");
  refuse([](OpenAIEmbeddingsOptions& o) { o.max_in_flight = 0; },
         "OpenAIEmbeddings max_in_flight must be at least 1, not 0");
  refuse([](OpenAIEmbeddingsOptions& o) { o.dimensions = 0; },
         "OpenAIEmbeddings dimensions must be at least 1, not 0");
  refuse([](OpenAIEmbeddingsOptions& o) { o.encoding_format = "Base64"; },
         R"(OpenAIEmbeddings encoding_format must be "float" or "base64", not "Base64")");
  for (const Json& headers : {Json{{"api-key", 1}}, Json::array()}) {
    OpenAIEmbeddingsOptions options;
    options.headers = headers;
    expect_error<TypeError>([&] { OpenAIEmbeddings("http://h/v1", kKey, "m", options); },
                            "OpenAIEmbeddings headers must be an object of text values");
  }

  OpenAiServer server;
  OpenAIEmbeddings model(server.url("/v1"), kKey, "m");
  expect_error<ValueError>(
      [&] {
        model.embed_documents({"fine", "bad \xFF byte"});
      },
      "OpenAIEmbeddings text 1 is not valid UTF-8 at its byte 4");
  EXPECT_EQ(server.requests(), 0u);
}

}  // namespace
}  // namespace tavrin::openai
