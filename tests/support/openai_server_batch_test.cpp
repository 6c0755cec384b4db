// The stand-in's files and batches, driven by quellin's client as a batch job drives them:
// upload, create, retrieve until done, download the results.
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "quellin/client.hpp"
#include "tests/support/openai_server.hpp"
#include "tests/support/run_awaitable.hpp"
#include "tests/support/test_helpers.hpp"

namespace {

namespace asio = boost::asio;
using Json = nlohmann::ordered_json;
using tavrin::testing::OpenAiServer;
using namespace std::chrono_literals;

const Json kHeaders = {{"Authorization", "Bearer sk-test"}, {"Content-Type", "application/json"}};

Json chat_body(const std::string& prompt) {
  return {{"model", "m"},
          {"messages", {{{"role", "user"}, {"content", prompt}}}},
          {"max_tokens", 4},
          {"logprobs", true}};
}

Json line(const std::string& custom_id, const std::string& prompt) {
  return {{"custom_id", custom_id},
          {"method", "POST"},
          {"url", "/v1/chat/completions"},
          {"body", chat_body(prompt)}};
}

std::string jsonl(const std::vector<Json>& lines) {
  std::string text;
  for (const Json& each : lines) text += each.dump() + "\n";
  return text;
}

// A client of the stand-in with a folder for the files it sends and receives.
struct Session {
  explicit Session(OpenAiServer& s) : server(s) {}

  template <class T>
  T run(asio::awaitable<T> op) {
    return tavrin::testing::run(context, std::move(op));
  }

  Json upload(const std::string& bytes, const std::string& purpose = "batch") {
    const std::string path = dir / ("in" + std::to_string(++files) + ".jsonl");
    std::ofstream(path, std::ios::binary) << bytes;
    return run(client.upload(server.url("/v1/files"), kHeaders,
                             {.fields = {{"purpose", purpose}}, .path = path}));
  }
  Json create(const Json& request) {
    return run(client.post(server.url("/v1/batches"), kHeaders, request));
  }
  Json create_from(const std::string& file_id) {
    return create({{"input_file_id", file_id},
                   {"endpoint", "/v1/chat/completions"},
                   {"completion_window", "24h"}});
  }
  Json get(const std::string& path) { return run(client.get(server.url(path), kHeaders)); }
  std::string content(const Json& file_id) {
    const std::string to = dir / "downloaded";
    run(client.download(server.url("/v1/files/" + file_id.get<std::string>() + "/content"),
                        kHeaders, to));
    return tavrin::testing::file_contents(to);
  }
  std::vector<Json> lines_of(const Json& file_id) {
    std::vector<Json> lines;
    std::istringstream in(content(file_id));
    for (std::string text; std::getline(in, text);) lines.push_back(Json::parse(text));
    return lines;
  }
  // The statuses that retrieves show until the batch ends, and its last object, which a
  // further retrieve leaves as it is.
  std::vector<std::string> poll(const std::string& id, Json& last) {
    const std::set<std::string> ends = {"completed", "failed", "expired", "cancelled"};
    std::vector<std::string> seen;
    while (seen.size() < 10 && (seen.empty() || !ends.contains(seen.back()))) {
      last = get("/v1/batches/" + id);
      seen.push_back(last["status"].get<std::string>());
    }
    EXPECT_EQ(get("/v1/batches/" + id), last);
    return seen;
  }
  // The status and error of a call that is to fail.
  std::pair<unsigned, Json> refusal(const std::function<void()>& call) {
    try {
      call();
    } catch (const quellin::HttpError& e) {
      return {e.status(), Json::parse(e.body())["error"]};
    }
    return {0, nullptr};
  }

  OpenAiServer& server;
  asio::io_context context;
  quellin::Client client{context.get_executor(), quellin::client_options(0, 30)};
  tavrin::testing::TempDir dir;
  int files = 0;
};

std::vector<std::string> custom_ids(const std::vector<Json>& lines) {
  std::vector<std::string> ids;
  for (const Json& each : lines) ids.push_back(each["custom_id"].get<std::string>());
  return ids;
}

TEST(OpenAiServerBatch, ABatchRunsFromUploadToItsOutputAndErrorFiles) {
  OpenAiServer server({.batch_failed_ids = {"b"}});
  Session session(server);
  const std::string input = jsonl({line("a", "first prompt"), line("b", "x"), line("c", "三个字")});
  const Json file = session.upload(input);
  Json shown = file;
  shown.erase("created_at");
  EXPECT_EQ(shown, Json({{"id", "file-1"},
                         {"object", "file"},
                         {"bytes", input.size()},
                         {"filename", "in1.jsonl"},
                         {"purpose", "batch"}}));
  EXPECT_EQ(session.content(file["id"]), input);

  const Json metadata = {{"z", "last first"}, {"a", "1"}};
  const Json created = session.create({{"input_file_id", file["id"]},
                                       {"endpoint", "/v1/chat/completions"},
                                       {"completion_window", "24h"},
                                       {"metadata", metadata}});
  EXPECT_EQ(created["id"], "batch_1");
  EXPECT_EQ(created["status"], "validating");
  EXPECT_TRUE(created["errors"].is_null() && created["output_file_id"].is_null());
  EXPECT_EQ(created["request_counts"], Json({{"total", 3}, {"completed", 0}, {"failed", 0}}));
  EXPECT_EQ(created["metadata"].dump(), metadata.dump());  // the keys in their order

  Json done;
  EXPECT_EQ(session.poll(created["id"].get<std::string>(), done),
            (std::vector<std::string>{"in_progress", "in_progress", "finalizing", "completed"}));
  EXPECT_EQ(done["request_counts"], Json({{"total", 3}, {"completed", 2}, {"failed", 1}}));

  // Each body is what the chat endpoint answers the same request with; the order is not kept.
  const std::vector<Json> output = session.lines_of(done["output_file_id"]);
  EXPECT_EQ(custom_ids(output), (std::vector<std::string>{"c", "a"}));
  for (const Json& each : output) {
    const std::string prompt = each["custom_id"] == "a" ? "first prompt" : "三个字";
    EXPECT_TRUE(each["id"].get<std::string>().starts_with("batch_req_")) << each;
    EXPECT_EQ(each["response"]["status_code"], 200);
    EXPECT_EQ(each["response"]["body"].dump(),
              session.run(session.client.post(server.url(), kHeaders, chat_body(prompt))).dump());
    EXPECT_TRUE(each["error"].is_null());
  }
  EXPECT_EQ(output[1]["response"]["body"]["choices"][0]["message"]["content"], "firs");
  const std::vector<Json> errors = session.lines_of(done["error_file_id"]);
  ASSERT_EQ(custom_ids(errors), std::vector<std::string>{"b"});
  EXPECT_EQ(errors[0]["response"]["status_code"], 400);
  EXPECT_EQ(errors[0]["response"]["body"],
            Json::parse(R"({"error":{"message":"stand-in: this request failed",)"
                        R"("type":"invalid_request_error","param":null,"code":null}})"));
  EXPECT_TRUE(errors[0]["error"].is_null());

  EXPECT_EQ(server.files_uploaded(), 1u);
  EXPECT_EQ(server.batches_created(), 1u);
  EXPECT_EQ(server.batch_custom_ids(0), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_THROW(server.batch_custom_ids(1), std::out_of_range);
}

TEST(OpenAiServerBatch, RefusesWhatOpenAiRefuses) {
  OpenAiServer server;
  Session session(server);
  const auto id = session.upload(jsonl({line("a", "p")}))["id"].get<std::string>();
  const auto create_with = [&](const char* key, const Json& value) {
    Json request = {
        {"input_file_id", id}, {"endpoint", "/v1/chat/completions"}, {"completion_window", "24h"}};
    request[key] = value;
    return session.refusal([&] { session.create(request); });
  };
  EXPECT_EQ(create_with("input_file_id", "file-99").first, 404u);
  EXPECT_EQ(create_with("endpoint", "/v1/completions").second["param"], "endpoint");
  EXPECT_EQ(create_with("completion_window", "1h").second["param"], "completion_window");
  EXPECT_EQ(create_with("metadata", "text").first, 400u);
  const auto [status, error] = session.refusal([&] { session.upload("{}\n", "fine-tune"); });
  EXPECT_EQ(status, 400u);
  EXPECT_EQ(error["param"], "purpose");
  EXPECT_EQ(session.refusal([&] { session.content("file-99"); }).first, 404u);
  EXPECT_EQ(session.refusal([&] { session.get("/v1/batches/batch_9"); }).second["message"],
            "No such Batch object: batch_9");
  EXPECT_EQ(server.files_uploaded(), 1u);
  EXPECT_EQ(server.batches_created(), 0u);
}

// The status line of `request` sent as it is.
std::string raw_status(const OpenAiServer& server, const std::string& request) {
  const std::string url = server.url("");
  asio::ip::tcp::iostream stream("127.0.0.1", url.substr(url.rfind(':') + 1));
  stream << request << std::flush;
  std::string status;
  std::getline(stream, status);
  return status;
}

std::string multipart(const std::string& content_type, const std::string& body) {
  return "POST /v1/files HTTP/1.1\r\nHost: x\r\nconnection: close\r\ncontent-type: " +
         content_type + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(OpenAiServerBatch, ReadsMultipartAsRfc7578WritesItAndRefusesWhatIsNot) {
  OpenAiServer server;
  // A preamble, a boundary that must be quoted, fields in another case, a quoted-pair in a
  // file name, a line in the file that starts like the delimiter, an epilogue.
  const std::string body =
      "preamble\r\n--b:1 x\r\nCONTENT-DISPOSITION: form-data; name=purpose\r\n\r\nbatch\r\n"
      "--b:1 x\r\ncontent-disposition: form-data;name=\"file\"; filename=\"a \\\"q\\\".jsonl\"\r\n"
      "Content-Type: application/jsonl\r\n\r\n{}\r\n--b:1\r\n--b:1 x--\r\nepilogue";
  EXPECT_EQ(raw_status(server, multipart(R"(multipart/form-data; boundary="b:1 x")", body)),
            "HTTP/1.1 200 OK\r");
  Session session(server);
  const Json file = session.get("/v1/files/file-1");
  EXPECT_EQ(file["filename"], "a \"q\".jsonl");
  EXPECT_EQ(session.content(file["id"]), "{}\r\n--b:1");

  const std::string part = "--b\r\nContent-Disposition: form-data; name=\"purpose\"\r\n\r\nbatch";
  for (const auto& [type, bad] : std::vector<std::pair<std::string, std::string>>{
           {"multipart/form-data; boundary=b", part + "\r\n"},  // never closed
           {"multipart/form-data", part + "\r\n--b--"},         // no boundary
           {"application/json", part + "\r\n--b--"},
           {"multipart/form-data; boundary=b", "--b\r\nContent-Type: text/plain\r\n\r\nx\r\n--b--"},
           {"multipart/form-data; boundary=b",
            "--b\r\nContent-Disposition: form-data; name=\"purpose\r\n\r\nx\r\n--b--"},
           {"multipart/form-data; boundary=b", part + "\r\n--b--"},  // no file part
       }) {
    EXPECT_EQ(raw_status(server, multipart(type, bad)), "HTTP/1.1 400 Bad Request\r") << bad;
  }
  EXPECT_EQ(server.files_uploaded(), 1u);
}

TEST(OpenAiServerBatch, TheFirstBatchExpiresWithItsFirstLinesAndCancelAnswersNone) {
  OpenAiServer server({.batch_polls_in_progress = 1, .batch_expire_after = 2});
  Session session(server);
  const auto file_id =
      session.upload(jsonl({line("a", "1"), line("b", "2"), line("c", "3"), line("d", "4")}))["id"]
          .get<std::string>();
  Json expired;
  EXPECT_EQ(session.poll(session.create_from(file_id)["id"].get<std::string>(), expired),
            (std::vector<std::string>{"in_progress", "expired"}));
  EXPECT_EQ(expired["request_counts"], Json({{"total", 4}, {"completed", 2}, {"failed", 2}}));
  EXPECT_TRUE(expired["expired_at"].is_number());
  const std::vector<Json> answered = session.lines_of(expired["output_file_id"]);
  EXPECT_EQ(custom_ids(answered), (std::vector<std::string>{"b", "a"}));
  const std::vector<Json> unanswered = session.lines_of(expired["error_file_id"]);
  EXPECT_EQ(custom_ids(unanswered), (std::vector<std::string>{"d", "c"}));
  for (const Json& each : unanswered) {
    EXPECT_TRUE(each["response"].is_null());
    EXPECT_EQ(each["error"], Json({{"code", "batch_expired"},
                                   {"message",
                                    "This request could not be executed before the completion "
                                    "window expired."}}));
  }

  // The same file again: only the first batch expires.
  Json completed;
  EXPECT_EQ(session.poll(session.create_from(file_id)["id"].get<std::string>(), completed).back(),
            "completed");
  EXPECT_EQ(completed["request_counts"]["completed"], 4);
  EXPECT_TRUE(completed["error_file_id"].is_null());

  const auto third = session.create_from(file_id)["id"].get<std::string>();
  EXPECT_EQ(session.get("/v1/batches/" + third)["status"], "in_progress");
  const auto cancel = [&] {
    return session.run(session.client.post(server.url("/v1/batches/" + third + "/cancel"), kHeaders,
                                           Json::object()));
  };
  EXPECT_EQ(cancel()["status"], "cancelling");
  Json cancelled;
  EXPECT_EQ(session.poll(third, cancelled), (std::vector<std::string>{"cancelled"}));
  EXPECT_TRUE(cancelled["output_file_id"].is_null());
  EXPECT_EQ(cancelled["request_counts"], Json({{"total", 4}, {"completed", 0}, {"failed", 4}}));
  const std::vector<Json> dropped = session.lines_of(cancelled["error_file_id"]);
  ASSERT_EQ(dropped.size(), 4u);
  EXPECT_EQ(dropped[0]["error"]["code"], "batch_cancelled");
  EXPECT_EQ(session.refusal(cancel).first, 400u);  // a cancelled batch is done
  EXPECT_EQ(server.batches_created(), 3u);
}

TEST(OpenAiServerBatch, AnInvalidLineFailsTheBatchWithEachFaultAndItsLine) {
  OpenAiServer server;
  Session session(server);
  Json wrong_url = line("u", "p");
  wrong_url["url"] = "/v1/embeddings";
  Json get = line("g", "p");
  get["method"] = "GET";
  Json text_body = line("t", "p");
  text_body["body"] = "p";
  const std::string input = jsonl({line("a", "p"), wrong_url, line("a", "again"), get, text_body}) +
                            "not json\n" + Json({{"method", "POST"}}).dump() + "\n";
  const Json created = session.create_from(session.upload(input)["id"].get<std::string>());
  EXPECT_EQ(created["status"], "validating");
  Json failed;
  EXPECT_EQ(session.poll(created["id"].get<std::string>(), failed),
            (std::vector<std::string>{"failed"}));
  EXPECT_EQ(failed["errors"]["object"], "list");
  std::vector<std::pair<std::string, int>> faults;
  for (const Json& each : failed["errors"]["data"])
    faults.emplace_back(each["code"].get<std::string>(), each["line"].get<int>());
  EXPECT_EQ(faults, (std::vector<std::pair<std::string, int>>{{"mismatched_endpoint", 2},
                                                              {"duplicate_custom_id", 3},
                                                              {"invalid_method", 4},
                                                              {"invalid_body", 5},
                                                              {"invalid_json_line", 6},
                                                              {"missing_required_parameter", 7}}));
  EXPECT_TRUE(failed["failed_at"].is_number());
  EXPECT_TRUE(failed["output_file_id"].is_null() && failed["error_file_id"].is_null());
  EXPECT_EQ(server.batch_custom_ids(0), (std::vector<std::string>{"a", "u", "a", "g", "t"}));
}

TEST(OpenAiServerBatch, ListsNewestFirstInPagesAfterAnId) {
  OpenAiServer server;
  Session session(server);
  const auto file_id = session.upload(jsonl({line("a", "p")}))["id"].get<std::string>();
  std::vector<std::string> ids;
  for (int i = 0; i < 3; ++i) ids.push_back(session.create_from(file_id)["id"].get<std::string>());
  const auto page_ids = [](const Json& page) {
    std::vector<std::string> out;
    for (const Json& batch : page["data"]) out.push_back(batch["id"].get<std::string>());
    return out;
  };
  const Json first = session.get("/v1/batches?limit=2");
  EXPECT_EQ(first["object"], "list");
  EXPECT_EQ(page_ids(first), (std::vector<std::string>{ids[2], ids[1]}));
  EXPECT_EQ(first["first_id"], ids[2]);
  EXPECT_EQ(first["last_id"], ids[1]);
  EXPECT_EQ(first["has_more"], true);
  const Json second = session.get("/v1/batches?after=" + ids[1] + "&limit=2");
  EXPECT_EQ(page_ids(second), std::vector<std::string>{ids[0]});
  EXPECT_EQ(second["has_more"], false);
  const Json last = session.get("/v1/batches?after=" + ids[0]);
  EXPECT_TRUE(last["data"].empty() && last["first_id"].is_null() && last["last_id"].is_null());
  EXPECT_EQ(page_ids(session.get("/v1/batches")).size(), 3u);
  for (const char* query : {"?limit=0", "?limit=101", "?limit=x"}) {
    EXPECT_EQ(session.refusal([&] { session.get(std::string("/v1/batches") + query); }).first, 400u)
        << query;
  }
}

TEST(OpenAiServerBatch, ACreateReplyHeldBackLeavesTheBatchCreatedAndOthersServed) {
  OpenAiServer server({.batch_create_delay = 1500ms});
  Session session(server);
  const auto file_id = session.upload(jsonl({line("a", "p")}))["id"].get<std::string>();
  std::atomic<bool> replied = false;
  std::thread creating([&] {
    session.create_from(file_id);
    replied = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (server.batches_created() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  Session other(server);
  const Json listed = other.get("/v1/batches");
  EXPECT_FALSE(replied);
  EXPECT_EQ(listed["data"].size(), 1u);
  creating.join();
  EXPECT_TRUE(replied);
}

}  // namespace
