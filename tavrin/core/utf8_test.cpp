#include "tavrin/core/internal/utf8.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin::internal {
namespace {

TEST(Utf8, DecodesWellFormedSequencesRefusesTheRestAndEncodesBack) {
  struct Case {
    std::string bytes;
    std::size_t length;  // 0: not well-formed
    std::uint32_t code_point;
  };
  const std::vector<Case> cases = {
      {"a", 1, 'a'},
      {"\xC2\x80", 2, 0x80},
      {"\xE5\x94\xAE!", 3, 0x552E},  // only the first sequence counts
      {"\xEF\xBF\xBF", 3, 0xFFFF},
      {"\xF0\x90\x80\x80", 4, 0x10000},
      {"\xF4\x8F\xBF\xBF", 4, 0x10FFFF},
      {"\xC1\xBF", 0, 0},          // overlong
      {"\xE0\x9F\xBF", 0, 0},      // overlong
      {"\xF0\x8F\xBF\xBF", 0, 0},  // overlong
      {"\xED\xA0\x80", 0, 0},      // surrogate
      {"\xF4\x90\x80\x80", 0, 0},  // beyond U+10FFFF
      {"\xF5\x80\x80\x80", 0, 0},  // bad lead byte
      {"\x80", 0, 0},              // lone continuation byte
      {"\xE5\x94", 0, 0},          // cut short
      {"\xE5\x94\x41", 0, 0},      // not a continuation byte
  };
  for (const Case& c : cases) {
    std::uint32_t cp = 0;
    EXPECT_EQ(decode_code_point(c.bytes, cp), c.length) << testing::PrintToString(c.bytes);
    EXPECT_EQ(well_formed_length(c.bytes), c.length) << testing::PrintToString(c.bytes);
    if (c.length > 0) {
      EXPECT_EQ(cp, c.code_point) << testing::PrintToString(c.bytes);
      std::string encoded;
      append_utf8(encoded, cp);
      EXPECT_EQ(encoded, c.bytes.substr(0, c.length)) << testing::PrintToString(c.bytes);
    }
  }
}

TEST(Utf8, WholeTextIsValidOnlyWhenEverySequenceIs) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("ab售后\xF0\x9F\x98\x80"));
  EXPECT_FALSE(is_valid_utf8("ab售后\xE5"));
  EXPECT_FALSE(is_valid_utf8(std::string("a\xC0\x80", 3)));
}

// Where the first ill-formed sequence of `s` starts, read sequence by sequence.
std::size_t first_invalid_by_sequence(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t length = well_formed_length(s.substr(i));
    if (length == 0) return i;
    i += length;
  }
  return std::string_view::npos;
}

// Texts long enough for the 32-byte check, with four bytes from every class that matters to a
// sequence placed across a block boundary and at the very end.
TEST(Utf8, LongTextsAreJudgedAsSequenceBySequenceAcrossBlocksAndAtTheEnd) {
  const unsigned char kBytes[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                  0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE,
                                  0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
  constexpr std::size_t kLength = 96;
  std::size_t invalid = 0;
  for (const std::size_t at : {29u, 31u, 92u}) {
    std::string text(kLength, 'a');
    for (unsigned char a : kBytes) {
      for (unsigned char b : kBytes) {
        for (unsigned char c : kBytes) {
          for (unsigned char d : kBytes) {
            text[at] = static_cast<char>(a);
            text[at + 1] = static_cast<char>(b);
            text[at + 2] = static_cast<char>(c);
            text[at + 3] = static_cast<char>(d);
            const std::size_t expected = first_invalid_by_sequence(text);
            invalid += expected != std::string_view::npos;
            ASSERT_EQ(first_invalid_utf8(text), expected) << testing::PrintToString(text);
          }
        }
      }
    }
  }
  EXPECT_GT(invalid, 0u);
}

// Long well-formed texts of mixed lengths, each broken at one random byte.
TEST(Utf8, OneBadByteAnywhereInALongTextIsFoundWhereItIs) {
  const std::string kPieces[] = {"a", "\xC3\xA9", "\xE5\x94\xAE", "\xF0\x9F\x98\x80",
                                 "\xEF\xBF\xBF"};
  std::mt19937 random(7);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const std::size_t pieces = 20 + random() % 200;
    for (std::size_t i = 0; i < pieces; ++i) text += kPieces[random() % std::size(kPieces)];
    ASSERT_TRUE(is_valid_utf8(text));
    text[random() % text.size()] = static_cast<char>(random() % 256);
    ASSERT_EQ(first_invalid_utf8(text), first_invalid_by_sequence(text))
        << testing::PrintToString(text);
  }
}

}  // namespace
}  // namespace tavrin::internal
