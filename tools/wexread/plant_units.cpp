#include "plant_units.h"

#include <cstdio>
#include <cstdlib>

#include "wexlink.h"

namespace wexread {
namespace {

constexpr int kRawZeroCelsius = WEXLINK_RAW_OFFSET;

// The reading in ten-thousandths of a degree of `unit`: one raw step is
// 1/16 degree Celsius, 625 ten-thousandths, or 1125 of a degree Fahrenheit.
std::int64_t TenThousandths(std::uint16_t raw, TemperatureUnit unit) {
  const std::int64_t steps = static_cast<std::int64_t>(raw) - kRawZeroCelsius;
  switch (unit) {
    case TemperatureUnit::F:
      return steps * 1125 + 320000;
    case TemperatureUnit::K:
      return steps * 625 + 2731500;
    case TemperatureUnit::C:
      break;
  }
  return steps * 625;
}

}  // namespace

const char* UnitSymbol(TemperatureUnit unit) {
  switch (unit) {
    case TemperatureUnit::F:
      return "\u00b0F";
    case TemperatureUnit::K:
      return "K";
    case TemperatureUnit::C:
      break;
  }
  return "\u00b0C";
}

void AppendTemperature(std::string& out, std::uint16_t raw, TemperatureUnit unit) {
  const std::int64_t value = TenThousandths(raw, unit);
  const std::int64_t magnitude = std::llabs(value);
  long long fraction = magnitude % 10000;
  int digits = 4;
  while (digits > 1 && fraction % 10 == 0) {
    fraction /= 10;
    --digits;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%s%lld.%0*lld", value < 0 ? "-" : "",
                static_cast<long long>(magnitude / 10000), digits, fraction);
  out += text;
}

int TemperatureTenths(std::uint16_t raw, TemperatureUnit unit) {
  const std::int64_t value = TenThousandths(raw, unit);
  const std::int64_t rounded = (std::llabs(value) + 500) / 1000;
  return static_cast<int>(value < 0 ? -rounded : rounded);
}

}  // namespace wexread
