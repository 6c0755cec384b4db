#include "tavrin/core/internal/utf8.hpp"

#include <gtest/gtest.h>

#include <string>
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

}  // namespace
}  // namespace tavrin::internal
