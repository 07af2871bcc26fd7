#include "readings.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace wexread {
namespace {

constexpr int kRawZeroCelsius = 32000;
constexpr int kRawPerDegree = 16;
constexpr int kLowestRaw = kRawZeroCelsius - 55 * kRawPerDegree;    // -55 degrees
constexpr int kHighestRaw = kRawZeroCelsius + 125 * kRawPerDegree;  // 125 degrees

// Degrees as whole part and ten-thousandths: a reading is a multiple of 1/16
// degree, 625 ten-thousandths, so four decimals are exact.
struct Degrees {
  bool negative;
  int whole;
  int tenThousandths;
};

Degrees ToDegrees(std::uint16_t value) {
  const int offset = static_cast<int>(value) - kRawZeroCelsius;
  const int magnitude = std::abs(offset);
  return {offset < 0, magnitude / kRawPerDegree, (magnitude % kRawPerDegree) * 625};
}

void AppendCelsiusFixed(std::string& out, std::uint16_t value) {
  const Degrees d = ToDegrees(value);
  char text[24];
  std::snprintf(text, sizeof text, "%s%d.%04d", d.negative ? "-" : "", d.whole, d.tenThousandths);
  out += text;
}

void AppendPadded(std::string& out, const std::string& text, std::size_t width) {
  if (text.size() < width) out.append(width - text.size(), ' ');
  out += text;
}

void AppendCsv(std::string& out, const RunLayout& layout, const Row& row, const std::string& time) {
  for (std::size_t m = 0; m < layout.modules.size(); ++m) {
    const std::uint16_t* values = row.values + m * kChannelsPerModule;
    const bool up = ModuleAnswering(values);
    out += time;
    out += ',' + std::to_string(layout.port) + ',' + layout.modules[m] + (up ? ",1" : ",0");
    for (unsigned c = 0; c < kChannelsPerModule; ++c) {
      out += ',';
      if (up && IsTemperature(values[c])) AppendCelsius(out, values[c]);
    }
    out += '\n';
  }
}

void AppendJsonl(std::string& out, const RunLayout& layout, const Row& row,
                 const std::string& time) {
  for (std::size_t m = 0; m < layout.modules.size(); ++m) {
    const std::uint16_t* values = row.values + m * kChannelsPerModule;
    const bool up = ModuleAnswering(values);
    out += "{\"time\":\"" + time + "\",\"port\":" + std::to_string(layout.port) + ",\"module\":\"" +
           layout.modules[m] + "\",\"up\":" + (up ? "true" : "false") + ",\"celsius\":[";
    for (unsigned c = 0; c < kChannelsPerModule; ++c) {
      if (c > 0) out += ',';
      if (up && IsTemperature(values[c]))
        AppendCelsius(out, values[c]);
      else
        out += "null";
    }
    out += "]}\n";
  }
}

// Line protocol: measurement "wexlink", tags port and module, fields up and
// ch0 to ch7 (a channel without a temperature has no field), time in ns.
void AppendInflux(std::string& out, const RunLayout& layout, const Row& row) {
  const std::string time = std::to_string(row.utcMs) + "000000";
  for (std::size_t m = 0; m < layout.modules.size(); ++m) {
    const std::uint16_t* values = row.values + m * kChannelsPerModule;
    const bool up = ModuleAnswering(values);
    out += "wexlink,port=" + std::to_string(layout.port) + ",module=" + layout.modules[m] +
           (up ? " up=true" : " up=false");
    for (unsigned c = 0; c < kChannelsPerModule; ++c) {
      if (!up || !IsTemperature(values[c])) continue;
      out += ",ch" + std::to_string(c) + '=';
      AppendCelsius(out, values[c]);
    }
    out += ' ' + time + '\n';
  }
}

void AppendTable(std::string& out, const RunLayout& layout, const Row& row,
                 const std::string& time) {
  for (std::size_t m = 0; m < layout.modules.size(); ++m) {
    const std::uint16_t* values = row.values + m * kChannelsPerModule;
    const bool up = ModuleAnswering(values);
    out += time + "  " + layout.modules[m];
    for (unsigned c = 0; c < kChannelsPerModule; ++c) {
      std::string value = "-";
      if (up && IsTemperature(values[c])) {
        value.clear();
        AppendCelsiusFixed(value, values[c]);
      }
      AppendPadded(out, value, 9);
    }
    if (!up) out += "  no answer";
    out += '\n';
  }
}

}  // namespace

bool IsTemperature(std::uint16_t value) { return value >= kLowestRaw && value <= kHighestRaw; }

void AppendCelsius(std::string& out, std::uint16_t value) {
  const Degrees d = ToDegrees(value);
  char text[24];
  int fraction = d.tenThousandths;
  int digits = 4;
  while (digits > 1 && fraction % 10 == 0) {
    fraction /= 10;
    --digits;
  }
  std::snprintf(text, sizeof text, "%s%d.%0*d", d.negative ? "-" : "", d.whole, digits, fraction);
  out += text;
}

bool ModuleAnswering(const std::uint16_t* moduleValues) {
  for (unsigned c = 0; c < kChannelsPerModule; ++c)
    if (moduleValues[c] != 0) return true;
  return false;
}

void AppendUtc(std::string& out, std::int64_t utcMs) {
  const std::int64_t seconds = utcMs >= 0 ? utcMs / 1000 : (utcMs - 999) / 1000;
  const auto millis = static_cast<int>(utcMs - seconds * 1000);
  const auto t = static_cast<std::time_t>(seconds);
  std::tm parts{};
  gmtime_r(&t, &parts);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, millis);
  out += text;
}

std::string HeaderText(Format format) {
  std::string out;
  if (format == Format::Csv) {
    out = "time,port,module,up";
    for (unsigned c = 0; c < kChannelsPerModule; ++c) out += ",ch" + std::to_string(c);
    out += '\n';
  } else if (format == Format::Table) {
    out = "time (UTC)                module";
    for (unsigned c = 0; c < kChannelsPerModule; ++c)
      AppendPadded(out, "ch" + std::to_string(c), 9);
    out += '\n';
  }
  return out;
}

void AppendRowText(std::string& out, Format format, const RunLayout& layout, const Row& row) {
  std::string time;
  if (format != Format::Influx) AppendUtc(time, row.utcMs);
  switch (format) {
    case Format::Csv:
      AppendCsv(out, layout, row, time);
      break;
    case Format::Jsonl:
      AppendJsonl(out, layout, row, time);
      break;
    case Format::Influx:
      AppendInflux(out, layout, row);
      break;
    case Format::Table:
      AppendTable(out, layout, row, time);
      break;
  }
}

std::string Exposition(const MetricsSnapshot& m) {
  const std::string port = "port=\"" + std::to_string(m.layout.port) + '"';
  const bool haveRow = m.latest.size() == m.layout.modules.size() * kChannelsPerModule;
  std::string out;
  out +=
      "# HELP wexlink_temperature_celsius Newest reading of a module channel in degrees Celsius; "
      "absent while the channel is out of range or the module is not answering.\n"
      "# TYPE wexlink_temperature_celsius gauge\n";
  for (std::size_t k = 0; haveRow && k < m.layout.modules.size(); ++k) {
    const std::uint16_t* values = m.latest.data() + k * kChannelsPerModule;
    if (!ModuleAnswering(values)) continue;
    for (unsigned c = 0; c < kChannelsPerModule; ++c) {
      if (!IsTemperature(values[c])) continue;
      out += "wexlink_temperature_celsius{" + port + ",module=\"" + m.layout.modules[k] +
             "\",channel=\"" + std::to_string(c) + "\"} ";
      AppendCelsius(out, values[c]);
      out += '\n';
    }
  }
  out +=
      "# HELP wexlink_module_up Whether the module answered in the newest row (1) or the library "
      "has blanked it after missed replies (0).\n"
      "# TYPE wexlink_module_up gauge\n";
  for (std::size_t k = 0; haveRow && k < m.layout.modules.size(); ++k) {
    out += "wexlink_module_up{" + port + ",module=\"" + m.layout.modules[k] + "\"} " +
           (ModuleAnswering(m.latest.data() + k * kChannelsPerModule) ? "1\n" : "0\n");
  }
  out +=
      "# HELP wexlink_rows_total Rows read from the library (one row is one poll of every "
      "module).\n"
      "# TYPE wexlink_rows_total counter\n"
      "wexlink_rows_total{" +
      port + "} " + std::to_string(m.rows) +
      "\n"
      "# HELP wexlink_rows_dropped_total Rows the library overwrote before they were read.\n"
      "# TYPE wexlink_rows_dropped_total counter\n"
      "wexlink_rows_dropped_total{" +
      port + "} " + std::to_string(m.dropped) +
      "\n"
      "# HELP wexlink_device_up Whether the serial device is open and read (1) or gone and being "
      "reopened (0).\n"
      "# TYPE wexlink_device_up gauge\n"
      "wexlink_device_up{" +
      port + "} " + (m.deviceUp ? "1" : "0") +
      "\n"
      "# HELP wexlink_reconnects_total Runs started again after the device was lost or every "
      "module fell silent.\n"
      "# TYPE wexlink_reconnects_total counter\n"
      "wexlink_reconnects_total{" +
      port + "} " + std::to_string(m.reconnects) +
      "\n"
      "# HELP wexlink_last_row_timestamp_seconds Time the newest row was stored, in seconds "
      "since the epoch.\n"
      "# TYPE wexlink_last_row_timestamp_seconds gauge\n";
  if (haveRow) {
    char text[48];
    std::snprintf(text, sizeof text, "%" PRId64 ".%03d", m.latestUtcMs / 1000,
                  static_cast<int>(m.latestUtcMs % 1000));
    out += "wexlink_last_row_timestamp_seconds{" + port + "} " + text + '\n';
  }
  auto family = [&](const char* name, const char* type, const char* help, std::uint64_t value) {
    out += std::string("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n' +
           name + '{' + port + "} " + std::to_string(value) + '\n';
  };
  if (m.mqtt) {
    family("wexlink_mqtt_connected", "gauge", "Whether the MQTT broker connection is up.",
           m.mqttConnected ? 1 : 0);
    family("wexlink_mqtt_rows_published_total", "counter", "Rows handed to the MQTT client.",
           m.mqttRowsPublished);
    family("wexlink_mqtt_rows_dropped_total", "counter",
           "Rows dropped from the full MQTT queue (oldest first) while the broker was away or "
           "slow.",
           m.mqttRowsDropped);
  }
  if (m.modbus) {
    family("wexlink_modbus_requests_total", "counter", "Modbus TCP requests answered.",
           m.modbusRequests);
    family("wexlink_modbus_exceptions_total", "counter",
           "Modbus TCP requests answered with an exception.", m.modbusExceptions);
    family("wexlink_modbus_connections_refused_total", "counter",
           "Modbus TCP connections closed at once because the limit was reached.", m.modbusRefused);
    family("wexlink_modbus_connections", "gauge", "Modbus TCP connections open.",
           m.modbusConnections);
  }
  if (m.rowPeriodMs > 0) {
    char text[48];
    std::snprintf(text, sizeof text, "%" PRId64 ".%03d", m.rowPeriodMs / 1000,
                  static_cast<int>(m.rowPeriodMs % 1000));
    out +=
        "# HELP wexlink_row_period_seconds Time between rows (the poll period times the "
        "modules).\n"
        "# TYPE wexlink_row_period_seconds gauge\n"
        "wexlink_row_period_seconds{" +
        port + "} " + text + '\n';
  }
  out += m.extra;
  return out;
}

}  // namespace wexread
