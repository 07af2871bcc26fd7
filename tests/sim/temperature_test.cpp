#include "temperature.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

namespace w316sim {
namespace {

struct RawCase {
  double celsius;
  uint16_t raw;
};

class RawConversion : public ::testing::TestWithParam<RawCase> {};

TEST_P(RawConversion, Matches) { EXPECT_EQ(RawFromCelsius(GetParam().celsius), GetParam().raw); }

INSTANTIATE_TEST_SUITE_P(
    Table, RawConversion,
    ::testing::Values(RawCase{0.0, 32000}, RawCase{25.5, 32408}, RawCase{-55.0, 31120},
                      RawCase{125.0, 34000}, RawCase{125.0625, 34001},
                      RawCase{0.03125, 32001},  // a half step rounds away from zero
                      RawCase{0.03, 32000}, RawCase{-0.04, 31999}, RawCase{2095.9375, 65535},
                      RawCase{3000.0, 65535}, RawCase{-2000.0, 0}, RawCase{-2500.0, 0},
                      RawCase{std::numeric_limits<double>::quiet_NaN(), 0}));

TEST(RawConversion, EveryRawValueSurvivesTheRoundTrip) {
  for (uint32_t raw = 0; raw <= 65535; ++raw)
    ASSERT_EQ(RawFromCelsius(CelsiusFromRaw(static_cast<uint16_t>(raw))), raw);
}

TEST(ChannelModel, FixedAndRaw) {
  std::mt19937_64 rng(1);
  EXPECT_EQ(ChannelModel::Fixed(21.0).Sample(0, rng), 32336);
  EXPECT_EQ(ChannelModel::Raw(0).Sample(0, rng), 0);
  EXPECT_EQ(ChannelModel::Raw(34001).Sample(123456789, rng), 34001);
}

TEST(ChannelModel, RampRunsStraightThenHolds) {
  std::mt19937_64 rng(1);
  const int64_t start = 5'000'000;
  const auto ramp = ChannelModel::Ramp(20.0, 30.0, 10.0, start);
  EXPECT_DOUBLE_EQ(ramp.Celsius(start - 1'000'000, rng), 20.0);
  EXPECT_DOUBLE_EQ(ramp.Celsius(start, rng), 20.0);
  EXPECT_DOUBLE_EQ(ramp.Celsius(start + 2'500'000, rng), 22.5);
  EXPECT_DOUBLE_EQ(ramp.Celsius(start + 10'000'000, rng), 30.0);
  EXPECT_DOUBLE_EQ(ramp.Celsius(start + 60'000'000, rng), 30.0);
  EXPECT_EQ(ramp.Sample(start + 5'000'000, rng), RawFromCelsius(25.0));
  const auto down = ChannelModel::Ramp(30.0, -10.0, 4.0, 0);
  EXPECT_DOUBLE_EQ(down.Celsius(1'000'000, rng), 20.0);
  EXPECT_DOUBLE_EQ(ChannelModel::Ramp(20.0, 30.0, 0.0, start).Celsius(start, rng), 30.0);
}

TEST(ChannelModel, NoiseStaysWithinItsBandAndMoves) {
  std::mt19937_64 rng(7);
  const auto noise = ChannelModel::Noise(25.0, 0.5);
  std::set<uint16_t> seen;
  double sum = 0;
  const int n = 2000;
  for (int i = 0; i < n; ++i) {
    const uint16_t raw = noise.Sample(i, rng);
    ASSERT_GE(raw, RawFromCelsius(24.5));
    ASSERT_LE(raw, RawFromCelsius(25.5));
    seen.insert(raw);
    sum += CelsiusFromRaw(raw);
  }
  EXPECT_GT(seen.size(), 10u);
  EXPECT_NEAR(sum / n, 25.0, 0.05);
  EXPECT_EQ(ChannelModel::Noise(25.0, 0.0).Sample(0, rng), RawFromCelsius(25.0));
}

TEST(DefaultTemperatures, AreDistinctAndValidForAllChannels) {
  std::set<uint16_t> raws;
  for (int k = 0; k < 32; ++k)
    for (int j = 0; j < 8; ++j) {
      const uint16_t raw = RawFromCelsius(DefaultCelsius(k, j));
      EXPECT_GE(raw, 31120);
      EXPECT_LE(raw, 34000);
      raws.insert(raw);
    }
  EXPECT_EQ(raws.size(), 256u);
  EXPECT_EQ(RawFromCelsius(DefaultCelsius(0, 0)), 32320);
  EXPECT_EQ(RawFromCelsius(DefaultCelsius(1, 7)), 32350);
}

}  // namespace
}  // namespace w316sim
