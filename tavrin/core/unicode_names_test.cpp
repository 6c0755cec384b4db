#include "tavrin/core/internal/unicode_names.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavrin::core::internal {
namespace {

struct Named {
  std::string name;
  char32_t code_point;
};

// Expected code points were taken from python3.11's unicodedata.lookup.
TEST(UnicodeNames, NamesAliasesAndAlgorithmicNames) {
  const std::vector<Named> cases = {
      {"EM DASH", 0x2014},
      {"em dash", 0x2014},
      {"Latin Small Letter A", 0x61},
      {"SPACE", 0x20},
      {"LINE FEED", 0x0A},  // an alias: control characters have no name
      {"lf", 0x0A},
      {"NULL", 0x00},
      {"BYTE ORDER MARK", 0xFEFF},
      {"ZERO WIDTH SPACE", 0x200B},
      {"CJK COMPATIBILITY IDEOGRAPH-F900", 0xF900},
      {"KHITAN SMALL SCRIPT CHARACTER-18B00", 0x18B00},
      {"TIBETAN LETTER A", 0x0F68},
      {"GRINNING FACE", 0x1F600},
      {"CJK UNIFIED IDEOGRAPH-4E2D", 0x4E2D},
      {"CJK UNIFIED IDEOGRAPH-3400", 0x3400},
      {"CJK UNIFIED IDEOGRAPH-04E2D", 0x4E2D},
      {"CJK UNIFIED IDEOGRAPH-30000", 0x30000},
      {"HANGUL SYLLABLE GA", 0xAC00},
      {"HANGUL SYLLABLE GGAG", 0xAE4D},
      {"HANGUL SYLLABLE A", 0xC544},
      {"HANGUL SYLLABLE HIH", 0xD7A3},
      // The first and the last name of the table, and the first of its second block.
      {"ABACUS", 0x1F9EE},
      {"ZWSP", 0x200B},
      {"ADLAM CAPITAL LETTER NHA", 0x1E91B},
  };
  for (const auto& [name, code_point] : cases) {
    EXPECT_EQ(code_point_named(name), code_point) << name;
  }
}

TEST(UnicodeNames, UnknownNames) {
  const std::vector<std::string> names = {"",
                                          "AAA",
                                          "ZZZ",
                                          " EM DASH",
                                          "EM  DASH",
                                          "EM-DASH",
                                          "EM DASH ",
                                          "NO SUCH NAME",
                                          "<control>",
                                          "cjk unified ideograph-4e2d",
                                          "CJK UNIFIED IDEOGRAPH-4e2d",
                                          "CJK UNIFIED IDEOGRAPH-4E2",
                                          "CJK UNIFIED IDEOGRAPH-004E2D",
                                          "CJK UNIFIED IDEOGRAPH-A000",
                                          "hangul syllable ga",
                                          "HANGUL SYLLABLE ga",
                                          "HANGUL SYLLABLE ",
                                          "HANGUL SYLLABLE GAX",
                                          "TANGUT IDEOGRAPH-17000",
                                          "LATIN CAPITAL LETTER A WITH MACRON AND GRAVE",
                                          "latin capital letter \xEF\xBD\x81",
                                          std::string(200, 'A')};
  for (const std::string& name : names) {
    EXPECT_EQ(code_point_named(name), std::nullopt) << name;
  }
}

}  // namespace
}  // namespace tavrin::core::internal
