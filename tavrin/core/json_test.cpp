#include "tavrin/core/json.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/text.hpp"

namespace tavrin {
namespace {

TEST(JsonLoads, KeepsKeyOrderAndTakesTheLastValueOfARepeatedKey) {
  EXPECT_EQ(repr(json_loads(R"({"b": 1, "a": 2, "b": 3})")), "{'b': 3, 'a': 2}");
  EXPECT_EQ(repr(json_loads(R"({"x": 1, "y": {"x": 2, "x": {"z": [1]}}, "x": null})")),
            "{'x': None, 'y': {'x': {'z': [1]}}}");
}

TEST(JsonLoads, RepeatedKeysInALargeObject) {
  std::string text = "{";
  for (int i = 0; i < 3000; ++i) {
    text += (i ? ", \"k" : "\"k") + std::to_string(i % 1000) + "\": " + std::to_string(i);
  }
  text += "}";
  const Value v = json_loads(text);
  ASSERT_EQ(v.size(), 1000u);
  EXPECT_EQ(v.begin().key(), "k0");
  EXPECT_EQ(v["k0"], 2000);
  EXPECT_EQ(v["k999"], 2999);
}

TEST(JsonLoads, ReadsEveryKind) {
  EXPECT_EQ(repr(json_loads(R"([1, -0, -0.0, 0.1, 1E5, 18446744073709551615, -9223372036854775808,)"
                            R"( "\u4e2d\ud83d\ude00\n", "售后", true, false, null, {}, []])")),
            R"([1, 0, -0.0, 0.1, 100000.0, 18446744073709551615, -9223372036854775808, '中😀\n', )"
            R"('售后', True, False, None, {}, []])");
}

TEST(JsonLoads, MalformedTextIsAValueErrorWithLineAndColumn) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"",
       "json_loads: syntax error while parsing value - unexpected end of input; expected '[', "
       "'{', or a literal at line 1, column 1: \"\""},
      {"\n[\n1\n,\nx]",
       "json_loads: syntax error while parsing value - invalid literal at line 5, column 1: "
       "\"x]\""},
      {R"({"a":1,})",
       "json_loads: syntax error while parsing object key - unexpected '}'; expected string "
       "literal at line 1, column 8: \"}\""},
      {"{'a': 1}",
       "json_loads: syntax error while parsing object key - invalid literal at line 1, column 2: "
       "\"'a': 1}\""},
      {"[NaN]",
       "json_loads: syntax error while parsing value - invalid literal at line 1, column 2: "
       "\"NaN]\""},
      {"1 2",
       "json_loads: syntax error while parsing value - unexpected number literal; expected end of "
       "input at line 1, column 3: \"2\""},
      {"[1, 123456789012345678901234567890]",
       "json_loads: integer outside the 64-bit range at line 1, column 5: "
       "\"123456789012345678901234567890]\""},
      {"1e" + std::string(500, '9'),
       "json_loads: number overflow at line 1, column 1: \"1e" + std::string(38, '9') + "\""},
      {std::string(1001, '[') + std::string(1001, ']'),
       "json_loads: nesting deeper than 1000 levels at line 1, column 1001: \"[" +
           std::string(39, ']') + "\""},
  };
  for (const auto& [text, message] : cases) {
    try {
      json_loads(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const ValueError& e) {
      EXPECT_EQ(e.what(), message);
    }
  }
}

TEST(JsonLoads, DeepButAllowedNestingParses) {
  const std::string text = std::string(1000, '[') + std::string(1000, ']');
  EXPECT_EQ(repr(json_loads(text)), text);
}

}  // namespace
}  // namespace tavrin
