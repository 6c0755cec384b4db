#include "tavrin/palisk.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quellin/quellin.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/json.hpp"
#include "tavrin/internal/reply_scan.hpp"
#include "tests/support/loopback_server.hpp"
#include "tests/support/peak_memory.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::palisk {
namespace {

using testing::LoopbackServer;
using testing::ok_json;
using testing::Reply;

const std::string kReply = R"({"choices":[{"message":{"content":"答案"}}]})";

LoopbackServer answering(std::string bytes) {
  return LoopbackServer([bytes](const std::string&) { return Reply{bytes}; });
}

// The bytes a request must have, given the headers in order and the body.
std::string request_bytes(const LoopbackServer& server, std::string_view target,
                          const std::vector<std::string>& header_lines, const std::string& body) {
  std::string out = "POST " + std::string(target) +
                    " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) + "\r\n";
  for (const auto& line : header_lines) out += line + "\r\n";
  return out + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(Chat, DefaultRequestBytesAndReplyUnchanged) {
  auto server = answering(ok_json(kReply));
  const Value reply =
      run_blocking(chat("你好 世界", server.url("/v1/chat/completions?a=1"), " k "));
  EXPECT_EQ(reply, Value::parse(kReply));
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(
      server.requests()[0],
      request_bytes(server, "/v1/chat/completions?a=1",
                    {"Content-Type: application/json", "Authorization: Bearer  k "},
                    R"({"model":"qwen-max","messages":[{"role":"user","content":"你好 世界"}],)"
                    R"("temperature":0.1})"));
}

TEST(Chat, IntegerTemperatureIsSentAsFloat) {
  auto server = answering(ok_json("{}"));
  run_blocking(chat("p", server.url(), "k", "m", 1));
  const std::string request = server.requests()[0];
  EXPECT_EQ(request.substr(request.find("\r\n\r\n") + 4),
            R"({"model":"m","messages":[{"role":"user","content":"p"}],"temperature":1.0})");
}

TEST(Chat, NoneMeansDefaultsAndGivenMappingsGoAsTheyAre) {
  const std::string defaults_body =
      R"({"model":"qwen-max","messages":[{"role":"user","content":"p"}],"temperature":0.1})";
  const std::vector<std::string> default_headers = {"Content-Type: application/json",
                                                    "Authorization: Bearer k"};
  struct Case {
    const char* name;
    std::optional<Value> headers;
    std::optional<Value> payload;
    std::vector<std::string> header_lines;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"left out", std::nullopt, std::nullopt, default_headers, defaults_body},
      {"null values", Value(nullptr), Value(nullptr), default_headers, defaults_body},
      {"empty payload", std::nullopt, Value::object(), default_headers, "{}"},
      {"given headers, key unused",
       Value({{"X-Api-Key", "other"}}),
       std::nullopt,
       {"X-Api-Key: other"},
       defaults_body},
      {"empty headers", Value::object(), Value({{"q", 1}}), {}, R"({"q":1})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto server = answering(ok_json("{}"));
    run_blocking(chat("p", server.url(), "k", "qwen-max", 0.1, c.headers, c.payload));
    EXPECT_EQ(server.requests().at(0), request_bytes(server, "/", c.header_lines, c.body));
  }
}

TEST(Chat, NothingIsSentUntilAwaited) {
  auto server = answering(ok_json("{}"));
  {
    auto pending = chat("p", server.url(), "k");
    auto pending_response = llm_response(server.url(), "k", "p");
  }
  run_blocking(chat("p", server.url(), "k"));  // the server works: one request arrives
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST(Chat, TransportFailuresReachTheCallerUnchanged) {
  auto server = answering(testing::reply_with("429 Too Many Requests", R"({"error":"slow"})"));
  try {
    run_blocking(chat("p", server.url(), "k"));
    FAIL() << "no failure";
  } catch (const quellin::HttpError& e) {
    EXPECT_EQ(e.status(), 429u);
    EXPECT_EQ(e.body(), R"({"error":"slow"})");
  }
  EXPECT_EQ(server.requests().size(), 1u);  // no retry
  EXPECT_THROW(run_blocking(chat("p", server.url(), "k", "m", 0.1, Value({{"X", 1}}))),
               quellin::TypeError);
}

TEST(LlmResponse, DefaultRequestBytes) {
  auto server = answering(ok_json(R"({"choices":[{"message":{"content":"{\"a\": 1}"}}]})"));
  EXPECT_EQ(run_blocking(llm_response(server.url("/chat"), "sk ", "问")), Value({{"a", 1}}));
  EXPECT_EQ(server.requests().at(0),
            request_bytes(server, "/chat",
                          {"Authorization: Bearer sk ", "Content-Type: application/json"},
                          R"({"model":"qwen3-max","messages":[{"role":"user","content":"问"}],)"
                          R"("temperature":1})"));
}

Value reply_with_content(const Value& content) {
  return Value(
      {{"choices", Value::array({Value({{"message", Value({{"content", content}})}}),
                                 Value({{"message", Value({{"content", "ignored"}})}})})}});
}

Value answer(const Value& reply, bool is_json) {
  auto server = answering(ok_json(reply.dump()));
  return run_blocking(llm_response(server.url(), "k", "p", "m", is_json));
}

TEST(LlmResponse, AnswerShapes) {
  EXPECT_EQ(answer(reply_with_content(R"({"产品": "手机", "n": [1]})"), true),
            Value::parse(R"({"产品":"手机","n":[1]})"));
  EXPECT_EQ(answer(reply_with_content("null"), true), Value(nullptr));
  EXPECT_EQ(answer(reply_with_content("```json\n{}\n```"), false), Value("```json\n{}\n```"));
  EXPECT_EQ(answer(reply_with_content(7), false), Value(7));
  EXPECT_THROW(answer(reply_with_content("```json\n{}\n```"), true), ValueError);
}

TEST(AnswerString, IsTheAnswerWhenItIsText) {
  EXPECT_EQ(answer_string(reply_with_content("好的")), "好的");
  tavrin::testing::expect_error<TypeError>([] { answer_string(reply_with_content(nullptr)); },
                                           "the reply's answer is null, not text");
  tavrin::testing::expect_error<TypeError>(
      [] { answer_string(reply_with_content(Value::array({1}))); },
      "the reply's answer is array, not text");
  EXPECT_THROW(answer_string(Value::object()), KeyError);
}

struct FailureCase {
  const char* name;
  Value reply;
  std::string message;
};

template <class Error>
void expect_failures(const std::vector<FailureCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      answer(c.reply, true);
      ADD_FAILURE() << "no failure";
    } catch (const Error& e) {
      EXPECT_EQ(e.what(), c.message);
    }
  }
}

TEST(LlmResponse, ReplyShapeFailures) {
  expect_failures<TypeError>({
      {"reply null", nullptr, R"(cannot read "choices" from the reply: it is null, not a mapping)"},
      {"reply a list", Value::array(),
       R"(cannot read "choices" from the reply: it is array, not a mapping)"},
      {"choices null", Value({{"choices", nullptr}}),
       R"(cannot take element 0 of "choices": it is null, not a list)"},
      {"choice null", Value({{"choices", Value::array({nullptr})}}),
       R"(cannot read "message" from "choices"[0]: it is null, not a mapping)"},
      {"message null", Value({{"choices", Value::array({Value({{"message", nullptr}})})}}),
       R"(cannot read "content" from "message": it is null, not a mapping)"},
      {"content a number", reply_with_content(3),
       "the answer must be text to parse as JSON, not integer"},
      {"content a JSON list", reply_with_content("[1]"),
       "the answer must be a JSON object or null, not array"},
      {"content a JSON string", reply_with_content(R"("s")"),
       "the answer must be a JSON object or null, not string"},
      {"content a JSON number", reply_with_content("1.5"),
       "the answer must be a JSON object or null, not float"},
      {"content a JSON bool", reply_with_content("true"),
       "the answer must be a JSON object or null, not bool"},
  });
  expect_failures<KeyError>({
      {"no choices", Value::object(), R"(the reply has no key "choices")"},
      {"no message", Value({{"choices", Value::array({Value::object()})}}),
       R"("choices"[0] has no key "message")"},
      {"no content", Value({{"choices", Value::array({Value({{"message", Value::object()}})})}}),
       R"("message" has no key "content")"},
  });
  expect_failures<IndexError>({
      {"empty choices", Value({{"choices", Value::array()}}), R"("choices" is an empty list)"},
  });
}

struct PostprocessCase {
  const char* name;
  std::string response;
  Value expected;
};

TEST(LlmPostprocess, RemovalsThenLiteralThenJsonThenText) {
  const std::vector<PostprocessCase> cases = {
      {"fenced, multi-line", "```json\n{\n  \"a\": 1,\n  \"b\": [true, null]\n}\n```",
       Value::parse(R"({"a":1,"b":[true,null]})")},
      {"python literal", "```\n{'a': (1, 2), 'b': None}\n```",
       Value::parse(R"({"a":[1,2],"b":null})")},
      {"blanks inside strings are lost", R"({"名 称": "手 机"})",
       Value::parse(R"({"名称":"手机"})")},
      {"CRLF lines keep the CR", "```json\r\n{\"a\": 1}\r\n```", Value::parse(R"({"a":1})")},
      {"prose around the fence", "Here it is:\n```json\n{\"a\": 1}\n```\nDone.",
       Value("Hereitis:{\"a\":1}Done.")},
      {"upper-case tag stays", "```JSON\n{\"a\": 1}\n```", Value("JSON{\"a\":1}")},
      {"empty", "", Value("")},
      {"plain Chinese", "这不是 JSON\n", Value("这不是JSON")},
      {"tabs stay", "\t[1]", Value::parse("[1]")},
      {"json tag removed before the fence", "``````json", Value("")},
      {"an empty set is a literal", "[set(), 1]", Value::parse("[[], 1]")},
      {"set under NFKC folding", "ｓｅｔ()", Value::array()},
      {"JSON's words inside strings", R"({"a": "true", "b": -1})",
       Value::parse(R"({"a":"true","b":-1})")},
      {"prose after the fence", "```json\n{\"a\": 1}\n```\n说明：无", Value("{\"a\":1}说明：无")},
      {"a name in a display", "[1, x]", Value("[1,x]")},
      {"a fault in a display", "{'a': 'never closed}", Value("{'a':'neverclosed}")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(llm_postprocess(c.response), c.expected);
  }
}

// Python's four str.replace calls, one after another, as the reference for the one pass.
std::string replaced_as_in_python(std::string text) {
  const auto remove_all = [&](const std::string& what) {
    std::string kept;
    for (std::size_t from = 0;;) {
      const std::size_t at = text.find(what, from);
      kept += text.substr(from, at == std::string::npos ? std::string::npos : at - from);
      if (at == std::string::npos) break;
      from = at + what.size();
    }
    text = kept;
  };
  for (const char* what : {"```json", "```", "\n", " "}) remove_all(what);
  return text;
}

// Runs of backticks, "json", blanks and line feeds at every offset of the blocks and words
// the pass reads. The leading Chinese makes both parsers refuse, so the text comes back.
TEST(LlmPostprocess, RemovalsAgreeWithTheFourReplacementsInOrder) {
  const std::vector<std::string> pieces = {"`",  "``", "```", "json", "```json", " ",
                                           "\n", "\r", "a",   "中文", "\t",      "js"};
  std::uint64_t state = 12;
  const auto next = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::size_t>(state >> 33);
  };
  for (int round = 0; round < 4000; ++round) {
    std::string reply = "中";
    const std::size_t count = next() % 40;
    for (std::size_t i = 0; i < count; ++i) reply += pieces[next() % pieces.size()];
    SCOPED_TRACE(reply);
    EXPECT_EQ(llm_postprocess(reply), Value(replaced_as_in_python(reply)));
  }
}

// A reply is cleaned on the stack up to a size and on the heap beyond it, alike either way.
TEST(LlmPostprocess, RepliesAroundTheStackRoomAreCleanedAlike) {
  for (std::size_t n = 950; n <= 1070; ++n) {
    SCOPED_TRACE(n);
    const std::string x(n, 'x');
    EXPECT_EQ(llm_postprocess("```json\n{\"k\": \"" + x + "\"}\n```"), Value({{"k", x}}));
    const std::string prose = "中 " + std::string(n % 7, '`') + " \n" + x + "```";
    EXPECT_EQ(llm_postprocess(prose), Value(replaced_as_in_python(prose)));
  }
}

// A large reply that both parsers refuse late costs its one cleaned copy and little more.
TEST(LlmPostprocess, RefusedLargeRepliesCostAtMostTwiceTheirSize) {
  constexpr std::size_t kSize = 6 << 20;
  const std::vector<std::string> replies = {
      testing::repeated("", "[", kSize),
      testing::repeated("", "{\"a\":", kSize),
      testing::repeated("[", "0,", kSize),
      testing::repeated("{'a':[", "1,", kSize, "}"),
      testing::repeated("{\"a\":[", "true,", kSize, "}"),
      testing::repeated("[", "[],", kSize),
  };
  for (const std::string& reply : replies) {
    SCOPED_TRACE(reply.substr(0, 12));
    EXPECT_TRUE(llm_postprocess(reply).is_string());
    const auto grown = testing::peak_memory_growth([&] { llm_postprocess(reply); });
    if (!grown) GTEST_SKIP() << "the peak memory cannot be measured here";
    EXPECT_LE(*grown, 2 * reply.size());
  }
}

// Where the literal parser refuses (true, NaN), json.loads reads what lies beyond the double.
TEST(LlmPostprocess, NotANumberAndInfinityAreFloatsAsInJsonLoads) {
  const Value v = llm_postprocess(
      "```json\n{\"score\": NaN, \"max\": Infinity, \"ok\": true, \"min\": -1E400}\n```");
  ASSERT_TRUE(v.is_object());
  EXPECT_TRUE(std::isnan(v["score"].get<double>()));
  EXPECT_EQ(v["max"].get<double>(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(v["ok"], true);
  EXPECT_EQ(v["min"].get<double>(), -std::numeric_limits<double>::infinity());
}

struct ScanCase {
  std::string text;
  bool may_be_json;
};

// The scan only skips the parser when it would refuse: each "false" is checked against it.
TEST(ReplyScan, RefusesOnlyWhatTheParserRefuses) {
  const std::vector<ScanCase> cases = {
      {R"({"a":true})", true},
      {R"({"a":"true","b":None,'c':False})", true},
      {"{'a':1}#true,中文", true},
      {R"(b'x'+rB"y"+f'{z}')", false},
      {R"(x'a')", false},
      {R"('it\'s null'+"""a"b""")", false},
      {"'''never closed null", false},
      {"[0x1F,1e-5,1_000,2j,.5]", true},
      {"中文", false},
      {"['中文',𝐍𝐨𝐧𝐞]", true},
      {"好的：{'a':1}", false},
      {"[ｓｅｔ(),1]", true},
      {"[set(),1]", true},
      {"frozenset()", true},
      {"Hereitis:{}", false},
      {"\r\t-1", true},
      {"NaN", true},
      {" \t", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(internal::may_be_json(c.text), c.may_be_json);
    if (!c.may_be_json) {
      EXPECT_ANY_THROW(json_loads(c.text));
    }
  }
}

TEST(RunBlocking, RethrowsTheFailureOfTheOperation) {
  EXPECT_THROW(run_blocking(llm_response("gopher://x", "k", "p")), quellin::ValueError);
}

}  // namespace
}  // namespace tavrin::palisk
