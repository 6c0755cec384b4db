#include "tavrin/core/json.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/text.hpp"
#include "tests/support/peak_memory.hpp"

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

// What Python's json.loads reads beyond RFC 8259, checked against python3.11.
TEST(JsonLoads, ReadsWhatPythonReads) {
  const Value v = json_loads(
      R"({"score": NaN, "hi": Infinity, "lo": -Infinity, "big": 1E400, "-big": -1E400,)"
      R"( "tiny": 1e-400, "-tiny": -1e-400, "huge": 1e999999999999999999999, "sub": 5e-324})");
  EXPECT_TRUE(std::isnan(v["score"].get<double>()));
  EXPECT_EQ(v["hi"].get<double>(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(v["lo"].get<double>(), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(v["big"].get<double>(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(v["-big"].get<double>(), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(v["huge"].get<double>(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(v["tiny"].get<double>(), 0.0);
  EXPECT_FALSE(std::signbit(v["tiny"].get<double>()));
  EXPECT_TRUE(std::signbit(v["-tiny"].get<double>()));
  EXPECT_EQ(v["sub"].get<double>(), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(repr(v),
            "{'score': nan, 'hi': inf, 'lo': -inf, 'big': inf, '-big': -inf, 'tiny': "
            "0.0, '-tiny': -0.0, 'huge': inf, 'sub': 5e-324}");
  // White space is the four of JSON; DEL and non-ASCII text stand in strings as they are.
  EXPECT_EQ(repr(json_loads(" \t\r\n[\"a\x7f\",\"\u2028\"] \n")), "['a\\x7f', '\\u2028']");
}

// Short decimals take a quicker road than long ones; both give the correctly rounded double,
// which std::from_chars gives too.
TEST(JsonLoads, DecimalsAreCorrectlyRoundedShortOrLong) {
  std::uint64_t state = 7;
  const auto next = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 33;
  };
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const std::uint64_t digits = 2 + next() % 17;
    const std::uint64_t point = 1 + next() % (digits - 1);
    for (std::uint64_t i = 0; i < digits; ++i) {
      if (i == point) text += '.';
      text += static_cast<char>('0' + next() % 10);
    }
    if (text.size() > 1 && text[0] == '0' && text[1] != '.') text[0] = '1';  // no leading zero
    double expected = 0;
    std::from_chars(text.data(), text.data() + text.size(), expected);
    EXPECT_EQ(json_loads(text).get<double>(), expected) << text;
  }
}

TEST(JsonLoads, MalformedTextIsAValueErrorWithLineAndColumn) {
  // Worded as Python's json module words them, at the place it gives.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "json_loads: expecting value at line 1, column 1: \"\""},
      {"\n[\n1\n,\nx]", "json_loads: expecting value at line 5, column 1: \"x]\""},
      {R"({"a":1,})",
       "json_loads: expecting property name enclosed in double quotes at line 1, column 8: "
       "\"}\""},
      {"{'a': 1}",
       "json_loads: expecting property name enclosed in double quotes at line 1, column 2: "
       "\"'a': 1}\""},
      {R"({"a" 1})", "json_loads: expecting ':' delimiter at line 1, column 6: \"1}\""},
      {"[1 2]", "json_loads: expecting ',' delimiter at line 1, column 4: \"2]\""},
      {"[01]", "json_loads: expecting ',' delimiter at line 1, column 3: \"1]\""},
      {"[1,]", "json_loads: expecting value at line 1, column 4: \"]\""},
      {"[1.]", "json_loads: expecting ',' delimiter at line 1, column 3: \".]\""},
      {"[-]", "json_loads: expecting value at line 1, column 2: \"-]\""},
      {"[tru]", "json_loads: expecting value at line 1, column 2: \"tru]\""},
      {"1 2", "json_loads: extra data at line 1, column 3: \"2\""},
      {"1\f", "json_loads: extra data at line 1, column 2: \" \""},
      {"\xEF\xBB\xBF{}", "json_loads: expecting value at line 1, column 1: \"\xEF\xBB\xBF{}\""},
      {"\"ab", "json_loads: unterminated string starting at line 1, column 1: \"\"ab\""},
      {"[\"a\\", "json_loads: unterminated string starting at line 1, column 2: \"\"a\\\""},
      {"\"a\tb\"", "json_loads: invalid control character at line 1, column 3: \" b\"\""},
      {"\"\xff\"", "json_loads: invalid UTF-8 at line 1, column 2: \"\xff\"\""},
      {R"("\x41")", R"(json_loads: invalid \escape at line 1, column 2: "\x41"")"},
      {R"("\u12")", R"(json_loads: invalid \uXXXX escape at line 1, column 2: "\u12"")"},
      {R"("\ud800\u12zz")", R"(json_loads: invalid \uXXXX escape at line 1, column 8: "\u12zz"")"},
      {R"(["\ud800"])",
       R"(json_loads: lone surrogate escape, not UTF-8 text at line 1, column 3: "\ud800"]")"},
      {R"("\udc00\ud800")",
       R"(json_loads: lone surrogate escape, not UTF-8 text at line 1, column 2: "\udc00\ud800"")"},
      {"[1, 123456789012345678901234567890]",
       "json_loads: integer outside the 64-bit range at line 1, column 5: "
       "\"123456789012345678901234567890]\""},
      {"-9223372036854775809",
       "json_loads: integer outside the 64-bit range at line 1, column 1: "
       "\"-9223372036854775809\""},
      {"[nan]", "json_loads: expecting value at line 1, column 2: \"nan]\""},
      {"-NaN", "json_loads: expecting value at line 1, column 1: \"-NaN\""},
      {"[Infinit]", "json_loads: expecting value at line 1, column 2: \"Infinit]\""},
      {"-Infinityx", "json_loads: extra data at line 1, column 10: \"x\""},
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

// A value that outgrows what building at once may spend is dropped, and the text is checked,
// then built.
TEST(JsonLoads, ValuesBeyondTheBuildBudgetAreReadWhole) {
  std::string items;
  for (int i = 0; i < 20000; ++i) {
    items += R"({"k": )" + std::to_string(i) + R"(, "v": ["文本", null, -2.5], "k": true}, )";
  }
  const std::string text = "[" + items + "{}]";
  EXPECT_EQ(json_loads(text), Value::parse(text));
  EXPECT_THROW(json_loads("[" + items + "{}"), ValueError);
  EXPECT_THROW(json_loads("[" + items + "{} 1]"), ValueError);
}

// A text refused late, however deep or wide, is refused before its value is built: the peak
// stays within the text's own size (building the wide ones takes sixteen times it).
TEST(JsonLoads, RefusedLargeTextsCostNoMoreMemoryThanTheirSize) {
  constexpr std::size_t kSize = 6 << 20;
  const std::vector<std::string> texts = {
      testing::repeated("", "[", kSize),    testing::repeated("", "{\"a\":", kSize),
      testing::repeated("[", "0,", kSize),  testing::repeated("{\"a\":[", "1,", kSize, "}"),
      testing::repeated("[", "[],", kSize), testing::repeated("[", "true,", kSize, "x]"),
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.substr(0, 12));
    EXPECT_THROW(json_loads(text), ValueError);
    const auto grown = testing::peak_memory_growth([&] { json_loads(text); });
    if (!grown) GTEST_SKIP() << "the peak memory cannot be measured here";
    EXPECT_LE(*grown, text.size());
  }
}

}  // namespace
}  // namespace tavrin
