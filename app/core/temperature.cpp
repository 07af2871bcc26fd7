#include "temperature.h"

#include <cmath>

#include "texts.h"

namespace wexmon {

float ChannelValueToCelsius(std::uint16_t value) {
  const std::int32_t offset = static_cast<std::int32_t>(value) - 32000;
  return static_cast<float>(static_cast<double>(offset) / 16.0);
}

bool IsShownTemperature(float celsius) { return !(celsius > 125.0f || celsius < -55.0f); }

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
