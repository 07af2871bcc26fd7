// Temperatures for the plant protocols (MQTT, Modbus TCP): a reading in the
// unit the run is configured for, as exact text and as signed tenths.
#pragma once

#include <cstdint>
#include <string>

namespace wexread {

enum class TemperatureUnit { C, F, K };

// "°C", "°F" or "K": the unit of measurement as displays print it.
const char* UnitSymbol(TemperatureUnit unit);

// The exact value of a reading in `unit`, shortest decimal text with at least
// one decimal ("20.0", "-0.0625", "68.1125", "293.15"): a reading is a
// multiple of 1/16 degree Celsius, so four decimals always suffice.
// Only for readings IsTemperature accepts.
void AppendTemperature(std::string& out, std::uint16_t raw, TemperatureUnit unit);

// The reading in tenths of a degree of `unit`, rounded half away from zero.
// Only for readings IsTemperature accepts (the result then fits 16 bits).
int TemperatureTenths(std::uint16_t raw, TemperatureUnit unit);

}  // namespace wexread
