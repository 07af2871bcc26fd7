// Numbers in options and commands, read strictly: the whole text is the
// number (no spaces, no trailing text, no sign where the value cannot be
// negative, no "+" at all), and a value outside the range is refused rather
// than clamped or wrapped.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace w316sim {

// Decimal digits only, value within min..max.
std::optional<uint64_t> ParseUnsigned(std::string_view text, uint64_t min, uint64_t max);

// One address byte: one or two hex digits, optionally after "0x" or "0X".
std::optional<uint8_t> ParseHexByte(std::string_view text);

// A decimal number written as digits with at most one '.' ("25", "25.5", ".5",
// "5."), with a leading '-' only when min is negative; no exponent, no
// "inf" or "nan". Value within min..max.
std::optional<double> ParseDecimal(std::string_view text, double min, double max);

}  // namespace w316sim
