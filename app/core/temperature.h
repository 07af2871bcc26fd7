// Channel value to degrees Celsius, and the text shown for it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace wexmon {

// (value - 32000) / 16: integer subtraction, double division, stored as float.
// Exact for every 16-bit value (a multiple of 0.0625).
float ChannelValueToCelsius(std::uint16_t value);

// Readings from -55 to 125 degrees inclusive are shown as numbers.
bool IsShownTemperature(float celsius);

// The "##0.0" pattern: at least one digit before the decimal separator and
// exactly one after it, halves rounded away from zero, a leading '-' for
// negative values, no grouping. Rounds the float's exact binary value.
std::string FormatTenths(float value, std::string_view decimalSeparator);

// What the display shows for one channel value: the formatted temperature, or
// "No" outside -55..125 degrees.
std::string TemperatureText(std::uint16_t value, std::string_view decimalSeparator);

}  // namespace wexmon
