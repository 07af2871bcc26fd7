#include "temperature.h"

#include <cmath>

#include "texts.h"
#include "wexlink.h"

namespace wexmon {

float ChannelValueToCelsius(std::uint16_t value) {
  const std::int32_t offset = static_cast<std::int32_t>(value) - WEXLINK_RAW_OFFSET;
  return static_cast<float>(static_cast<double>(offset) / WEXLINK_RAW_PER_DEGREE);
}

bool IsShownTemperature(float celsius) {
  // The bounds of a reading in degrees, exact in a float: 125 and -55.
  constexpr float kHighest =
      static_cast<float>((WEXLINK_RAW_MAX - WEXLINK_RAW_OFFSET) / WEXLINK_RAW_PER_DEGREE);
  constexpr float kLowest =
      static_cast<float>((WEXLINK_RAW_MIN - WEXLINK_RAW_OFFSET) / WEXLINK_RAW_PER_DEGREE);
  return !(celsius > kHighest || celsius < kLowest);
}

std::string FormatTenths(float value, std::string_view decimalSeparator) {
  // A float has 24 significant bits, so value * 10 is exact in a double, and
  // std::round rounds that exact product half away from zero.
  const double tenths = std::round(std::fabs(static_cast<double>(value)) * 10.0);
  if (!(tenths < 1e18)) return std::string(text::kInvalid);  // inf, NaN, or beyond any reading
  const auto count = static_cast<unsigned long long>(tenths);
  std::string text;
  if (value < 0.0f) text += '-';
  text += std::to_string(count / 10);
  text += decimalSeparator;
  text += static_cast<char>('0' + count % 10);
  return text;
}

std::string TemperatureText(std::uint16_t value, std::string_view decimalSeparator) {
  const float celsius = ChannelValueToCelsius(value);
  if (!IsShownTemperature(celsius)) return std::string(text::kInvalid);
  return FormatTenths(celsius, decimalSeparator);
}

}  // namespace wexmon
