// The client's calls beyond a JSON POST: the reply's head handed to the caller, GET, a file
// uploaded as multipart/form-data and a reply body downloaded to a file, over real sockets.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "quellin/client.hpp"
#include "tests/support/loopback_server.hpp"
#include "tests/support/openai_server.hpp"
#include "tests/support/run_awaitable.hpp"
#include "tests/support/test_helpers.hpp"
#include "tests/support/transfer_files.hpp"

namespace {

namespace asio = boost::asio;
using Json = nlohmann::ordered_json;
using tavrin::testing::LoopbackServer;
using tavrin::testing::OpenAiServer;
using tavrin::testing::Reply;
using tavrin::testing::reply_with;
using namespace std::chrono_literals;

const Json kHeaders = {{"Authorization", "Bearer sk-secret"}, {"Content-Type", "application/json"}};

quellin::ClientOptions quick(unsigned max_retries = 2) {
  quellin::ClientOptions options;
  options.retry.max_retries = max_retries;
  options.retry.initial_backoff = 1ms;
  options.retry.max_backoff = 4ms;
  // A request framed wrong would leave the server waiting: the test fails instead of hanging.
  options.timeout.total = 60s;
  return options;
}

// A server that answers the given replies in turn, the last one again and again.
LoopbackServer answering(std::vector<Reply> replies) {
  auto next = std::make_shared<std::size_t>(0);
  return LoopbackServer([replies = std::move(replies), next](const std::string&) {
    const Reply& reply = replies[std::min(*next, replies.size() - 1)];
    ++*next;
    return reply;
  });
}

std::string status_reply(std::string_view status_line, std::string_view body = "{}") {
  return reply_with(status_line, body);
}

TEST(ReplyHead, FieldsOfA200AndOfA429ReachTheCaller) {
  OpenAiServer server;
  server.script({{.status = 429,
                  .headers = {{"x-ratelimit-remaining-tokens", "0"},
                              {"X-RateLimit-Reset-Requests", "1ms"},
                              {"Retry-After", "0"}}},
                 {.status = 200,
                  .body = R"({"ok":1})",
                  .headers = {{"x-ratelimit-remaining-tokens", "39000"},
                              {"Set-Cookie", "a=1"},
                              {"Set-Cookie", "b=2"}}},
                 {.status = 429, .headers = {{"x-ratelimit-remaining-requests", "0"}}}});
  asio::io_context context;
  quellin::Client client(context.get_executor(), quick(1));
  const Json payload = {{"model", "m"}};

  // 429, then 200: the head is the 200's, in the order received.
  quellin::CallInfo info;
  EXPECT_EQ(tavrin::testing::run(context, client.post(server.url(), kHeaders, payload, &info)),
            Json({{"ok", 1}}));
  EXPECT_EQ(info.attempts, 2u);
  EXPECT_EQ(info.reply.status, 200u);
  EXPECT_EQ(info.reply.find("X-RATELIMIT-REMAINING-TOKENS"), "39000");
  EXPECT_EQ(info.reply.find("x-ratelimit-reset-requests"), std::nullopt);
  EXPECT_EQ(info.reply.find("set-cookie"), "a=1");
  std::vector<std::string> cookies;
  for (const auto& field : info.reply.fields) {
    if (field.name == "Set-Cookie") cookies.push_back(field.value);
  }
  EXPECT_EQ(cookies, (std::vector<std::string>{"a=1", "b=2"}));

  // A 429 that ends the call leaves its own head.
  quellin::Client no_retry(context.get_executor(), quick(0));
  quellin::CallInfo refused;
  EXPECT_THROW(
      tavrin::testing::run(context, no_retry.post(server.url(), kHeaders, payload, &refused)),
      quellin::HttpError);
  EXPECT_EQ(refused.reply.status, 429u);
  EXPECT_EQ(refused.reply.find("x-ratelimit-remaining-requests"), "0");
}

TEST(ReplyHead, StaysEmptyWhenNoReplyCame) {
  asio::io_context context;
  quellin::Client client(context.get_executor(), quick(0));
  quellin::CallInfo info;
  const std::string url = "http://127.0.0.1:" + std::to_string(tavrin::testing::unused_port());
  EXPECT_THROW(tavrin::testing::run(context, client.get(url, kHeaders, &info)),
               quellin::TransportError);
  EXPECT_EQ(info.reply.status, 0u);
  EXPECT_TRUE(info.reply.fields.empty());
}

TEST(Get, SendsNoBodyAndIsRetriedLikeAPost) {
  LoopbackServer server = answering(
      {Reply{status_reply("503 Busy")}, Reply{status_reply("200 OK", R"({"id":"batch_1"})")}});
  asio::io_context context;
  quellin::Client client(context.get_executor(), quick());
  quellin::CallInfo info;
  EXPECT_EQ(tavrin::testing::run(
                context, client.get(server.url("/v1/batches/batch_1?x=1"), kHeaders, &info)),
            Json({{"id", "batch_1"}}));
  EXPECT_EQ(info.attempts, 2u);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1], "GET /v1/batches/batch_1?x=1 HTTP/1.1\r\nHost: 127.0.0.1:" +
                             std::to_string(server.port()) +
                             "\r\nAuthorization: Bearer sk-secret\r\nContent-Type: "
                             "application/json\r\n\r\n");
}

TEST(Get, ErrorsQuoteNoSecret) {
  LoopbackServer server =
      answering({Reply{status_reply("401 No", R"({"error":"bad key Bearer sk-secret"})")}});
  asio::io_context context;
  quellin::Client client(context.get_executor(), quick());
  tavrin::testing::expect_error<quellin::HttpError>(
      [&] { tavrin::testing::run(context, client.get(server.url(), kHeaders)); },
      R"(HTTP status 401 No: {"error":"bad key ***"})");
}

// A file whose bytes hold what a careless multipart writer would trip on.
std::string awkward_bytes(std::size_t size) {
  std::string bytes = "--\r\n\r\n--quellin-\r\nContent-Disposition: form-data\r\n\r\n";
  bytes += tavrin::testing::pattern_bytes(size - bytes.size(), 3);
  return bytes;
}

TEST(Upload, TheServerReceivesTheFieldsAndTheFileByteExactAfterA503) {
  tavrin::testing::TempDir dir;
  const std::string path = dir / "batch input.jsonl";
  // Several pieces of the reader, the last one short.
  const std::string bytes = awkward_bytes(3 * 64 * 1024 + 123);
  std::ofstream(path, std::ios::binary) << bytes;
  LoopbackServer server = answering(
      {Reply{status_reply("503 Busy")},
       Reply{status_reply("200 OK", R"({"id":"file-1","object":"file","purpose":"batch"})")}});
  asio::io_context context;
  quellin::Client client(context.get_executor(), quick());
  quellin::CallInfo info;
  const Json reply = tavrin::testing::run(
      context, client.upload(server.url("/v1/files"), kHeaders,
                             {.fields = {{"purpose", "batch"}, {"note", "a\r\nb"}},
                              .content_type = "application/jsonl",
                              .path = path},
                             &info));
  EXPECT_EQ(reply["id"], "file-1");
  EXPECT_EQ(info.attempts, 2u);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  // The retry sends the same bytes but for nothing: the file is read again from its start.
  for (const std::string& request : requests) {
    const auto form = tavrin::testing::parse_multipart(request);
    EXPECT_TRUE(form.head.starts_with("POST /v1/files HTTP/1.1\r\n")) << form.head;
    EXPECT_NE(form.head.find("\r\nAuthorization: Bearer sk-secret\r\n"), std::string::npos);
    // The caller's JSON Content-Type gives way to the multipart one.
    EXPECT_EQ(form.head.find("application/json"), std::string::npos);
    ASSERT_EQ(form.parts.size(), 3u);
    EXPECT_EQ(form.parts[0].disposition, R"(form-data; name="purpose")");
    EXPECT_EQ(form.parts[0].body, "batch");
    EXPECT_EQ(form.parts[1].body, "a\r\nb");
    EXPECT_EQ(form.parts[2].disposition, R"(form-data; name="file"; filename="batch input.jsonl")");
    EXPECT_EQ(form.parts[2].content_type, "application/jsonl");
    EXPECT_TRUE(form.parts[2].body == bytes) << "the file part differs from the file";
  }
  // A new boundary for each call, not one per process.
  const std::string first = tavrin::testing::parse_multipart(requests[0]).head;
  tavrin::testing::run(context, client.upload(server.url("/v1/files"), kHeaders, {.path = path}));
  const std::string later = tavrin::testing::parse_multipart(server.requests()[2]).head;
  EXPECT_NE(first.substr(first.find("boundary=")), later.substr(later.find("boundary=")));
}

TEST(Upload, AnEmptyFileIsAnEmptyPart) {
  tavrin::testing::TempDir dir;
  const std::string path = dir / "empty";
  std::ofstream(path, std::ios::binary).flush();
  LoopbackServer server = answering({Reply{status_reply("200 OK", R"({"id":"f"})")}});
  asio::io_context context;
  quellin::Client client(context.get_executor(), quick());
  tavrin::testing::run(context, client.upload(server.url(), Json::object(),
                                              {.file_name = "named.jsonl", .path = path}));
  const auto form = tavrin::testing::parse_multipart(server.requests().at(0));
  ASSERT_EQ(form.parts.size(), 1u);
  EXPECT_EQ(form.parts[0].disposition, R"(form-data; name="file"; filename="named.jsonl")");
  EXPECT_EQ(form.parts[0].content_type, "application/octet-stream");
  EXPECT_EQ(form.parts[0].body, "");
}

TEST(Upload, NamesThatCouldBreakOutOfTheirQuotesAreRefusedBeforeSending) {
  tavrin::testing::TempDir dir;
  const std::string path = dir / "in.jsonl";
  std::ofstream(path) << "{}\n";
  LoopbackServer server = answering({Reply{status_reply("200 OK")}});
  asio::io_context context;
  quellin::Client client(context.get_executor(), quick());
  const auto refused = [&](const quellin::MultipartForm& form) {
    return tavrin::testing::error_message<quellin::ValueError>(
        [&] { tavrin::testing::run(context, client.upload(server.url(), kHeaders, form)); },
        "ValueError");
  };
  EXPECT_EQ(
      refused({.file_name = "a\r\nX-Injected: 1", .path = path}),
      R"(multipart file name "a\x0d\x0aX-Injected: 1" holds a control character, '"' or '\')");
  EXPECT_EQ(refused({.file_name = "a\nb", .path = path}),
            R"(multipart file name "a\x0ab" holds a control character, '"' or '\')");
  EXPECT_EQ(refused({.file_name = R"(a"; name="x)", .path = path}),
            R"(multipart file name "a"; name="x" holds a control character, '"' or '\')");
  EXPECT_EQ(refused({.file_name = R"(a\)", .path = path}),
            R"(multipart file name "a\" holds a control character, '"' or '\')");
  EXPECT_EQ(refused({.fields = {{"pur\rpose", "batch"}}, .path = path}),
            R"(multipart field name "pur\x0dpose" holds a control character, '"' or '\')");
  EXPECT_EQ(refused({.content_type = "text/plain\r\nX: 1", .path = path}),
            R"(multipart content type "text/plain\x0d\x0aX: 1" holds CR, LF or NUL)");
  EXPECT_TRUE(server.requests().empty());
  // A name in UTF-8 goes as it is (RFC 7578, 4.2).
  tavrin::testing::run(
      context, client.upload(server.url(), kHeaders, {.file_name = "数据.jsonl", .path = path}));
  EXPECT_EQ(tavrin::testing::parse_multipart(server.requests().at(0)).parts[0].disposition,
            R"(form-data; name="file"; filename="数据.jsonl")");
}

TEST(Upload, AFileThatCannotBeReadIsItsFilesystemErrorAndNothingIsSent) {
  tavrin::testing::TempDir dir;
  LoopbackServer server = answering({Reply{status_reply("200 OK")}});
  asio::io_context context;
  quellin::Client client(context.get_executor(), quick());
  EXPECT_THROW(tavrin::testing::run(
                   context, client.upload(server.url(), kHeaders, {.path = dir / "missing.jsonl"})),
               std::filesystem::filesystem_error);
  EXPECT_TRUE(server.requests().empty());
}

// A reply that announces `announced` bytes and carries `body`.
std::string body_reply(std::string_view body, std::size_t announced) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(announced) + "\r\n\r\n" +
         std::string(body);
}

std::string chunked_reply(std::string_view body, std::size_t piece) {
  std::string bytes = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (std::size_t at = 0; at < body.size(); at += piece) {
    const auto part = body.substr(at, piece);
    char size[20];
    std::snprintf(size, sizeof size, "%zx\r\n", part.size());
    bytes += size + std::string(part) + "\r\n";
  }
  return bytes + "0\r\n\r\n";
}

struct Download {
  std::optional<std::uint64_t> written;
  std::string error;  // what() of the exception, empty when none
  quellin::CallInfo info;
};

Download download(LoopbackServer& server, const std::filesystem::path& to, unsigned max_retries,
                  std::uint64_t max_bytes = quellin::kDownloadLimit) {
  asio::io_context context;
  quellin::Client client(context.get_executor(), quick(max_retries));
  Download outcome;
  try {
    outcome.written =
        tavrin::testing::run(context, client.download(server.url("/v1/files/file-1/content"),
                                                      kHeaders, to, &outcome.info, max_bytes));
  } catch (const std::exception& e) {
    outcome.error = e.what();
  }
  return outcome;
}

TEST(Download, WritesTheBodyByteExactWhateverItsFraming) {
  const std::string body = tavrin::testing::pattern_bytes(200 * 1024 + 7, 11);
  for (const std::string& reply : {body_reply(body, body.size()), chunked_reply(body, 5000),
                                   "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body}) {
    tavrin::testing::TempDir dir;
    LoopbackServer server = answering({Reply{reply}});
    const Download outcome = download(server, dir / "out.jsonl", 0);
    EXPECT_EQ(outcome.error, "");
    EXPECT_EQ(outcome.written, body.size());
    EXPECT_TRUE(tavrin::testing::file_contents(dir / "out.jsonl") == body);
    EXPECT_EQ(tavrin::testing::names_in(dir.path()), std::vector<std::string>{"out.jsonl"});
    EXPECT_TRUE(server.requests().at(0).starts_with("GET /v1/files/file-1/content HTTP/1.1\r\n"));
  }
}

TEST(Download, ARetryAfterABodyCutMidwayStartsTheFileAfresh) {
  tavrin::testing::TempDir dir;
  const std::string body = tavrin::testing::pattern_bytes(100 * 1024, 5);
  const std::string other = tavrin::testing::pattern_bytes(30 * 1024, 6);
  LoopbackServer server =
      answering({Reply{body_reply(body.substr(0, body.size() / 2), body.size())},
                 Reply{status_reply("503 Busy")}, Reply{body_reply(other, other.size())}});
  const Download outcome = download(server, dir / "out", 2);
  EXPECT_EQ(outcome.error, "");
  EXPECT_EQ(outcome.info.attempts, 3u);
  EXPECT_EQ(outcome.written, other.size());
  EXPECT_TRUE(tavrin::testing::file_contents(dir / "out") == other);
  EXPECT_EQ(tavrin::testing::names_in(dir.path()), std::vector<std::string>{"out"});
}

TEST(Download, AFailureLeavesNoFileUnderTheNameAndNoTemporary) {
  const std::string body = tavrin::testing::pattern_bytes(100 * 1024, 9);
  struct Case {
    std::string name;
    std::string reply;
    std::uint64_t max_bytes;
    std::string message_start;
  };
  const std::vector<Case> cases = {
      {"cut midway", body_reply(body.substr(0, 60000), body.size()), quellin::kDownloadLimit,
       "quellin: connection closed before the reply ended"},
      {"announced over the limit", body_reply(body, body.size()), 64 * 1024,
       "quellin: download body over its limit of 65536 bytes"},
      {"chunked over the limit", chunked_reply(body, 4096), 64 * 1024,
       "quellin: download body over its limit of 65536 bytes"},
      {"an error status",
       reply_with("404 Not Found", R"({"error":"no file for Bearer sk-secret"})"),
       quellin::kDownloadLimit, R"(HTTP status 404 Not Found: {"error":"no file for ***"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tavrin::testing::TempDir dir;
    LoopbackServer server = answering({Reply{c.reply}});
    const Download outcome = download(server, dir / "out", 1, c.max_bytes);
    EXPECT_TRUE(outcome.error.starts_with(c.message_start)) << outcome.error;
    EXPECT_TRUE(tavrin::testing::names_in(dir.path()).empty());
    // What was there before stays as it was.
    std::ofstream(dir / "kept") << "old";
    const Download again = download(server, dir / "kept", 0, c.max_bytes);
    EXPECT_TRUE(again.error.starts_with(c.message_start)) << again.error;
    EXPECT_EQ(tavrin::testing::names_in(dir.path()), std::vector<std::string>{"kept"});
    EXPECT_EQ(tavrin::testing::file_contents(dir / "kept"), "old");
  }
}

TEST(Download, CancellationEndsItAndRemovesTheTemporary) {
  tavrin::testing::TempDir dir;
  const std::string body = tavrin::testing::pattern_bytes(50 * 1024, 4);
  // Half the body, then silence: the call is in the middle of the body when cancelled.
  LoopbackServer server = answering(
      {Reply{body_reply(body.substr(0, body.size() / 2), body.size()), Reply::Then::kKeepOpen}});
  asio::io_context context;
  quellin::Client client(context.get_executor(), quick());
  asio::cancellation_signal cancel;
  std::exception_ptr failure;
  asio::co_spawn(context, client.download(server.url(), kHeaders, dir / "out"),
                 asio::bind_cancellation_slot(
                     cancel.slot(), [&](std::exception_ptr e, std::uint64_t) { failure = e; }));
  asio::steady_timer later(context, 100ms);
  later.async_wait(
      [&](boost::system::error_code) { cancel.emit(asio::cancellation_type::terminal); });
  context.run();
  ASSERT_TRUE(failure);
  try {
    std::rethrow_exception(failure);
  } catch (const quellin::TransportError& e) {
    EXPECT_EQ(e.code(), asio::error::operation_aborted) << e.what();
  }
  EXPECT_TRUE(tavrin::testing::names_in(dir.path()).empty());
}

TEST(Download, AnErrorBodyIsReadWithinTheReplyLimitNotTheDownloadLimit) {
  tavrin::testing::TempDir dir;
  const std::string big(quellin::kBodyLimit + 1, 'x');
  LoopbackServer server = answering({Reply{reply_with("500 Oops", big, "text/plain")}});
  const Download outcome = download(server, dir / "out", 0);
  EXPECT_TRUE(outcome.error.starts_with("quellin: reply body over 64 MiB")) << outcome.error;
  EXPECT_TRUE(tavrin::testing::names_in(dir.path()).empty());
}

TEST(Download, ATargetThatCannotBeAFileIsRefusedBeforeSending) {
  tavrin::testing::TempDir dir;
  LoopbackServer server = answering({Reply{body_reply("x", 1)}});
  EXPECT_EQ(download(server, dir.path(), 0).error,
            "download target " + dir.path().string() + " is a folder, not a file");
  const std::string missing = download(server, dir.path() / "no folder" / "out", 0).error;
  EXPECT_NE(missing.find("quellin: cannot create the download's temporary file"), std::string::npos)
      << missing;
  EXPECT_TRUE(server.requests().empty());
}

}  // namespace
