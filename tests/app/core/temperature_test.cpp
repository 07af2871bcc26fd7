#include "temperature.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace wexmon {
namespace {

struct Reading {
  std::uint16_t value;
  float celsius;
  const char* shown;
};

class TemperatureTextTest : public ::testing::TestWithParam<Reading> {};

TEST_P(TemperatureTextTest, ConvertsAndFormats) {
  const Reading& r = GetParam();
  EXPECT_EQ(ChannelValueToCelsius(r.value), r.celsius);
  EXPECT_EQ(TemperatureText(r.value, "."), r.shown);
}

INSTANTIATE_TEST_SUITE_P(
    Readings, TemperatureTextTest,
    ::testing::Values(Reading{32400, 25.0f, "25.0"}, Reading{32404, 25.25f, "25.3"},
                      Reading{32000, 0.0f, "0.0"}, Reading{31996, -0.25f, "-0.3"},
                      Reading{34000, 125.0f, "125.0"}, Reading{34001, 125.0625f, "No"},
                      Reading{31120, -55.0f, "-55.0"}, Reading{31119, -55.0625f, "No"},
                      Reading{0, -2000.0f, "No"}, Reading{65535, 2095.9375f, "No"},
                      Reading{32001, 0.0625f, "0.1"}, Reading{31999, -0.0625f, "-0.1"},
                      Reading{32012, 0.75f, "0.8"}, Reading{31988, -0.75f, "-0.8"}));

// Every 16-bit value against an independent exact computation in sixteenths:
// tenths = value-in-sixteenths * 10 / 16, halves away from zero.
TEST(TemperatureText, MatchesExactDecimalRoundingForEveryValue) {
  for (int value = 0; value <= 65535; ++value) {
    const int sixteenths = value - 32000;
    std::string expected;
    if (sixteenths > 125 * 16 || sixteenths < -55 * 16) {
      expected = "No";
    } else {
      const int magnitude = (std::abs(sixteenths) * 10 + 8) / 16;
      expected = (sixteenths < 0 ? "-" : "") + std::to_string(magnitude / 10) + "." +
                 std::to_string(magnitude % 10);
    }
    ASSERT_EQ(TemperatureText(static_cast<std::uint16_t>(value), "."), expected) << value;
  }
}

TEST(FormatTenths, UsesTheGivenSeparatorWithoutGrouping) {
  EXPECT_EQ(FormatTenths(1234.5f, ","), "1234,5");
  EXPECT_EQ(FormatTenths(-999.95f, "."), "-1000.0");   // magnitude just above 999.95
  EXPECT_EQ(FormatTenths(-1999.95f, "."), "-1999.9");  // magnitude just below 1999.95
  EXPECT_EQ(FormatTenths(0.04f, "\xd9\xab"),
            "0\xd9\xab"
            "0");  // a two-byte separator
}

}  // namespace
}  // namespace wexmon
