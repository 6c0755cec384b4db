#include "cli/common.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "quellin/client.hpp"
#include "tavrin/vectorstore/embeddings.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::cli {
namespace {

using tavrin::testing::TempDir;

void spill(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

template <class F>
std::string usage_error_of(F&& call) {
  return tavrin::testing::error_message<UsageError>(std::forward<F>(call), "UsageError");
}

TEST(ParseJsonLines, AByteOrderMarkBeforeTheJsonIsAllowed) {
  EXPECT_EQ(parse_json_lines("\xEF\xBB\xBF{\"id\": 1}\n", "p.jsonl").size(), 1u);
}

TEST(ParseJsonLines, SkipsBlankLinesAndAcceptsCrLf) {
  const auto records =
      parse_json_lines("{\"id\": 1}\r\n\n   \n{\"id\": 2, \"产品\": \"手机\"}", "p.jsonl");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["id"], 1);
  EXPECT_EQ(records[1]["产品"], "手机");
  EXPECT_TRUE(parse_json_lines("", "p.jsonl").empty());
}

TEST(ParseJsonLines, NamesTheLineOfABadRecord) {
  EXPECT_EQ(usage_error_of([] { parse_json_lines("{\"id\": 1}\n\n[1, 2]\n", "p.jsonl"); }),
            "p.jsonl line 3 must be a JSON object, not \"[1, 2]\"");
  EXPECT_EQ(usage_error_of([] {
              parse_json_lines("{}\n{\"id\": \n", "p.jsonl");
            }).rfind("p.jsonl line 2 is not valid JSON: ", 0),
            0u);
}

TEST(SplitNames, TrimsAndRejectsEmptyNames) {
  EXPECT_EQ(split_names(" product, category ,priority", "--fields"),
            (std::vector<std::string>{"product", "category", "priority"}));
  EXPECT_EQ(split_names("question", "--text"), (std::vector<std::string>{"question"}));
  for (const char* bad : {"", "a,,b", "a,", " "}) {
    EXPECT_EQ(usage_error_of([&] {
                split_names(bad, "--fields");
              }).rfind("--fields has an empty name in ", 0),
              0u)
        << bad;
  }
}

TEST(InQuotes, CutsWholeCharactersAndBlanksControls) {
  EXPECT_EQ(in_quotes("售后服务部", 14), "\"售后服务...\"");  // 3 bytes a character
  EXPECT_EQ(in_quotes("售后服务", 12), "\"售后服务\"");
  EXPECT_EQ(in_quotes("a\nb\tc"), "\"a b c\"");
  EXPECT_EQ(in_quotes(std::string(100, 'x')), "\"" + std::string(40, 'x') + "...\"");
}

LlmOptions llm_at(std::string url, std::string key) {
  LlmOptions options;
  options.url = std::move(url);
  options.key = std::move(key);
  return options;
}

TEST(ResolveEndpoint, NeedsAnAddressForAKey) {
  ::unsetenv("TAVRIN_LLM_KEY");
  EXPECT_FALSE(resolve_endpoint(llm_at("", "")).has_value());
  const auto endpoint = resolve_endpoint(llm_at("http://127.0.0.1:1/v1", ""));
  ASSERT_TRUE(endpoint.has_value());
  EXPECT_EQ(endpoint->url, "http://127.0.0.1:1/v1");
  const std::string message = usage_error_of([] { resolve_endpoint(llm_at("", "sk-secret")); });
  EXPECT_EQ(message, "an LLM key was given but no address: add --llm-url or set TAVRIN_LLM_URL");
  EXPECT_EQ(usage_error_of([] { require_endpoint(llm_at("", "")); }).rfind("no LLM endpoint: ", 0),
            0u);
}

TEST(ReadKeyFile, DropsOneLineBreakAndRefusesWhatIsNoKey) {
  TempDir dir;
  const struct {
    std::string content;
    std::string key;
  } good[] = {{"sk-1", "sk-1"}, {"sk-1\n", "sk-1"}, {"sk-1\r\n", "sk-1"}, {" sk 1 ", " sk 1 "}};
  for (const auto& c : good) {
    spill(dir / "key", c.content);
    EXPECT_EQ(read_key_file(dir / "key", "--llm-key-file"), c.key) << c.content;
  }
  const std::string where = "--llm-key-file " + in_quotes(dir / "key");
  for (const std::string empty : {"", "\n", "\r\n"}) {
    spill(dir / "key", empty);
    EXPECT_EQ(usage_error_of([&] { read_key_file(dir / "key", "--llm-key-file"); }),
              where + " holds no key");
  }
  for (const std::string& broken : {std::string("sk-1\n\n"), std::string("sk-1\r"),
                                    std::string("sk\n1"), std::string("sk\0001", 4)}) {
    spill(dir / "key", broken);
    const std::string message =
        usage_error_of([&] { read_key_file(dir / "key", "--llm-key-file"); });
    EXPECT_EQ(message, where + ": the key holds CR, LF or NUL");
  }
  EXPECT_EQ(usage_error_of([&] {
              read_key_file(dir / "missing", "--embed-key-file");
            }).rfind("--embed-key-file: cannot read " + in_quotes(dir / "missing") + ": ", 0),
            0u);
  EXPECT_EQ(usage_error_of([&] { read_key_file(dir.path(), "--embed-key-file"); }),
            "--embed-key-file: " + in_quotes(dir.path().string()) +
                " is a directory, not a regular file");
  EXPECT_EQ(usage_error_of([] { read_key_file("-", "--llm-key-file"); }),
            "--llm-key-file must name a file, not standard input");
}

TEST(ResolveKey, TheOptionOrItsFileBeforeTheEnvironment) {
  TempDir dir;
  spill(dir / "key", "sk-file\n");
  EXPECT_EQ(resolve_key("sk-option", "", "sk-env", kLlmKey), "sk-option");
  EXPECT_EQ(resolve_key("", dir / "key", "sk-env", kLlmKey), "sk-file");
  EXPECT_EQ(resolve_key("", "", "sk-env", kLlmKey), "sk-env");
  EXPECT_EQ(resolve_key("", "", nullptr, kLlmKey), "");
  EXPECT_EQ(usage_error_of([&] { resolve_key("sk-option", dir / "key", nullptr, kEmbedKey); }),
            "give --embed-key or --embed-key-file, not both");
}

TEST(ClientOptions, TimeoutInMillisecondsAndNoneOutOfRange) {
  const quellin::ClientOptions options = client_options(3, 0.5);
  EXPECT_EQ(options.retry.max_retries, 3u);
  EXPECT_EQ(options.timeout.total, std::chrono::milliseconds(500));
  EXPECT_EQ(options.timeout.sock_read, std::chrono::milliseconds(500));
  EXPECT_EQ(client_options(0, quellin::kMaxTimeoutSeconds).timeout.total, std::chrono::hours(24));
  // NaN, whose cast is undefined, and values whose milliseconds overflow a 64-bit count.
  for (const double bad : {std::nan(""), HUGE_VAL, 1e300, 1e17, 0.0, -1.0}) {
    EXPECT_EQ(usage_error_of([&] { client_options(2, bad); }).rfind("--timeout: ", 0), 0u) << bad;
  }
}

TEST(ChosenFields, TakesTheOptionOrEveryLabelledField) {
  const Value labels = {{"product", {"手机"}}, {"category", {"售后服务"}}};
  EXPECT_EQ(chosen_fields(labels, "", "labels.json"),
            (std::vector<std::string>{"product", "category"}));
  EXPECT_EQ(chosen_fields(labels, "category", "labels.json"),
            (std::vector<std::string>{"category"}));
  EXPECT_EQ(usage_error_of([&] { chosen_fields(labels, "category,priority", "labels.json"); }),
            "labels.json has no labels for field \"priority\"");
  // Refused here, before a store is built, and not by the store builder once work has begun.
  EXPECT_EQ(usage_error_of([] {
              chosen_fields({{"../x", {"a"}}}, "", "labels.json");
            }),
            "field name \"../x\" cannot name a store folder");
}

TEST(RequireUtf8, NamesWhatAndWhere) {
  EXPECT_NO_THROW(require_utf8("售后服务 ok", "the prompt"));
  EXPECT_EQ(usage_error_of([] { require_utf8("售后\xff", "the prompt"); }),
            "the prompt is not valid UTF-8 (byte 6)");
  EXPECT_EQ(usage_error_of([] { require_utf8("\xe5\x94", "--goal"); }),
            "--goal is not valid UTF-8 (byte 0)");
}

}  // namespace
}  // namespace tavrin::cli
