#include "tavrin/openai/internal/embedding_reply.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tavrin/core/errors.hpp"

namespace tavrin::openai::internal {
namespace {

using Vectors = std::vector<std::vector<float>>;

Vectors read(std::string_view body, std::size_t texts, Dimension dimension = {}) {
  Vectors slots(texts);
  read_embedding_reply(body, slots, dimension);
  return slots;
}

// The message of the ValueError that reading `body` into `texts` slots throws.
std::string fault(std::string_view body, std::size_t texts, Dimension dimension = {},
                  std::vector<std::string> secrets = {}) {
  Vectors slots(texts);
  try {
    read_embedding_reply(body, slots, dimension, secrets);
  } catch (const ValueError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(EmbeddingReply, PlacesEachItemByItsIndexAndSkipsEveryOtherMember) {
  const std::string body =
      R"({"object": "list", "usage": {"prompt_tokens": 4, "nested": [[{}], "]"]},
    "data": [
      {"object": "embedding", "index": 2, "embedding": [0.5, -1.25e-1, 3E+2]},
      {"embedding": [1, 2, 3], "index": 0, "extra": {"a": [true, false, null]}},
      {"index": 1, "object": "embedding", "embedding": [ -0 , 1e-50 , 0.25 ]}
    ],
    "model": "text-embedding-3-small"}
  )";
  const Vectors vectors = read(body, 3);
  EXPECT_EQ(vectors, (Vectors{{1, 2, 3}, {-0.0f, 0, 0.25f}, {0.5f, -0.125f, 300}}));
  EXPECT_TRUE(std::signbit(vectors[1][0]));
}

TEST(EmbeddingReply, ItemsWithoutIndexAreTakenInReplyOrder) {
  EXPECT_EQ(read(R"({"data":[{"embedding":[1]},{"embedding":[2]}]})", 2), (Vectors{{1}, {2}}));
}

TEST(EmbeddingReply, NumbersAreRoundedOnceToTheNearestFloat) {
  // 16777217 lies halfway between the floats 16777216 and 16777218 (ties go to even); a hair
  // above it must go up, which a detour through double (where the hair is lost) would miss.
  const Vectors vectors = read(
      R"({"data":[{"embedding":[0.1,16777217,16777217.000000001,3.4028235e38,)"
      R"(-0.0076599917374551296,1234567890123456789012e-10,0.000000000000000000000000000001]}]})",
      1);
  EXPECT_EQ(vectors[0][0], 0.1f);
  EXPECT_EQ(vectors[0][1], 16777216.0f);
  EXPECT_EQ(vectors[0][2], 16777218.0f);
  EXPECT_EQ(vectors[0][3], std::numeric_limits<float>::max());
  EXPECT_EQ(vectors[0][4], -0.0076599917374551296f);
  EXPECT_EQ(vectors[0][5], 123456789012.3456789012f);
  EXPECT_EQ(vectors[0][6], 1e-30f);
}

TEST(EmbeddingReply, EveryNumberReadsAsFromCharsReadsIt) {
  // Random floats of every magnitude written as Python and others write them, digits beyond
  // what a double holds, and the exact midpoints between floats with their near neighbours:
  // each must come out as the correctly rounded from_chars result.
  std::mt19937_64 random(42);
  std::vector<std::string> numbers;
  char text[128];
  while (numbers.size() < 200'000) {
    const auto f = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    if (!std::isfinite(f)) continue;
    const auto precision = static_cast<int>(random() % 20) + 1;
    std::snprintf(text, sizeof text, random() % 2 ? "%.*g" : "%.*e", precision,
                  static_cast<double>(f));
    numbers.push_back(text);
    const double above = std::nextafter(f, std::numeric_limits<float>::infinity());
    const double midpoint = (static_cast<double>(f) + above) / 2;  // exact in a double
    std::snprintf(text, sizeof text, "%.60g", midpoint);
    numbers.push_back(text);
    std::snprintf(text, sizeof text, "%.17g", std::nextafter(midpoint, 0.0));
    numbers.push_back(text);
    std::snprintf(text, sizeof text, "%.17g", std::nextafter(midpoint, 1e300));
    numbers.push_back(text);
  }
  for (std::string extra :
       {"0", "-0", "0.0", "1E5", "1e+5", "-7e-0", "0.000000000000000000000012345",
        "123456789012345678901234567890", "3.40282346638528859811e38", "1.17549435082228750797e-38",
        "1.4e-45", "0.0000001000000000000000001"}) {
    numbers.push_back(extra);
  }
  constexpr std::size_t kPerItem = 1000;
  numbers.resize(numbers.size() / kPerItem * kPerItem);
  std::string body = R"({"data":[)";
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    body += i % kPerItem == 0 ? (i == 0 ? R"({"embedding":[)" : R"(]},{"embedding":[)") : ",";
    body += numbers[i];
  }
  body += "]}]}";
  const Vectors vectors = read(body, numbers.size() / kPerItem);
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    float expected = 0;
    std::from_chars(numbers[i].data(), numbers[i].data() + numbers[i].size(), expected);
    const float got = vectors[i / kPerItem][i % kPerItem];
    if (std::bit_cast<std::uint32_t>(got) != std::bit_cast<std::uint32_t>(expected) &&
        ++wrong < 10) {
      ADD_FAILURE() << numbers[i] << " read as " << got << ", not " << expected;
    }
  }
  EXPECT_EQ(wrong, 0u);
}

TEST(EmbeddingReply, EscapedNamesAndStringsAreDecoded) {
  const std::string body =
      R"({"d\u0061ta":[{"embedding":[1],"n\"x":"\\\/\b\f\n\r\t\u00e9\ud83d\ude00"}]})";
  EXPECT_EQ(read(body, 1), (Vectors{{1}}));
}

TEST(EmbeddingReply, Base64IsLittleEndianFloat32WithOrWithoutPadding) {
  // 12 bytes: 16 characters, no padding.
  EXPECT_EQ(read(R"({"data":[{"index":0,"embedding":"AACAPwAAIMDNzMw9"}]})", 1),
            (Vectors{{1.0f, -2.5f, 0.1f}}));
  // 8 bytes: "AACAPwAAIMA=" with padding; some writers leave it out, some escape '/'.
  EXPECT_EQ(read(R"({"data":[{"embedding":"AACAPwAAIMA="},{"embedding":"AACAPwAAIMA"}]})", 2),
            (Vectors{{1.0f, -2.5f}, {1.0f, -2.5f}}));
  EXPECT_EQ(read(R"({"data":[{"embedding":"AAAAAP\/\/f38="}]})", 1)[0][1],
            std::bit_cast<float>(std::uint32_t{0x7F7FFFFF}));
}

TEST(EmbeddingReply, TheFirstVectorSetsTheDimensionForTheRest) {
  Dimension dimension;
  Vectors first(1);
  read_embedding_reply(R"({"data":[{"embedding":[1,2]}]})", first, dimension);
  EXPECT_EQ(dimension.size, 2u);
  Vectors second(1);
  EXPECT_THROW(read_embedding_reply(R"({"data":[{"embedding":[1,2,3]}]})", second, dimension),
               ValueError);
}

struct Fault {
  const char* body;
  std::size_t texts;
  const char* message;
};

TEST(EmbeddingReply, AnswersThatDoNotFitTheBatchAreRefusedByName) {
  const Fault faults[] = {
      {R"([])", 1, "the reply is not a JSON object"},
      {R"({"data":{}})", 1, R"("data" in the reply is not an array)"},
      {R"({"object":"list"})", 1, R"(the reply has no "data" array)"},
      {R"({"data":[],"data":[]})", 0, R"(the reply has two "data" members)"},
      {R"({"data":[{"embedding":[1]}]})", 2, "the reply has 1 vector for 2 texts"},
      {R"({"data":[]})", 1, "the reply has 0 vectors for 1 text"},
      {R"({"data":[{"embedding":[1]},{"embedding":[1]}]})", 1,
       "the reply has more than 1 vector for 1 text"},
      {R"({"data":[{"index":0,"embedding":[1]},{"index":1,"embedding":[1]}]})", 1,
       "data[1].index 1 is out of range for 1 text"},
      {R"({"data":[{"index":1,"embedding":[1]},{"index":1,"embedding":[1]}]})", 2,
       "data[1] answers text 1 of the batch again"},
      {R"({"data":[{"embedding":[1]},{"index":0,"embedding":[1]}]})", 2,
       "data[1] answers text 0 of the batch again"},
      {R"({"data":[{"index":0,"index":0,"embedding":[1]}]})", 1,
       R"(data[0] has two "index" members)"},
      {R"({"data":[{"embedding":[1],"embedding":[1]}]})", 1,
       R"(data[0] has two "embedding" members)"},
      {R"({"data":[{"index":1.5,"embedding":[1]}]})", 2,
       "data[0].index 1.5 is not a text's position"},
      {R"({"data":[{"index":-1,"embedding":[1]}]})", 2,
       "data[0].index -1 is not a text's position"},
      {R"({"data":[{"index":"0","embedding":[1]}]})", 1, "data[0].index is not a number"},
      {R"({"data":[7]})", 1, "data[0] is not an object"},
      {R"({"data":[{"index":0}]})", 1, R"(data[0] has no "embedding")"},
      {R"({"data":[{"embedding":{}}]})", 1,
       "data[0].embedding is neither an array of numbers nor a base64 string"},
      {R"({"data":[{"embedding":[]}]})", 1, "data[0].embedding is empty"},
      {R"({"data":[{"embedding":""}]})", 1, "data[0].embedding is empty"},
      {R"({"data":[{"embedding":[1,2]},{"embedding":[1]}]})", 2,
       "data[1].embedding has 1 components, not 2 as the vectors before it"},
      // Its cosine with any query is 0. 1e-50 is a zero float32.
      {R"({"data":[{"embedding":[0, -0.0, 1e-50]}]})", 1,
       "data[0].embedding is all zeros, not a direction"},
      {R"({"data":[{"embedding":"AAAAAAAAAIA="}]})", 1,
       "data[0].embedding is all zeros, not a direction"},
      {R"({"data":[{"embedding":[1, NaN]}]})", 1,
       "data[0].embedding[1] is NaN, not a finite number"},
      {R"({"data":[{"embedding":[Infinity]}]})", 1,
       "data[0].embedding[0] is Infinity, not a finite number"},
      {R"({"data":[{"embedding":[0,-Infinity]}]})", 1,
       "data[0].embedding[1] is -Infinity, not a finite number"},
      {R"({"data":[{"embedding":[0,0,null]}]})", 1,
       "data[0].embedding[2] is null, not a finite number"},
      {R"({"data":[{"embedding":[1e39]}]})", 1,
       "data[0].embedding[0] is 1e39, outside the float32 range"},
      {R"({"data":[{"embedding":[-1e400]}]})", 1,
       "data[0].embedding[0] is -1e400, outside the float32 range"},
      {R"({"data":[{"embedding":"AAAA"}]})", 1,
       "data[0].embedding is not base64 of float32 values (4 characters)"},
      {R"({"data":[{"embedding":"AA%AAAAAAAAAAAAA"}]})", 1,
       "data[0].embedding has a character that is not base64 at its offset 2"},
      {R"({"data":[{"embedding":"AADAfw=="}]})", 1,
       "data[0].embedding[0] is NaN, not a finite number"},
      {R"({"data":[{"embedding":"AACAfw=="}]})", 1,
       "data[0].embedding[0] is infinite, not a finite number"},
  };
  for (const Fault& f : faults) EXPECT_EQ(fault(f.body, f.texts), f.message) << f.body;
}

TEST(EmbeddingReply, AskedDimensionIsNamedWhenTheReplyIgnoresIt) {
  EXPECT_EQ(fault(R"({"data":[{"embedding":[1,2,3]}]})", 1, Dimension{2, true}),
            "data[0].embedding has 3 components, not the 2 asked for");
}

TEST(EmbeddingReply, MalformedJsonIsRefusedWithItsOffset) {
  const Fault faults[] = {
      {R"({"data":[{"embedding":[1,2)", 1,
       "the reply is not valid JSON: expected ',' or ']' at byte 26"},
      {R"({"data":[{"embedding":[01]}]})", 1,
       "the reply is not valid JSON: expected ',' or ']' at byte 24"},
      {R"({"data":[{"embedding":[.5]}]})", 1,
       "the reply is not valid JSON: expected a number at byte 23"},
      {R"({"data":[{"embedding":[1.]}]})", 1,
       "the reply is not valid JSON: expected a digit after '.' at byte 25"},
      {R"({"data":[{"embedding":[1e]}]})", 1,
       "the reply is not valid JSON: expected a digit in the exponent at byte 25"},
      {R"({"data":[{"embedding":[+1]}]})", 1,
       "the reply is not valid JSON: expected a number at byte 23"},
      {R"({"data":[{"embedding":[1]}]} x)", 1,
       "the reply is not valid JSON: expected the end of the reply at byte 29"},
      {"{\"a\":\"\x01\",\"data\":[]}", 0,
       "the reply is not valid JSON: expected no control character in a string at byte 6"},
      {R"({"a":"\x","data":[]})", 0,
       "the reply is not valid JSON: expected an escape character at byte 7"},
      {R"({"a":"\udc00","data":[]})", 0,
       "the reply is not valid JSON: expected no lone low surrogate at byte 12"},
      {R"({"a":"\ud800x","data":[]})", 0,
       "the reply is not valid JSON: expected a low surrogate at byte 12"},
      {R"({"a":tru,"data":[]})", 0, "the reply is not valid JSON: expected a value at byte 5"},
      {R"({"a" 1})", 0, "the reply is not valid JSON: expected ':' at byte 5"},
      {R"({"a":1 "data":[]})", 0, "the reply is not valid JSON: expected ',' or '}' at byte 7"},
      {R"({"a":"open)", 0, "the reply is not valid JSON: expected the end of a string at byte 10"},
      {R"({1:2})", 0, "the reply is not valid JSON: expected a member name at byte 1"},
  };
  for (const Fault& f : faults) EXPECT_EQ(fault(f.body, f.texts), f.message) << f.body;
}

TEST(EmbeddingReply, DeepNestingInASkippedMemberIsRefused) {
  const std::string body = R"({"usage":)" + std::string(1001, '[') + std::string(1001, ']') + "}";
  EXPECT_EQ(fault(body, 0), "the reply nests deeper than 1000 levels");
  const std::string fine =
      R"({"usage":)" + std::string(999, '[') + std::string(999, ']') + R"(,"data":[]})";
  EXPECT_EQ(fault(fine, 0), "(no error)");
}

TEST(EmbeddingReply, AnErrorInsteadOfDataIsQuotedWithoutTheSecrets) {
  const std::string body =
      R"({"error":{"message":"Incorrect API key provided: sk-live-0123456789abcdef. See the docs.",)"
      R"("type":"invalid_request_error"}})";
  EXPECT_EQ(
      fault(body, 1, {}, {"sk-live-0123456789abcdef"}),
      R"(the reply has no "data" array but an "error": "Incorrect API key provided: ***. See the")");
  // A key that the cut of the quote would halve is replaced before the cut.
  const std::string late =
      R"({"error":"0123456789012345678901234567890123sk-live-0123456789abcdef"})";
  EXPECT_EQ(
      fault(late, 1, {}, {"sk-live-0123456789abcdef"}),
      R"(the reply has no "data" array but an "error": "0123456789012345678901234567890123***")");
  EXPECT_EQ(fault(R"({"error":[1,2]})", 1),
            R"(the reply has no "data" array but an "error": "[1,2]")");
}

}  // namespace
}  // namespace tavrin::openai::internal
