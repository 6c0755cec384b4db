#include "tavrin/core/text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tavrin/core/errors.hpp"

namespace tavrin {
namespace {

struct ReprCase {
  Value value;
  std::string expected;  // what python3.11's repr prints for the same value
};

void expect_reprs(const std::vector<ReprCase>& cases) {
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(repr(value), expected) << "value " << value.dump();
  }
}

TEST(Repr, FloatsTakeTheShortestRoundTripFormInPythonLayout) {
  const double inf = std::numeric_limits<double>::infinity();
  expect_reprs({
      {0.1, "0.1"},
      {1.0, "1.0"},
      {100.0, "100.0"},
      {1e16, "1e+16"},
      {1e-5, "1e-05"},
      {0.0001, "0.0001"},
      {1234567890123456.0, "1234567890123456.0"},
      {12345678901234567.0, "1.2345678901234568e+16"},
      {-0.0, "-0.0"},
      {-2.5, "-2.5"},
      {1e22, "1e+22"},
      {1.5e-7, "1.5e-07"},
      {123456789.123, "123456789.123"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {inf, "inf"},
      {-inf, "-inf"},
      {std::nan(""), "nan"},
  });
}

TEST(Repr, ScalarsAndContainers) {
  expect_reprs({
      {nullptr, "None"},
      {true, "True"},
      {false, "False"},
      {0, "0"},
      {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
      {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"},
      {Value::array(), "[]"},
      {Value::object(), "{}"},
      {Value::parse(R"([1, "a", [null, true]])"), "[1, 'a', [None, True]]"},
      {Value::parse(R"({"k": 1, "j": [2], "it's": {}})"), R"({'k': 1, 'j': [2], "it's": {}})"},
  });
}

TEST(Repr, TextPicksItsQuoteAndEscapesLikePython) {
  expect_reprs({
      {"", "''"},
      {"it's", R"("it's")"},
      {"say \"hi\"", R"('say "hi"')"},
      {"both ' and \"", R"('both \' and "')"},
      {"a\\b\n\r\t", R"('a\\b\n\r\t')"},
      {std::string("\x00\x1f\x7f", 3), R"('\x00\x1f\x7f')"},
      {"售后 ok", "'售后 ok'"},
      {"😀", "'😀'"},
      // C1 control, no-break space (Zs), soft hyphen (Cf)
      {"\u0085\u00a0\u00ad", R"('\x85\xa0\xad')"},
      // line separator (Zl), ideographic space (Zs), tag (Cf), unassigned, private use
      {"\u2028\u3000\U000E0001\u0378\uE000", R"('\u2028\u3000\U000e0001\u0378\ue000')"},
      // assigned only after the Unicode version of Python 3.11
      {"\U0001F6DC", R"('\U0001f6dc')"},
  });
}

TEST(Repr, InvalidUtf8IsEscapedByteByByte) {
  expect_reprs({
      {std::string("a\xff"), R"('a\udcff')"},
      {std::string("\xe5\x94"), R"('\udce5\udc94')"},                      // truncated sequence
      {std::string("\xc0\xaf"), R"('\udcc0\udcaf')"},                      // overlong '/'
      {std::string("\xed\xa0\x80"), R"('\udced\udca0\udc80')"},            // encoded surrogate
      {std::string("\xf4\x90\x80\x80"), R"('\udcf4\udc90\udc80\udc80')"},  // above U+10FFFF
  });
}

TEST(Repr, BytesEscapeEverythingOutsidePrintableAscii) {
  const auto bytes = [](std::string_view s) {
    return Value::binary(std::vector<std::uint8_t>(s.begin(), s.end()));
  };
  expect_reprs({
      {bytes(std::string_view("\x00"
                              "a'\"\\\x7f\x80\xff",
                              8)),
       R"(b'\x00a\'"\\\x7f\x80\xff')"},
      {bytes("it's"), R"(b"it's")"},
      {bytes(""), "b''"},
  });
}

TEST(Repr, RefusesValuesNestedTooDeeply) {
  Value v = Value::array();
  for (int i = 0; i < 1500; ++i) v = Value::array({std::move(v)});
  try {
    repr(v);
    FAIL() << "expected ValueError";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "repr: value nested deeper than 1000 levels");
  }
}

TEST(Str, StringsStayAsTheyAreOtherValuesTakeTheirRepr) {
  EXPECT_EQ(str(Value("售后 'x'")), "售后 'x'");
  EXPECT_EQ(str(Value(1.0)), "1.0");
  EXPECT_EQ(str(Value(nullptr)), "None");
  EXPECT_EQ(str(Value::parse(R"(["a"])")), "['a']");
}

TEST(DisplayWidth, TakesEachCharactersColumnsFromTheUnicodeTables) {
  const std::vector<std::pair<std::string, std::size_t>> cases = {
      {"", 0},
      {"category", 8},
      {"类别", 4},              // wide
      {"ｶﾀｶﾅ", 4},              // half-width forms are narrow
      {"\xF0\x9D\x90\x80", 1},  // U+1D400, four bytes and narrow
      {"\xF0\x9F\x98\x80", 2},  // U+1F600, an emoji, wide
      {"e\xCC\x81", 1},         // a combining accent takes no column
      {"\xFF"
       "ab",
       3},  // a byte that is not UTF-8 takes one
  };
  for (const auto& [text, columns] : cases) EXPECT_EQ(display_width(text), columns) << text;
}

}  // namespace
}  // namespace tavrin
