// A row of channel values as the library stores it, and its text in each
// output format and in the Prometheus exposition.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "options.h"

namespace wexread {

constexpr unsigned kChannelsPerModule = 8;

// What the rows are about: the COM port and the modules in poll order.
struct RunLayout {
  unsigned port = 1;
  std::vector<std::string> modules;  // "01:00", ...
};

// One row: one value per channel, module k owning channels 8k to 8k+7, and
// the time of its poll cycle on the run's schedule.
struct Row {
  std::int64_t utcMs = 0;
  const std::uint16_t* values = nullptr;
};

// A reading is (value - 32000) / 16 degrees Celsius; readings outside -55 to
// 125 degrees are no temperature (a module the library has blanked reads 0).
bool IsTemperature(std::uint16_t value);

// Exact decimal text of a reading in degrees, at least one decimal: "20.0",
// "-0.0625", "125.0".
void AppendCelsius(std::string& out, std::uint16_t value);

// The library sets all eight values of a module to 0 once it has missed its
// replies `--miss-threshold` times in a row; a module that answers never reads
// 0 (-2000 degrees) on every channel.
bool ModuleAnswering(const std::uint16_t* moduleValues);

// "2024-05-01T12:00:00.123Z"
void AppendUtc(std::string& out, std::int64_t utcMs);

// The CSV header line (only for CSV and the table).
std::string HeaderText(Format format);

// The lines of one row, one per module, each ending in a newline.
void AppendRowText(std::string& out, Format format, const RunLayout& layout, const Row& row);

// What the metrics report: the newest row and the counts.
struct MetricsSnapshot {
  RunLayout layout;
  std::vector<std::uint16_t> latest;  // empty until the first row
  std::int64_t latestUtcMs = 0;
  std::uint64_t rows = 0;
  std::uint64_t dropped = 0;
  bool deviceUp = true;
  std::uint64_t reconnects = 0;
  // --mqtt and --modbus, reported only when enabled.
  bool mqtt = false;
  bool mqttConnected = false;
  std::uint64_t mqttRowsPublished = 0;
  std::uint64_t mqttRowsDropped = 0;
  bool modbus = false;
  std::uint64_t modbusRequests = 0;
  std::uint64_t modbusExceptions = 0;
  std::uint64_t modbusRefused = 0;
  unsigned modbusConnections = 0;
  std::int64_t rowPeriodMs = 0;  // 0: not reported
  std::string extra;             // lines appended as they are (the alarms')
};

// Prometheus text exposition format 0.0.4.
std::string Exposition(const MetricsSnapshot& m);

}  // namespace wexread
