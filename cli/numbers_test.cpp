#include "cli/numbers.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "cli/common.hpp"

namespace tavrin::cli {
namespace {

TEST(RealIn, RefusesWhatIsNoFiniteNumberInRange) {
  const CLI::Validator timeout = real_in(0.001, 86400);
  for (const std::string bad : {"nan", "NaN", "-nan", "inf", "-inf", "infinity", "1e400", "1e300",
                                "86400.5", "0", "-1", "", " 1", "1 ", "+1", "0x10", "1,5", "abc"}) {
    std::string input = bad;
    EXPECT_EQ(timeout(input), "Value " + in_quotes(bad) + " not in range 0.001 to 86400") << bad;
  }
  for (const auto& [given, read] :
       {std::pair{"0.001", "0.001"}, {"1e-3", "0.001"}, {"86400", "86400"}, {"0.50", "0.5"}}) {
    std::string input = given;
    EXPECT_EQ(timeout(input), "") << given;
    EXPECT_EQ(input, read);
  }
  std::string lowest = "-1";
  EXPECT_EQ(real_in(-1, 1)(lowest), "");
}

TEST(CountIn, TakesOnlyWholeDecimalNumbersInRange) {
  const CLI::Validator in_flight = count_in(1, 4096);
  for (const std::string bad :
       {"0", "4097", "-1", "1.5", "1e3", "nan", "inf", "", "0x10", "+2", "18446744073709551616"}) {
    std::string input = bad;
    EXPECT_EQ(in_flight(input),
              "Value " + in_quotes(bad) + " not a whole number in range 1 to 4096")
        << bad;
  }
  // CLI11 would read a leading 0 as octal.
  for (const auto& [given, read] : {std::pair{"1", "1"}, {"4096", "4096"}, {"010", "10"}}) {
    std::string input = given;
    EXPECT_EQ(in_flight(input), "") << given;
    EXPECT_EQ(input, read);
  }
}

}  // namespace
}  // namespace tavrin::cli
