// A row of channel values as the library stores it, and its text in each
// output format and in the Prometheus exposition.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "options.h"

namespace wexread {

constexpr unsigned kChannelsPerModule = 8;

// A channel's name and calibration (value = reading * gain + offset, the
// reading in the run's unit).
struct ChannelLabel {
  std::string name;  // empty: unnamed
  double gain = 1;
  double offset = 0;
};

// What the rows are about: the COM port and the modules in poll order, the
// unit of the values, and the channels' names and calibration.
struct RunLayout {
  unsigned port = 1;
  std::vector<std::string> modules;  // "01:00", ...
  Unit unit = Unit::Celsius;
  std::vector<ChannelLabel> channels;  // empty, or one per channel (module k: 8k to 8k+7)

  bool named() const;
  const std::string& NameOf(std::size_t channel) const;  // empty when unnamed
};

// Fills the layout's unit and channels from the options (their config file).
void ApplyChannelSettings(RunLayout& layout, const Options& options);

// The value of channel `channel` (its index in the row) in the run's unit,
// calibrated; nullopt when the reading is no temperature.
std::optional<double> ChannelValue(const RunLayout& layout, std::size_t channel,
                                   std::uint16_t value);

// Six decimals at most: finer than any reading, and free of the binary
// fractions that calibration and units bring (20.0625 * 1.8 + 32); no -0.
double Rounded(double value);

// A value as text: shortest, at most six decimals, at least one ("20.0").
void AppendValue(std::string& out, double value);

double ToCelsius(double value, Unit unit);
const char* UnitSymbol(Unit unit);  // "C", "F", "K"

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

// The CSV header line (only for CSV and the table): a channel's column is
// named after it (the names of every module's channel, joined by '|', where
// they differ), and a last column "unit" when the unit is not Celsius.
std::string HeaderText(Format format, const RunLayout& layout);

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
