#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tavrin/core/errors.hpp"
#include "tavrin/palisk.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::palisk {
namespace {

using tavrin::testing::expect_error;

TEST(ParseAnswer, FindsTheMappingInTheFormsModelsAnswerIn) {
  struct Case {
    const char* answer;
    const char* mapping;
  };
  const Case cases[] = {
      {R"({"topic": "customer service"})", R"({"topic":"customer service"})"},
      {"```json\n{\"产品\": \"手机\", \"类别\": \"售后 服务\"}\n```",
       R"({"产品":"手机","类别":"售后 服务"})"},
      {"```python\n{'a': True, 'b': None, 'c': (1, 2)}\n```", R"({"a":true,"b":null,"c":[1,2]})"},
      {"```\n{\"a\": 1}\n```\n", R"({"a":1})"},
      {"好的，结果如下：\n```JSON\n{\"a\": 1}\n```\n希望有帮助。", R"({"a":1})"},
      {"It's simple: {'note': \"it's } here\", 'n': 2} -- done", R"({"note":"it's } here","n":2})"},
      {"Fill the {field} slots.\nAnswer: {\"field\": \"x\"}", R"({"field":"x"})"},
      {"{1, 2} then {'k': [1, {'x': 'y'}]}", R"({"k":[1,{"x":"y"}]})"},
      {"{ unclosed {\"a\": 1}", R"({"a":1})"},
      {"{'a': 1,  # the first\n 'b': '#'}", R"({"a":1,"b":"#"})"},
      {R"({"code": "```x```", "t": "<think>"})", R"({"code":"```x```","t":"<think>"})"},
      {"<think>maybe {\"a\": 0}? no.</think>\n{\"a\": 2}", R"({"a":2})"},
      {"I weigh {\"a\": 0} against the rest</think>{\"a\": 3}", R"({"a":3})"},
      {" <think>a</think>\n<think>{\"a\": 0}</think>{'a': '''多\n行'''}", R"({"a":"多\n行"})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_answer(c.answer).dump(), c.mapping) << c.answer;
  }
}

TEST(ParseAnswer, ForTargetFieldsTakesTheMappingHoldingMostOfThemTheLastOfEqualOnes) {
  const std::vector<std::string> fields = {"product", "category"};
  const auto parsed = [&](std::string_view answer) { return parse_answer(answer, fields).dump(); };
  // The record quoted before the answer.
  EXPECT_EQ(parsed(R"(订单 {"product": "电视"} → {"product": "电视", "category": "售后服务"})"),
            R"({"product":"电视","category":"售后服务"})");
  EXPECT_EQ(parse_answer(R"(订单 {"product": "电视"} → {"product": "电视", "category": "x"})"),
            Value({{"product", "电视"}}));
  // A draft, then the final answer.
  EXPECT_EQ(parsed(R"({"product": "a"} no: {"product": "b"})"), R"({"product":"b"})");
  EXPECT_EQ(parsed(R"({"product": "a", "category": "c"} and {"note": {"product": "b"}})"),
            R"({"product":"a","category":"c"})");
  EXPECT_EQ(parsed(R"(<think>{"product": "a", "category": "b"}</think>{"x": 1})"), R"({"x":1})");
  expect_error<ValueError>([&] { parse_answer("none", fields); },
                           "the answer holds no JSON object or Python mapping: \"none\"");
}

TEST(ParseAnswer, AnAnswerWithoutAMappingFailsQuotingItsStart) {
  expect_error<ValueError>([] { parse_answer("I am not sure which category fits."); },
                           "the answer holds no JSON object or Python mapping: "
                           "\"I am not sure which category fits.\"");
  expect_error<ValueError>([] { parse_answer("[1, 2, 3]\n"); },
                           "the answer holds no JSON object or Python mapping: \"[1, 2, 3] \"");
  expect_error<ValueError>([] { parse_answer(""); },
                           "the answer holds no JSON object or Python mapping: \"\"");
  expect_error<ValueError>(
      [] { parse_answer("<think>{\"a\": 1}"); },
      "the answer holds no JSON object or Python mapping: \"<think>{\"a\": 1}\"");
  expect_error<ValueError>([] { parse_answer("{'a': 1,, } and {a: b}"); },
                           "the answer holds no JSON object or Python mapping: "
                           "\"{'a': 1,, } and {a: b}\"");
  expect_error<ValueError>(
      [] { parse_answer(std::string(100, 'x')); },
      "the answer holds no JSON object or Python mapping: \"" + std::string(40, 'x') + "\"...");
}

TEST(ParseAnswer, ManyUnclosedBracesEndTheSearch) {
  // Each brace opens a span that never closes; the search gives up instead of reading the
  // rest of the text once per brace.
  const std::string braces(1 << 20, '{');
  EXPECT_THROW(parse_answer(braces + "{\"a\": 1}"), ValueError);
  EXPECT_EQ(
      parse_answer("{'a': '" + std::string(1 << 20, '{') + "'}")["a"].get<std::string>().size(),
      1u << 20);
}

}  // namespace
}  // namespace tavrin::palisk
