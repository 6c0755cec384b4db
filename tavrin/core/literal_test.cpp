#include "tavrin/core/literal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/text.hpp"
#include "tests/support/peak_memory.hpp"

namespace tavrin {
namespace {

// Expected values were taken from python3.11's ast.literal_eval on the same texts, mapped to
// Value (tuples and sets become arrays, keys that are not text take their repr) and written
// here as the repr of that Value.
struct Accepted {
  std::string text;
  std::string expected_repr;
};

TEST(LiteralEval, AcceptsWhatPythonAccepts) {
  const std::vector<Accepted> cases = {
      {"  [1, 'a', (2, 3), {4, 5, 4}]", "[1, 'a', [2, 3], [4, 5]]"},
      {"{'答案': '售后', '分数': 0.95}", "{'答案': '售后', '分数': 0.95}"},
      {R"({'it\'s': "x"})", R"({"it's": 'x'})"},
      // strings: quotes, prefixes, joining, escapes, line breaks
      {R"('a' "b" '''c''')", "'abc'"},
      {R"(b'a' B'b' rb'\n')", R"(b'ab\\n')"},
      {R"(r'\n' u'\t')", R"('\\n\t')"},
      {R"('\a\b\f\n\r\t\v\'\"\\')", R"('\x07\x08\x0c\n\r\t\x0b\'"\\')"},
      {R"('\101\x41\u4e2d\U0001F600\z')", R"('AA中😀\\z')"},
      {R"('\777')", "'ǿ'"},
      {R"(b'\777\x7f\u1234')", R"(b'\xff\x7f\\u1234')"},
      {"'a\\\nb'", "'ab'"},
      {"'''a\r\nb\rc'''", R"('a\nb\nc')"},
      // numbers
      {"0x_1F", "31"},
      {"0o17", "15"},
      {"0B101", "5"},
      {"1_000", "1000"},
      {"00", "0"},
      {"0_0", "0"},
      {"01.5", "1.5"},
      {"1.", "1.0"},
      {".5", "0.5"},
      {"1_0.5", "10.5"},
      {"1e5", "100000.0"},
      {"1E-5_0", "1e-50"},
      {"1e999", "inf"},
      {"-1e999", "-inf"},
      {"1e-400", "0.0"},
      {"0.1", "0.1"},
      {"-(1)", "-1"},
      {"+1", "1"},
      {"- 1", "-1"},
      {"-0", "0"},
      {"-0.0", "-0.0"},
      {"-0x8000000000000000", "-9223372036854775808"},
      {"18446744073709551615", "18446744073709551615"},
      {"True", "True"},
      {"None", "None"},
      {"False", "False"},
      // tuples, lists, sets, dicts
      {"1,", "[1]"},
      {"1, 2", "[1, 2]"},
      {"()", "[]"},
      {"(1,)", "[1]"},
      {"((1))", "1"},
      {"set()", "[]"},
      {"(set)()", "[]"},
      {"ｓｅｔ()", "[]"},  // names are NFKC-folded
      {"[1, 2,]", "[1, 2]"},
      {"{'k': [1, {'z': (1,)}],}", "{'k': [1, {'z': [1]}]}"},
      {"{1, True, 1.0, 2}", "[1, 2]"},
      {"{(1, 2), (1.0, 2)}", "[[1, 2]]"},
      {"{'a': 1, 'a': 2, 'b': 3}", "{'a': 2, 'b': 3}"},
      {"{1: 'a', True: 'b', 1.0: 'c'}", "{'1': 'c'}"},
      {"{(1, 2): 'x', (1,): 'y', (): 'z', None: 0, b'k': 1, 1.5: 2, -0.0: 3}",
       R"({'(1, 2)': 'x', '(1,)': 'y', '()': 'z', 'None': 0, "b'k'": 1, '1.5': 2, '-0.0': 3})"},
      // white space, comments, line breaks
      {"[\n  1,  # one\n  2\n]", "[1, 2]"},
      {"\n# lead\n1 # tail\n\n", "1"},
      {"\t1\n", "1"},
      {"1\n  \n", "1"},
  };
  for (const auto& [text, expected] : cases) {
    try {
      EXPECT_EQ(repr(literal_eval(text)), expected) << "text: " << text;
    } catch (const std::exception& e) {
      ADD_FAILURE() << "text: " << text << " threw " << e.what();
    }
  }
}

struct Rejected {
  std::string text;
  std::string message;
};

template <typename Error>
void expect_rejected(const std::vector<Rejected>& cases) {
  for (const auto& [text, message] : cases) {
    try {
      literal_eval(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const Error& e) {
      EXPECT_EQ(e.what(), message) << "text: " << text;
    } catch (const std::exception& e) {
      ADD_FAILURE() << "text: " << text << " threw another type: " << e.what();
    }
  }
}

TEST(LiteralEval, TextThatIsNoExpressionIsASyntaxError) {
  expect_rejected<SyntaxError>({
      {"", R"(literal_eval: no expression at line 1, column 1: "")"},
      {"1 2", R"(literal_eval: invalid syntax at line 1, column 3: "2")"},
      {"[1, 2", R"(literal_eval: bracket never closed at line 1, column 1: "[1, 2")"},
      {"(]", R"(literal_eval: invalid syntax at line 1, column 2: "]")"},
      {"'abc", R"(literal_eval: unterminated string at line 1, column 1: "'abc")"},
      {"'a\nb'", R"(literal_eval: unterminated string at line 1, column 1: "'a b'")"},
      {"01",
       R"(literal_eval: leading zeros in a decimal integer literal at line 1, column 1: "01")"},
      {"1__0", R"(literal_eval: invalid decimal literal at line 1, column 1: "1__0")"},
      {"0b2", R"(literal_eval: invalid binary literal at line 1, column 1: "0b2")"},
      {"1abc", R"(literal_eval: invalid decimal literal at line 1, column 1: "1abc")"},
      {R"('\x4')", R"(literal_eval: truncated \xXX escape at line 1, column 2: "\x4'")"},
      {R"('\U00110000')",
       R"(literal_eval: illegal Unicode character in \U escape at line 1, column 2: "\U00110000'")"},
      {"b'é'",
       R"(literal_eval: bytes can only contain ASCII literal characters at line 1, column 3: "é'")"},
      {"'a' b'b'",
       R"(literal_eval: cannot mix bytes and nonbytes literals at line 1, column 5: "b'b'")"},
      {"f'{'", R"(literal_eval: f-string: expecting '}' at line 1, column 3: "{'")"},
      {"*a, b", R"(literal_eval: invalid syntax at line 1, column 1: "*a, b")"},
      {"x := 1", R"(literal_eval: invalid syntax at line 1, column 3: ":= 1")"},
      {"1 \\\n",
       R"(literal_eval: unexpected end of text after line continuation at line 1, column 3: "\ ")"},
      {"1\n2", R"(literal_eval: unexpected text after the expression at line 2, column 1: "2")"},
      {"\n 1", R"(literal_eval: unexpected indent at line 2, column 2: "1")"},
      {"1\n  ", R"(literal_eval: unexpected indent at line 2, column 3: "")"},
      {"{'a':1，'b':2}",
       R"(literal_eval: invalid character U+FF0C at line 1, column 7: "，'b':2}")"},
      {"1\v", R"(literal_eval: invalid non-printable character U+000B at line 1, column 2: " ")"},
      {"f(a=1, b)",
       R"~(literal_eval: positional argument follows keyword argument at line 1, column 9: ")")~"},
      {std::string("1\0", 2), "literal_eval: text cannot contain null bytes (byte offset 1)"},
      {"'\xff'", "literal_eval: invalid UTF-8 at byte offset 1"},
  });
}

TEST(LiteralEval, ExpressionThatIsNoLiteralIsAValueError) {
  expect_rejected<ValueError>({
      {"x", R"(literal_eval: not a literal at line 1, column 1: "x")"},
      {"true", R"(literal_eval: not a literal at line 1, column 1: "true")"},
      {"foo(1)", R"~(literal_eval: not a literal at line 1, column 1: "foo(1)")~"},
      {"1 + 2", R"(literal_eval: not a literal at line 1, column 1: "1 + 2")"},
      {"--1", R"(literal_eval: not a literal at line 1, column 1: "--1")"},
      {"+True", R"(literal_eval: not a literal at line 1, column 1: "+True")"},
      {"[x for x in y]", R"(literal_eval: not a literal at line 1, column 1: "[x for x in y]")"},
      {"{'a': 1, **x}", R"(literal_eval: not a literal at line 1, column 10: "**x")"},
      {"f'a'", R"(literal_eval: not a literal at line 1, column 1: "f'a'")"},
      {"(x := 1)", R"(literal_eval: not a literal at line 1, column 2: "x := 1")"},
      {"set([1])", R"~(literal_eval: not a literal at line 1, column 1: "set([1])")~"},
      {"[1, a.b]", R"(literal_eval: not a literal at line 1, column 5: "a.b")"},
  });
}

enum class Outcome { kLiteral, kSyntaxError, kValueError, kTypeError };

Outcome outcome_of(std::string_view text) {
  try {
    literal_eval(text);
    return Outcome::kLiteral;
  } catch (const SyntaxError&) {
    return Outcome::kSyntaxError;
  } catch (const TypeError&) {
    return Outcome::kTypeError;
  } catch (const ValueError&) {
    return Outcome::kValueError;
  }
}

// The outcome python3.11 gives for each text: the grammar of expressions is read in full, so
// that text that is no expression is told from an expression that is not a literal.
TEST(LiteralEval, DecidesLikePythonAcrossTheExpressionGrammar) {
  const std::vector<std::pair<std::string, Outcome>> cases = {
      {"lambda x, *y, z=1, **w: x", Outcome::kValueError},
      {"lambda *, a: 1", Outcome::kValueError},
      {"lambda *: 1", Outcome::kSyntaxError},
      {"lambda a=1, b: 1", Outcome::kSyntaxError},
      {"lambda: (yield)", Outcome::kValueError},
      {"f(a, *b, **c, d=1)", Outcome::kValueError},
      {"f(**a, *b)", Outcome::kSyntaxError},
      {"f(a=1, b)", Outcome::kSyntaxError},
      {"f(a=1, *b)", Outcome::kValueError},
      {"f(x for x in y)", Outcome::kValueError},
      {"f(x for x in y, 1)", Outcome::kSyntaxError},
      {"f(,)", Outcome::kSyntaxError},
      {"f(1,)", Outcome::kValueError},
      {"f()", Outcome::kValueError},
      {"a[1:2, ::3]", Outcome::kValueError},
      {"a[]", Outcome::kSyntaxError},
      {"a[1,]", Outcome::kValueError},
      {"a[*b]", Outcome::kValueError},
      {"a[b:=1]", Outcome::kValueError},
      {"a[::]", Outcome::kValueError},
      {"x.y.z", Outcome::kValueError},
      {"x.True", Outcome::kSyntaxError},
      {"x.if", Outcome::kSyntaxError},
      {"x.1", Outcome::kSyntaxError},
      {"None.x", Outcome::kValueError},
      {"1 .real", Outcome::kValueError},
      {"1..real", Outcome::kValueError},
      {"1.0.real", Outcome::kValueError},
      {"[x for x in y]", Outcome::kValueError},
      {"[x for x in y if a if b for z in w]", Outcome::kValueError},
      {"[i async for i in y]", Outcome::kValueError},
      {"[*a for a in b]", Outcome::kSyntaxError},
      {"{*a for a in b}", Outcome::kSyntaxError},
      {"{**a for a in b}", Outcome::kSyntaxError},
      {"{1: 2 for a in b}", Outcome::kValueError},
      {"(x for x in y)", Outcome::kValueError},
      {"x for x in y", Outcome::kSyntaxError},
      {"[1 for a in b, c]", Outcome::kSyntaxError},
      {"[1 for (a, f()) in x]", Outcome::kSyntaxError},
      {"[1 for a, 1 in x]", Outcome::kSyntaxError},
      {"[1 for -a in x]", Outcome::kSyntaxError},
      {"[1 for (a := 1) in x]", Outcome::kSyntaxError},
      {"[1 for a, (b, [c, d.e]) in x]", Outcome::kValueError},
      {"[1 for *a, b[0] in x]", Outcome::kValueError},
      {"[1 for () in x]", Outcome::kValueError},
      {"(x := 1)", Outcome::kValueError},
      {"x := 1", Outcome::kSyntaxError},
      {"[y := 1, 2]", Outcome::kValueError},
      {"{a := 1}", Outcome::kValueError},
      {"{a := 1: 2}", Outcome::kSyntaxError},
      {"f(a := 1)", Outcome::kValueError},
      {"(a.b := 1)", Outcome::kSyntaxError},
      {"(yield)", Outcome::kValueError},
      {"(yield x)", Outcome::kValueError},
      {"(yield from x)", Outcome::kValueError},
      {"yield", Outcome::kSyntaxError},
      {"await x", Outcome::kValueError},
      {"await await x", Outcome::kSyntaxError},
      {"async", Outcome::kSyntaxError},
      {"1 if 2 else 3", Outcome::kValueError},
      {"1 if 2", Outcome::kSyntaxError},
      {"a if b else c if d else e", Outcome::kValueError},
      {"a if b else lambda: c", Outcome::kValueError},
      {"not not 1", Outcome::kValueError},
      {"a not b", Outcome::kSyntaxError},
      {"a not in b", Outcome::kValueError},
      {"a is not b", Outcome::kValueError},
      {"1 <> 2", Outcome::kSyntaxError},
      {"1 < 2 < 3", Outcome::kValueError},
      {"1 and 2 or 3", Outcome::kValueError},
      {"-a ** -b", Outcome::kValueError},
      {"2 ** -1", Outcome::kValueError},
      {"~1", Outcome::kValueError},
      {"a @ b", Outcome::kValueError},
      {"a // b", Outcome::kValueError},
      {"a << b", Outcome::kValueError},
      {"a | b ^ c & d", Outcome::kValueError},
      {"*a", Outcome::kSyntaxError},
      {"(*a)", Outcome::kSyntaxError},
      {"(*a,)", Outcome::kValueError},
      {"[*a, *b]", Outcome::kValueError},
      {"{*a}", Outcome::kValueError},
      {"{**x}", Outcome::kValueError},
      {"{1: 2, **x}", Outcome::kValueError},
      {"*a, b", Outcome::kSyntaxError},
      {"print 1", Outcome::kSyntaxError},
      {"def", Outcome::kSyntaxError},
      {"class", Outcome::kSyntaxError},
      {"import os", Outcome::kSyntaxError},
      {"return", Outcome::kSyntaxError},
      {"pass", Outcome::kSyntaxError},
      {"if", Outcome::kSyntaxError},
      {"else", Outcome::kSyntaxError},
      {"for", Outcome::kSyntaxError},
      {"in", Outcome::kSyntaxError},
      {"is", Outcome::kSyntaxError},
      {"from", Outcome::kSyntaxError},
      {"as", Outcome::kSyntaxError},
      {"'a' f'b'", Outcome::kValueError},
      {"f'{a}}'", Outcome::kSyntaxError},
      {"f'}}'", Outcome::kValueError},
      {"f'{{'", Outcome::kValueError},
      {"f'{a'", Outcome::kSyntaxError},
      {"1e999", Outcome::kLiteral},
      {"inf", Outcome::kValueError},  // repr's form of 1e999 is a name to the parser
      {"f'{a!x}'", Outcome::kSyntaxError},
      {"f'{a!}'", Outcome::kSyntaxError},
      {"f'{!r}'", Outcome::kSyntaxError},
      {"f'{a!=b}'", Outcome::kValueError},
      {"f'{a!r:>{b}}'", Outcome::kValueError},
      {"f'{a[\"!\"]}'", Outcome::kValueError},
      {"f'{}'", Outcome::kSyntaxError},
      {"rf'{a}'", Outcome::kValueError},
      {"F'{a!r:>{b}}'", Outcome::kValueError},
      {"b'a' f'b'", Outcome::kSyntaxError},
      {"bf'a'", Outcome::kSyntaxError},
      {"ub'a'", Outcome::kSyntaxError},
      {"ur'a'", Outcome::kSyntaxError},
      {"Ur'a'", Outcome::kSyntaxError},
      {"Br'a'", Outcome::kLiteral},
      {"rB'a'", Outcome::kLiteral},
      {"1;", Outcome::kSyntaxError},
      {"1 2", Outcome::kSyntaxError},
      {"[1 2]", Outcome::kSyntaxError},
      {"(1 2)", Outcome::kSyntaxError},
      {"{1 2}", Outcome::kSyntaxError},
      {"{'a' 1}", Outcome::kSyntaxError},
      {"{'a':}", Outcome::kSyntaxError},
      {"{:1}", Outcome::kSyntaxError},
      {"{1:2, 3}", Outcome::kSyntaxError},
      {"{1, 2: 3}", Outcome::kSyntaxError},
      {"[,]", Outcome::kSyntaxError},
      {"[1,,2]", Outcome::kSyntaxError},
      {",", Outcome::kSyntaxError},
      {"()", Outcome::kLiteral},
      {"(,)", Outcome::kSyntaxError},
      {"(1,,)", Outcome::kSyntaxError},
      {"$", Outcome::kSyntaxError},
      {"?", Outcome::kSyntaxError},
      {"`1`", Outcome::kSyntaxError},
      {"!1", Outcome::kSyntaxError},
      {"1!", Outcome::kSyntaxError},
      {"@a", Outcome::kSyntaxError},
      {"a.", Outcome::kSyntaxError},
      {".", Outcome::kSyntaxError},
      {"...", Outcome::kValueError},  // accepted there, but Value cannot hold it
      {"....", Outcome::kSyntaxError},
      {"1.e", Outcome::kSyntaxError},
      {"1e+", Outcome::kSyntaxError},
      {"0x", Outcome::kSyntaxError},
      {"0b", Outcome::kSyntaxError},
      {"0o8", Outcome::kSyntaxError},
      {"0_", Outcome::kSyntaxError},
      {"1__0", Outcome::kSyntaxError},
      {"1_", Outcome::kSyntaxError},
      {"09", Outcome::kSyntaxError},
      {"09.5", Outcome::kLiteral},
      {"09j", Outcome::kValueError},  // accepted there, but Value cannot hold it
      {"0e0", Outcome::kLiteral},
      {"set()", Outcome::kLiteral},
      {"set(())", Outcome::kValueError},
      {"set(*())", Outcome::kValueError},
      {"set(x=1)", Outcome::kValueError},
      {"set() ()", Outcome::kValueError},
      {"(set)()", Outcome::kLiteral},
      {"set", Outcome::kValueError},
      {"𝐬𝐞𝐭()", Outcome::kLiteral},
      {"[𝐓𝐫𝐮𝐞]", Outcome::kValueError},  // keywords are not folded: a plain name
      {"{set()}", Outcome::kTypeError},
      {"{(1, [2])}", Outcome::kTypeError},
      {"{frozenset()}", Outcome::kValueError},
      {"[{[1]}, x]", Outcome::kTypeError},
      {"{[1]: x}", Outcome::kValueError},
      {"-1", Outcome::kLiteral},
      {"--1", Outcome::kValueError},
      {"-+1", Outcome::kValueError},
      {"+-1", Outcome::kValueError},
      {"-(1)", Outcome::kLiteral},
      {"-(-1)", Outcome::kValueError},
      {"-(1,)", Outcome::kValueError},
      {"+True", Outcome::kValueError},
      {"-None", Outcome::kValueError},
      {"1 + 2j", Outcome::kValueError},  // accepted there, but Value cannot hold it
      {"1j + 1", Outcome::kValueError},
      {"1 + -2j", Outcome::kValueError},
      {"(1 + 2j) + 3j", Outcome::kValueError},
      {"1 + 2j * 3", Outcome::kValueError},
      {"'\\N'", Outcome::kSyntaxError},
      {"'\\N{'", Outcome::kSyntaxError},
      {"'\\N{}'", Outcome::kSyntaxError},
      {"'\\x4'", Outcome::kSyntaxError},
      {"'\\u12'", Outcome::kSyntaxError},
      {"b'\\x'", Outcome::kSyntaxError},
      {"b'\\N{X}'", Outcome::kLiteral},
      {"'\\N{EM DASH}'", Outcome::kLiteral},
      {"'\\N{NO SUCH}'", Outcome::kSyntaxError},
      {"'\\N{BULLET'", Outcome::kSyntaxError},
      {"r'\\N{NO SUCH}'", Outcome::kLiteral},
      {"f'\\N{EM DASH}'", Outcome::kValueError},  // never a literal, but well formed
      {"f'\\N{NO SUCH}'", Outcome::kSyntaxError},
      {"f'\\N{}'", Outcome::kSyntaxError},
      {"f'\\N{EM DASH}{'", Outcome::kSyntaxError},
      {"f'\\\\N{x}'", Outcome::kValueError},  // an escaped backslash, then a field
      {"rf'\\N{x}'", Outcome::kValueError},
      {"f'{1}\\x4'", Outcome::kSyntaxError},
      {"'\\N{NO}' + f'{'", Outcome::kSyntaxError},
      {"'\\U00110000'", Outcome::kSyntaxError},
      {"\n1", Outcome::kLiteral},
      {"\n 1", Outcome::kSyntaxError},
      {" \n1", Outcome::kLiteral},
      {"1\n", Outcome::kLiteral},
      {"1\n2", Outcome::kSyntaxError},
      {"1\n  ", Outcome::kSyntaxError},
      {"1\n  #c", Outcome::kLiteral},
      {"1\n \t", Outcome::kSyntaxError},
      {"\f 1", Outcome::kSyntaxError},
      {"  \f1", Outcome::kLiteral},
      {"1 \\\n", Outcome::kSyntaxError},
      {"\\\n1", Outcome::kLiteral},
      {"[1,\\\n2]", Outcome::kLiteral},
      {"#c", Outcome::kSyntaxError},
      {"", Outcome::kSyntaxError},
      {"\n", Outcome::kSyntaxError},
      {"  ", Outcome::kSyntaxError},
      {"1 # c\n\n", Outcome::kLiteral},
      {"1\\\n ", Outcome::kLiteral},
      {"x\\\n#c", Outcome::kValueError},
      {"#c\n\t\\\n1", Outcome::kSyntaxError},
      {"\\\n 1", Outcome::kSyntaxError},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(outcome_of(text), expected) << "text: " << text;
  }
}

TEST(LiteralEval, UnhashableKeyOrElementIsATypeError) {
  expect_rejected<TypeError>({
      {"{[1]}", "literal_eval: unhashable type: 'list' at line 1, column 2"},
      {"{(1, [2]): 3}", "literal_eval: unhashable type: 'list' at line 1, column 2"},
      {"{{}: 1}", "literal_eval: unhashable type: 'dict' at line 1, column 2"},
      {"{set()}", "literal_eval: unhashable type: 'set' at line 1, column 2"},
  });
}

TEST(LiteralEval, FirstFaultInReadingOrderWinsAsInPython) {
  // The list element fails before x is reached.
  expect_rejected<TypeError>(
      {{"[{[1]}, x]", "literal_eval: unhashable type: 'list' at line 1, column 3"}});
  expect_rejected<ValueError>({
      // A dict value is read before its key is hashed.
      {"{[1]: x}", R"(literal_eval: not a literal at line 1, column 7: "x")"},
      // Python never looks inside an operand of a non-literal expression.
      {"{[1]} + 2j", R"(literal_eval: not a literal at line 1, column 1: "{[1]} + 2j")"},
      // Python's own faults come before what Value cannot hold.
      {"[1j, x]", R"(literal_eval: not a literal at line 1, column 6: "x")"},
  });
}

TEST(LiteralEval, WhatValueCannotHoldIsAValueErrorThatSaysSo) {
  expect_rejected<ValueError>({
      {"1j", R"(literal_eval: complex number at line 1, column 1 cannot be held in a Value: "1j")"},
      {"[1+2j]",
       R"(literal_eval: complex number at line 1, column 2 cannot be held in a Value: "1+2j")"},
      {"...", R"(literal_eval: Ellipsis at line 1, column 1 cannot be held in a Value: "...")"},
      {"18446744073709551616",
       "literal_eval: integer outside the 64-bit range at line 1, column 1 cannot be held in "
       "a "
       "Value: \"18446744073709551616\""},
      {"-9223372036854775809",
       "literal_eval: integer outside the 64-bit range at line 1, column 1 cannot be held in "
       "a "
       "Value: \"-9223372036854775809\""},
      {"{1: 'a', '1': 'b'}",
       "literal_eval: a key whose repr is also a text key at line 1, column 10 cannot be "
       "held in a "
       "Value: \"'1'\""},
  });
}

TEST(LiteralEval, NamedEscapesAsPythonReadsThem) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"('\N{BULLET}')", "•"},
      {R"('\N{em dash}')", "—"},
      {R"('a\N{Latin Small Letter E With Acute}b')", "aéb"},
      {R"('\N{LF}\N{NULL}')", std::string("\n\0", 2)},  // aliases
      {R"('\N{HANGUL SYLLABLE GA}\N{CJK UNIFIED IDEOGRAPH-20000}')", "가𠀀"},
      {R"(u'\N{DIGIT ONE}' 'x')", "1x"},
      {R"({'\N{EM DASH}': 1})", "{'—': 1}"},
      {R"(b'\N{EM DASH}')", "b'\\\\N{EM DASH}'"},
      {R"(r'\N{EM DASH}')", "\\N{EM DASH}"},
      // New in Unicode 15.0, so unknown to Python 3.11: the one accepted difference.
      {R"('\N{KANNADA SIGN COMBINING ANUSVARA ABOVE RIGHT}')", "\u0CF3"},
  };
  for (const auto& [text, expected] : cases) {
    const Value v = literal_eval(text);
    EXPECT_EQ(v.is_string() ? v.get<std::string>() : repr(v), expected) << text;
  }
  expect_rejected<SyntaxError>({
      {R"('ab\N{no such name}')",
       R"(literal_eval: unknown Unicode character name at line 1, column 4: "\N{no such name}'")"},
      {R"('\N{hangul syllable ga}')",
       R"(literal_eval: unknown Unicode character name at line 1, column 2: "\N{hangul syllable ga}'")"},
      {R"('\N{EM DASH')",
       R"(literal_eval: malformed \N character escape at line 1, column 2: "\N{EM DASH'")"},
      {R"(f'{x}\N{NO SUCH}')",
       R"(literal_eval: unknown Unicode character name at line 1, column 6: "\N{NO SUCH}'")"},
  });
}

TEST(LiteralEval, SurrogateEscapesStandForBytes) {
  // \udc80..\udcff is a byte that is not UTF-8, as repr writes it; other lone surrogates keep
  // their three-byte form.
  EXPECT_EQ(literal_eval(R"('a\udcff\udc80')"), std::string("a\xff\x80"));
  EXPECT_EQ(literal_eval(R"('\ud800')"), std::string("\xed\xa0\x80"));
  EXPECT_EQ(literal_eval(R"('\ud83d\ude00')"), std::string("\xed\xa0\xbd\xed\xb8\x80"));
}

TEST(LiteralEval, KeysValueCannotHoldAreStoredUnderTheirRepr) {
  const std::vector<Accepted> cases = {
      {"{1j: 1, -2j: 2, 1.5+2.5j: 3, -1-2j: 4, 1e999j: 5, -0.0-0j: 6}",
       "{'1j': 1, '(-0-2j)': 2, '(1.5+2.5j)': 3, '(-1-2j)': 4, 'infj': 5, '(-0+0j)': 6}"},
      // equal keys across kinds: the first key stays, the last value wins
      {"{1+0j: 'a', 1: 'b', 0j: 'c', False: 'd'}", "{'(1+0j)': 'b', '0j': 'd'}"},
      {"{18446744073709551616: 'a', 1.8446744073709552e19: 'b', 1e20: 'c', "
       "100000000000000000000: 'd'}",
       "{'18446744073709551616': 'b', '1e+20': 'd'}"},
      {"{(1, ...): 2, (1, (2j, ...)): 3, ...: 4}",
       "{'(1, Ellipsis)': 2, '(1, (2j, Ellipsis))': 3, 'Ellipsis': 4}"},
      {"{-18446744073709551615: 2, 0xffffffffffffffffffff: 3}",
       "{'-18446744073709551615': 2, '1208925819614629174706175': 3}"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(repr(literal_eval(text)), expected) << "text: " << text;
  }
  // Outside a key they still cannot be held.
  expect_rejected<ValueError>({
      {"{'a': (1, ...)}",
       R"~(literal_eval: Ellipsis in a tuple at line 1, column 7 cannot be held in a Value: "(1, ...)")~"},
      {"{1j: [2j]}",
       R"(literal_eval: complex number at line 1, column 7 cannot be held in a Value: "2j")"},
  });
}

TEST(LiteralEval, NestingIsBoundedWithoutExhaustingTheStack) {
  const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_EQ(repr(literal_eval(nested(200))), nested(200));
  expect_rejected<SyntaxError>({
      {nested(201), "literal_eval: too many nested brackets at line 1, column 201: \"[" +
                        std::string(39, ']') + "\""},
      {std::string(100000, '('),
       "literal_eval: too many nested brackets at line 1, column 201: \"" + std::string(40, '(') +
           "\""},
  });
  // Chains without brackets are read as loops or bounded.
  EXPECT_THROW(literal_eval(std::string(100000, '-') + "1"), ValueError);
  EXPECT_THROW(literal_eval("1" + std::string(50000, '+') + "1"), ValueError);
  std::string lambdas;
  for (int i = 0; i < 20000; ++i) lambdas += "lambda:";
  EXPECT_THROW(literal_eval(lambdas + "1"), SyntaxError);
}

// A text refused late, however deep or wide, is refused before its value is built: the peak
// stays within the text's own size (building the wide ones takes sixteen times it).
TEST(LiteralEval, RefusedLargeTextsCostNoMoreMemoryThanTheirSize) {
  constexpr std::size_t kSize = 6 << 20;
  const std::vector<std::string> texts = {
      testing::repeated("", "[", kSize),    testing::repeated("", "{'a':", kSize),
      testing::repeated("[", "0,", kSize),  testing::repeated("{'a':[", "1,", kSize, "}"),
      testing::repeated("[", "[],", kSize), testing::repeated("[", "'ab',", kSize, "x]"),
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.substr(0, 12));
    EXPECT_ANY_THROW(literal_eval(text));
    const auto grown = testing::peak_memory_growth([&] { literal_eval(text); });
    if (!grown) GTEST_SKIP() << "the peak memory cannot be measured here";
    EXPECT_LE(*grown, text.size());
  }
}

// A value that outgrows what building at once may spend is dropped, and the text is checked,
// then built: the value, and the faults that only building finds, are those of a short text.
TEST(LiteralEval, ValuesBeyondTheBuildBudgetAreReadWhole) {
  std::string items;
  Value expected = Value::array();
  for (int i = 0; i < 20000; ++i) {
    items += "{'k': " + std::to_string(i) + ", 'v': ['文本', None]}, ";
    expected.push_back({{"k", i}, {"v", Value::array({"文本", nullptr})}});
  }
  EXPECT_EQ(literal_eval("[" + items + "]"), expected);
  EXPECT_EQ(literal_eval("(" + items + ")"), expected);
  // The repr of 1 meets the text key '1', which only building sees.
  EXPECT_THROW(literal_eval("[" + items + "{1: 0, '1': 0}]"), ValueError);
  EXPECT_THROW(literal_eval("[" + items + "{1: 0}"), SyntaxError);
  EXPECT_THROW(literal_eval("[" + items + "[]: 0]"), SyntaxError);
}

// A dict or list of constants is read on a quicker road; whatever leaves it is read again by
// the whole grammar, with the same value or fault as if the quick road were not there.
TEST(LiteralEval, DisplaysOfConstantsAgreeWithTheWholeGrammar) {
  const std::vector<std::pair<std::string, std::string>> read = {
      {"{'a': 1, 'b': -2, 'c': 2.5e3}", R"({"a":1,"b":-2,"c":2500.0})"},
      {"{'a': [1, 2], 'b': None, 'a': 'x'}", R"({"a":"x","b":null})"},
      {"['a' 'b', True, 18446744073709551615]", R"(["ab",true,18446744073709551615])"},
      {"{'a': 1}, [2]", R"([{"a":1},[2]])"},
      {"{'a': (1,), 'b': {2: 3}}", R"({"a":[1],"b":{"2":3}})"},
      {"[1_0, 0x10, 1.5]\n# done\n", "[10,16,1.5]"},
      {"{'a': {'b': [{}, []]},}", R"({"a":{"b":[{},[]]}})"},
  };
  for (const auto& [text, json] : read) EXPECT_EQ(literal_eval(text), Value::parse(json)) << text;
  expect_rejected<ValueError>({
      {"{'a': 1, 'b': x}", R"(literal_eval: not a literal at line 1, column 15: "x")"},
      {"[1, 2j]",
       R"(literal_eval: complex number at line 1, column 5 cannot be held in a Value: "2j")"},
  });
  expect_rejected<SyntaxError>({
      {"{'a': 'never closed}",
       R"(literal_eval: unterminated string at line 1, column 7: "'never closed}")"},
      {"[1, 2", R"(literal_eval: bracket never closed at line 1, column 1: "[1, 2")"},
      {"{'a': 1}\n  2",
       R"(literal_eval: unexpected text after the expression at line 2, column 3: "2")"},
  });
}

// A signed number in a list is read on the quick road; in a tuple, by the whole grammar. Both
// give the same value, or the same kind of fault (whose words name the tuple).
TEST(LiteralEval, SignedNumbersOnTheQuickRoadAgreeWithTheWholeGrammar) {
  const auto outcome = [](const std::string& text) -> std::string {
    try {
      return literal_eval(text).dump();
    } catch (const SyntaxError&) {
      return "SyntaxError";
    } catch (const ValueError&) {
      return "ValueError";
    }
  };
  for (const std::string number : {"-1",
                                   "-0",
                                   "-0.0",
                                   "-2.5e3",
                                   "-.5",
                                   "-1e400",
                                   "-0x10",
                                   "-1_000",
                                   "-9223372036854775807",
                                   "-9223372036854775808",
                                   "-9223372036854775809",
                                   "-18446744073709551615",
                                   "-1j",
                                   "--1",
                                   "-1**2",
                                   "- 1",
                                   "-True",
                                   "-(1)",
                                   "-'a'",
                                   "-x",
                                   "-",
                                   "-1 if 1 else 2"}) {
    SCOPED_TRACE(number);
    EXPECT_EQ(outcome("[" + number + "]"), outcome("(" + number + ",)"));
    EXPECT_EQ(outcome("{'k': " + number + "}"), outcome("{'k': (" + number + ")}"));
  }
  EXPECT_EQ(literal_eval("[-9223372036854775808, -0.0]"),
            Value::array({std::numeric_limits<std::int64_t>::min(), -0.0}));
  EXPECT_TRUE(std::signbit(literal_eval("[-0.0]")[0].get<double>()));
}

// Runs of non-ASCII characters in a string are checked one character at a time, wherever a
// bad byte falls in the run.
TEST(LiteralEval, BadUtf8IsFoundAnywhereInARunOfNonAsciiText) {
  const std::string run = "中文字符";  // twelve bytes
  for (std::size_t cut = 0; cut <= run.size(); ++cut) {
    SCOPED_TRACE(cut);
    for (const std::string bad : {"\xff", "\xe4\xb8", "\xc0\x80"}) {
      const std::string text = "['" + run.substr(0, cut) + bad + run.substr(cut) + "']";
      try {
        literal_eval(text);
        ADD_FAILURE() << "accepted";
      } catch (const SyntaxError& e) {
        // The bad byte, or the lead byte of the character it breaks; "['" comes first.
        EXPECT_EQ(std::string(e.what()), "literal_eval: invalid UTF-8 at byte offset " +
                                             std::to_string(2 + cut - cut % 3));
      }
    }
  }
  EXPECT_EQ(literal_eval("['" + run + "', '" + run + "a" + run + "']"),
            Value::array({run, run + "a" + run}));
}

TEST(LiteralEval, LargeDictKeepsFirstPositionAndLastValue) {
  std::string text = "{";
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 500; ++i) {
      text += "'k" + std::to_string(i) + "': " + std::to_string(round * 1000 + i) + ", ";
      text += std::to_string(i) + ": " + std::to_string(round) + ", ";
    }
  }
  text += "}";
  const Value v = literal_eval(text);
  ASSERT_EQ(v.size(), 1000u);
  auto it = v.begin();
  EXPECT_EQ(it.key(), "k0");
  EXPECT_EQ(*it, 1000);
  ++it;
  EXPECT_EQ(it.key(), "0");
  EXPECT_EQ(*it, 1);
  EXPECT_EQ(v["k499"], 1499);
}

// Values drawn at random from every kind, nested a few levels.
Value random_value(std::mt19937& rng, int depth) {
  std::uniform_int_distribution<int> kind(0, depth > 3 ? 6 : 9);
  std::uniform_int_distribution<int> byte(0, 255);
  const auto random_bytes = [&](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>(byte(rng));
    return s;
  };
  switch (kind(rng)) {
    case 0:
      return nullptr;
    case 1:
      return byte(rng) % 2 == 0;
    case 2:
      return static_cast<std::int64_t>(rng()) * (byte(rng) % 2 == 0 ? 1 : -1);
    case 3: {
      const std::uint64_t bits = (std::uint64_t{rng()} << 32) | rng();
      double d = 0;
      std::memcpy(&d, &bits, sizeof d);
      return std::isnan(d) ? 0.5 : d;
    }
    case 4:
      return random_bytes(byte(rng) % 12);  // often invalid UTF-8
    case 5:
      return std::string("售后 'q' \"dq\" \\ \n\t\x01\u2028😀").substr(0, byte(rng) % 30);
    case 6: {
      const std::string s = random_bytes(byte(rng) % 8);
      return Value::binary(std::vector<std::uint8_t>(s.begin(), s.end()));
    }
    case 7:
    case 8: {
      Value array = Value::array();
      for (int i = byte(rng) % 5; i > 0; --i) array.push_back(random_value(rng, depth + 1));
      return array;
    }
    default: {
      Value object = Value::object();
      for (int i = byte(rng) % 5; i > 0; --i) {
        object[random_bytes(byte(rng) % 6)] = random_value(rng, depth + 1);
      }
      return object;
    }
  }
}

TEST(LiteralEval, ReadsBackEveryRepr) {
  std::mt19937 rng(20261208);
  for (int i = 0; i < 3000; ++i) {
    const Value v = random_value(rng, 0);
    const std::string text = repr(v);
    Value back;
    ASSERT_NO_THROW(back = literal_eval(text)) << text;
    // Value's == compares floats numerically; the repr text pins -0.0 and exact bits too.
    EXPECT_EQ(back, v) << text;
    EXPECT_EQ(repr(back), text);
  }
}

}  // namespace
}  // namespace tavrin
