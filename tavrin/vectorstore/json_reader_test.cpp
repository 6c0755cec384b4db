#include "tavrin/vectorstore/internal/json_reader.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/json_trace.hpp"

namespace tavrin::vectorstore::internal {
namespace {

using Trace = tavrin::testing::JsonTrace;

std::string trace_of(std::string_view text, int max_depth = 8) {
  Trace trace;
  read_json(text, trace, max_depth);
  return trace.events;
}

TEST(JsonReader, ReadsEveryKindOfValue) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"( {"a" : [1, -2, 0.5, true, false, null, "x"], "b": {}} )",
       "{ k(a) [ u1 i-2 f0.5 true false null s(x) ] k(b) { } }"},
      {"[]", "[ ]"},
      {"\t\r\n\"\"\n", "s()"},
      {"18446744073709551615", "u18446744073709551615"},
      {"-9223372036854775808", "i-9223372036854775808"},
      {"-0", "i0"},
      {"[1e2, 1E-2, -0.0, 2.5e+3, 5e-324, 0.1]", "[ f100 f0.01 f-0 f2500 f5e-324 f0.1 ]"},
      {R"("\"\\\/\b\f\n\r\t")", "s(\"\\/\b\f\n\r\t)"},
      {R"("\u00e9\u9000\ud83d\ude00\u0000x")", std::string("s(é退😀\0x)", 14)},
      {"\"售后 服务\"", "s(售后 服务)"},
      {R"({"a":1,"a":2})", "{ k(a) u1 k(a) u2 }"},  // repeats are the handler's to judge
  };
  for (const auto& [text, events] : cases) {
    EXPECT_EQ(trace_of(text), events) << text;
  }
}

TEST(JsonReader, RefusesWhatIsNotStrictJsonAndSaysWhere) {
  const std::vector<std::tuple<std::string, std::size_t, JsonFault>> cases = {
      {"", 1, JsonFault::kSyntax},
      {"  ", 3, JsonFault::kSyntax},
      {"[1,]", 4, JsonFault::kSyntax},
      {R"({"a":1,})", 8, JsonFault::kSyntax},
      {R"({"a" 1})", 6, JsonFault::kSyntax},
      {R"({a:1})", 2, JsonFault::kSyntax},
      {"['a']", 2, JsonFault::kSyntax},
      {"[1 2]", 4, JsonFault::kSyntax},
      {"{} x", 4, JsonFault::kSyntax},
      {"[1] // note", 5, JsonFault::kSyntax},
      {"\xef\xbb\xbf[]", 1, JsonFault::kSyntax},  // a byte order mark
      {"01", 2, JsonFault::kSyntax},
      {"1.", 3, JsonFault::kSyntax},
      {".5", 1, JsonFault::kSyntax},
      {"+1", 1, JsonFault::kSyntax},
      {"1e", 3, JsonFault::kSyntax},
      {"-", 2, JsonFault::kSyntax},
      {"NaN", 1, JsonFault::kSyntax},
      {"-Infinity", 2, JsonFault::kSyntax},
      {"tru", 4, JsonFault::kSyntax},
      {"nul1", 4, JsonFault::kSyntax},
      {"\"abc", 5, JsonFault::kSyntax},
      {"\"a\tb\"", 3, JsonFault::kSyntax},
      {std::string("\"a\0b\"", 5), 3, JsonFault::kSyntax},
      {R"("\x")", 3, JsonFault::kSyntax},
      {R"("\u12")", 6, JsonFault::kSyntax},
      {R"("\ud800")", 2, JsonFault::kSyntax},
      {R"("\ud800\u0041")", 2, JsonFault::kSyntax},
      {R"("\udc00\ud800")", 2, JsonFault::kSyntax},
      {"\"\\", 3, JsonFault::kSyntax},
      {"[\"a\xff\"]", 4, JsonFault::kNotUtf8},
      {"\"\xc0\x80\"", 2, JsonFault::kNotUtf8},      // overlong
      {"\"\xed\xa0\x80\"", 2, JsonFault::kNotUtf8},  // an encoded surrogate
      {"\"\xe9\x80\"", 2, JsonFault::kNotUtf8},      // cut short
      {"[18446744073709551616]", 2, JsonFault::kIntegerBeyond64Bits},
      {"-9223372036854775809", 1, JsonFault::kIntegerBeyond64Bits},
      {"[1e400]", 2, JsonFault::kNumberBeyondDouble},
      {"-1e400", 1, JsonFault::kNumberBeyondDouble},
      {"1e-400", 1, JsonFault::kNumberBeyondDouble},
      {"[[[[[[[[[]]]]]]]]]", 9, JsonFault::kTooDeep},
      {R"({"a":{"b":{"c":{"d":{"e":{"f":{"g":{"h":{}}}}}}}}})", 41, JsonFault::kTooDeep},
  };
  for (const auto& [text, byte, fault] : cases) {
    try {
      trace_of(text);
      ADD_FAILURE() << "read without a fault: " << text;
    } catch (const JsonError& e) {
      EXPECT_EQ(e.byte, byte) << text;
      EXPECT_EQ(e.fault, fault) << text;
    }
  }
  EXPECT_EQ(trace_of("[[[[[[[[]]]]]]]]"), "[ [ [ [ [ [ [ [ ] ] ] ] ] ] ] ]");  // 8 deep is allowed
}

// Long strings are scanned a block at a time: a quote, a backslash or a control character is
// found wherever it falls in a block.
TEST(JsonReader, LongStringsStopAtEveryByteThatEndsAPlainRun) {
  for (std::size_t at = 0; at < 48; ++at) {
    std::string body(48, 'x');
    body.insert(at, "\\n");
    EXPECT_EQ(trace_of("\"" + body + "\""),
              "s(" + std::string(at, 'x') + "\n" + std::string(48 - at, 'x') + ")")
        << at;
    std::string control(48, 'x');
    control[at] = '\x1f';
    try {
      trace_of("\"" + control + "\"");
      ADD_FAILURE() << "read without a fault: control character at " << at;
    } catch (const JsonError& e) {
      EXPECT_EQ(e.byte, at + 2);
    }
  }
}

TEST(JsonReader, WhatTheHandlerThrowsPassesThrough) {
  struct Refusing : Trace {
    void key(std::string_view) { throw std::invalid_argument("no keys here"); }
  };
  Refusing refusing;
  EXPECT_THROW(read_json(R"({"a":1})", refusing, 8), std::invalid_argument);
  EXPECT_EQ(refusing.events, "{");
}

}  // namespace
}  // namespace tavrin::vectorstore::internal
