#include "tavrin/core/internal/literal_lexer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/literal_scan.hpp"
#include "tavrin/core/literal.hpp"

namespace tavrin::core::internal {
namespace {

struct ScanCase {
  std::string text;
  bool may_be_literal;
};

// The pre-scan only skips the parser when it would refuse: each "false" is checked against it.
TEST(LiteralScan, RefusesOnlyWhatTheParserRefuses) {
  const std::vector<ScanCase> cases = {
      {R"({"a":true})", false},
      {R"({"a":"true","b":None,'c':False})", true},
      {"{'a':1}#true,中文", true},
      {R"(b'x'+rB"y"+f'{z}')", true},
      {R"(x'a')", false},
      {R"('it\'s null'+"""a"b""")", true},
      {"'''never closed null", true},
      {"[0x1F,1e-5,1_000,2j,.5]", true},
      {"中文", false},
      {"['中文',𝐍𝐨𝐧𝐞]", false},
      {"好的：{'a':1}", false},
      {"[ｓｅｔ(),1]", true},
      {"[set(),1]", true},
      {"frozenset()", false},
      {"Hereitis:{}", false},
      {"\r\t-1", true},
      {"NaN", false},
      {" \t", true},
      {"", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(may_be_literal(c.text), c.may_be_literal);
    if (!c.may_be_literal) {
      EXPECT_ANY_THROW(literal_eval(c.text));
    }
  }
}

// The pre-scan skips strings sixteen bytes at a time: escaped quotes, the other quote and
// names inside a string must not end it early, at any offset from its start, nor may its
// closing quote be missed.
TEST(LiteralScan, StringsOfEveryLengthAreSkippedWhole) {
  const std::vector<std::string> pieces = {"a", "中", "\\'", "\"", "null", "\\\\", "#"};
  std::uint64_t state = 5;
  const auto next = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::size_t>(state >> 33);
  };
  for (int round = 0; round < 600; ++round) {
    std::string body;
    const std::size_t count = next() % 24;
    for (std::size_t i = 0; i < count; ++i) body += pieces[next() % pieces.size()];
    SCOPED_TRACE(body);
    const std::string held = "['" + body + "',None]";
    EXPECT_TRUE(may_be_literal(held));
    EXPECT_NO_THROW(literal_eval(held));
    EXPECT_FALSE(may_be_literal("['" + body + "',null]"));
    EXPECT_FALSE(may_be_literal("['" + body + "']+null"));
  }
}

struct PlainCase {
  std::string text;
  PlainLiteral expected;
};

// The plain read's claims, each checked against literal_eval: its value is literal_eval's, its
// refusal one that literal_eval makes too, its fault the same fault.
TEST(LiteralScan, PlainReadAgreesWithTheParser) {
  const std::vector<PlainCase> cases = {
      {R"({"a": -1.5, "b": [True, None, 'x', {}], "a": 2})", PlainLiteral::kValue},
      {"[1, 2]\n# done\n", PlainLiteral::kValue},
      {R"({"a":true})", PlainLiteral::kRefused},
      {R"({"a":1,"b":null})", PlainLiteral::kRefused},
      {"[1,2,x]", PlainLiteral::kRefused},
      {"[𝐍𝐨𝐧𝐞]", PlainLiteral::kRefused},
      {R"({"a":1}说明：好)", PlainLiteral::kRefused},
      {R"({"a":1}if)", PlainLiteral::kRefused},
      {"[1]x", PlainLiteral::kRefused},
      {"[set()]", PlainLiteral::kUnsure},
      {"[ｓｅｔ()]", PlainLiteral::kUnsure},
      {"[set ()]", PlainLiteral::kUnsure},
      {"[1] if True else 2", PlainLiteral::kUnsure},
      {"{'a': 1}, [2]", PlainLiteral::kUnsure},
      {"[(1, 2)]", PlainLiteral::kUnsure},
      {"{1: 2}", PlainLiteral::kUnsure},
      {"[-x]", PlainLiteral::kUnsure},
      {"[" + std::string(5000, ' ') + "1]", PlainLiteral::kUnsure},  // built within a budget
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Value out;
    ASSERT_EQ(read_plain_literal(c.text, out), c.expected);
    switch (c.expected) {
      case PlainLiteral::kValue:
        EXPECT_EQ(out, literal_eval(c.text));
        break;
      case PlainLiteral::kRefused:
        EXPECT_ANY_THROW(literal_eval(c.text));
        break;
      case PlainLiteral::kUnsure:
        EXPECT_TRUE(out.is_null());
        break;
    }
  }
  for (const std::string text : {"{'a': 'never closed", "[1, 2", "[1, 0b2]", "[\"\xff\"]"}) {
    SCOPED_TRACE(text);
    std::string plain_fault;
    std::string fault;
    try {
      Value out;
      read_plain_literal(text, out);
    } catch (const SyntaxError& e) {
      plain_fault = e.what();
    }
    try {
      literal_eval(text);
    } catch (const SyntaxError& e) {
      fault = e.what();
    }
    EXPECT_FALSE(fault.empty());
    EXPECT_EQ(plain_fault, fault);
  }
}

// A token carries what the parser reads of it: its kind and span, an operator code, a string body.
TEST(LiteralLexer, TokensCarryTheirKindOperatorAndStringBody) {
  const std::string text = "{'a\\n': 1_0, **x}";
  literal::Lexer lexer(text);
  lexer.start();
  std::vector<literal::Token> tokens;
  do {
    tokens.emplace_back();
    lexer.next(tokens.back());
  } while (tokens.back().kind != literal::TokenKind::kEnd);
  ASSERT_EQ(tokens.size(), 9u);
  EXPECT_EQ(tokens[0].op, literal::operator_code("{"));
  EXPECT_EQ(tokens[1].kind, literal::TokenKind::kString);
  EXPECT_EQ(text.substr(tokens[1].body_begin, tokens[1].body_end - tokens[1].body_begin), "a\\n");
  EXPECT_FALSE(tokens[1].plain);  // an escape: the parser decodes the body
  EXPECT_EQ(tokens[3].kind, literal::TokenKind::kNumber);
  EXPECT_EQ(text.substr(tokens[3].begin, tokens[3].end - tokens[3].begin), "1_0");
  EXPECT_EQ(tokens[5].op, literal::operator_code("**"));
  EXPECT_EQ(tokens[6].keyword, literal::Keyword::kNone);
  EXPECT_EQ(tokens[7].op, literal::operator_code("}"));
  EXPECT_EQ(lexer.level(), 0);
}

}  // namespace
}  // namespace tavrin::core::internal
