#include "readings.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>

#include "wexlink.h"

namespace wexread {
namespace {

// The reading rule of the card interface (wexlink.h).
constexpr int kRawZeroCelsius = WEXLINK_RAW_OFFSET;
constexpr int kRawPerDegree = WEXLINK_RAW_PER_DEGREE;
constexpr int kLowestRaw = WEXLINK_RAW_MIN;   // -55 degrees
constexpr int kHighestRaw = WEXLINK_RAW_MAX;  // 125 degrees

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

void AppendPadded(std::string& out, const std::string& text, std::size_t width) {
  if (text.size() < width) out.append(width - text.size(), ' ');
  out += text;
}

// A CSV field, quoted when it holds a separator, a quote or a line break.
std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

// Line protocol: a backslash before a comma, an equals sign or a space in a tag
// value. Any other backslash stands for itself (the config file refuses a
// name that ends in one, which would escape the separator after it).
std::string InfluxTag(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == ',' || c == '=' || c == ' ') out += '\\';
    out += c;
  }
  return out;
}

// Exposition format: a backslash before a backslash or a quote, and \n for a
// line feed, in a label value.
std::string PromLabel(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

const char* UnitKey(Unit unit) {
  switch (unit) {
    case Unit::Fahrenheit:
      return "fahrenheit";
    case Unit::Kelvin:
      return "kelvin";
    case Unit::Celsius:
      break;
  }
  return "celsius";
}

// A channel's column: its names across the modules, "ch<N>" where unnamed.
std::string ColumnName(const RunLayout& layout, unsigned c) {
  std::vector<std::string> labels;
  for (std::size_t m = 0; m < layout.modules.size(); ++m) {
    const std::string& name = layout.NameOf(m * kChannelsPerModule + c);
    std::string label = name.empty() ? "ch" + std::to_string(c) : name;
    if (std::find(labels.begin(), labels.end(), label) == labels.end()) labels.push_back(label);
  }
  std::string out;
  for (const auto& label : labels) out += (out.empty() ? "" : "|") + label;
  return out.empty() ? "ch" + std::to_string(c) : out;
}

void AppendCsv(std::string& out, const RunLayout& layout, const Row& row, const std::string& time) {
  for (std::size_t m = 0; m < layout.modules.size(); ++m) {
    const std::uint16_t* values = row.values + m * kChannelsPerModule;
    const bool up = ModuleAnswering(values);
    out += time;
    out += ',' + std::to_string(layout.port) + ',' + layout.modules[m] + (up ? ",1" : ",0");
    for (unsigned c = 0; c < kChannelsPerModule; ++c) {
      out += ',';
      const auto value = ChannelValue(layout, m * kChannelsPerModule + c, values[c]);
      if (up && value) AppendValue(out, *value);
    }
    if (layout.unit != Unit::Celsius) out += std::string(",") + UnitSymbol(layout.unit);
    out += '\n';
  }
}

// {"time":...,"port":1,"module":"01:00","up":true,"celsius":[...]}, the
// values' key naming the unit ("fahrenheit", "kelvin"), and a "names" list
// (null where unnamed) when the run has named channels.
void AppendJsonl(std::string& out, const RunLayout& layout, const Row& row,
                 const std::string& time) {
  for (std::size_t m = 0; m < layout.modules.size(); ++m) {
    const std::uint16_t* values = row.values + m * kChannelsPerModule;
    const bool up = ModuleAnswering(values);
    auto list = nlohmann::ordered_json::array();
    for (unsigned c = 0; c < kChannelsPerModule; ++c) {
      const auto value = ChannelValue(layout, m * kChannelsPerModule + c, values[c]);
      if (up && value)
        list.push_back(Rounded(*value));
      else
        list.push_back(nullptr);
    }
    nlohmann::ordered_json line;
    line["time"] = time;
    line["port"] = layout.port;
    line["module"] = layout.modules[m];
    line["up"] = up;
    line[UnitKey(layout.unit)] = std::move(list);
    if (layout.named()) {
      auto names = nlohmann::ordered_json::array();
      for (unsigned c = 0; c < kChannelsPerModule; ++c) {
        const std::string& name = layout.NameOf(m * kChannelsPerModule + c);
        if (name.empty())
          names.push_back(nullptr);
        else
          names.push_back(name);
      }
      line["names"] = std::move(names);
    }
    out += line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    out += '\n';
  }
}

// Line protocol: measurement "wexlink", tags port and module (and unit when
// it is not Celsius), fields up and ch0 to ch7 (a channel without a
// temperature has no field), time in ns. A named channel is a point of its
// own, tagged channel and name, with the field value.
void AppendInflux(std::string& out, const RunLayout& layout, const Row& row) {
  const std::string time = std::to_string(row.utcMs) + "000000";
  const std::string unit =
      layout.unit == Unit::Celsius ? "" : std::string(",unit=") + UnitSymbol(layout.unit);
  for (std::size_t m = 0; m < layout.modules.size(); ++m) {
    const std::uint16_t* values = row.values + m * kChannelsPerModule;
    const bool up = ModuleAnswering(values);
    const std::string tags =
        "wexlink,port=" + std::to_string(layout.port) + ",module=" + InfluxTag(layout.modules[m]);
    out += tags + unit + (up ? " up=true" : " up=false");
    std::string named;
    for (unsigned c = 0; c < kChannelsPerModule; ++c) {
      const std::size_t index = m * kChannelsPerModule + c;
      const auto value = ChannelValue(layout, index, values[c]);
      if (!up || !value) continue;
      const std::string& name = layout.NameOf(index);
      if (name.empty()) {
        out += ",ch" + std::to_string(c) + '=';
        AppendValue(out, *value);
      } else {
        named +=
            tags + ",channel=" + std::to_string(c) + ",name=" + InfluxTag(name) + unit + " value=";
        AppendValue(named, *value);
        named += ' ' + time + '\n';
      }
    }
    out += ' ' + time + '\n';
    out += named;
  }
}

void AppendTable(std::string& out, const RunLayout& layout, const Row& row,
                 const std::string& time) {
  for (std::size_t m = 0; m < layout.modules.size(); ++m) {
    const std::uint16_t* values = row.values + m * kChannelsPerModule;
    const bool up = ModuleAnswering(values);
    out += time + "  " + layout.modules[m];
    for (unsigned c = 0; c < kChannelsPerModule; ++c) {
      std::string text = "-";
      const auto value = ChannelValue(layout, m * kChannelsPerModule + c, values[c]);
      if (up && value) {
        char fixed[48];
        std::snprintf(fixed, sizeof fixed, "%.4f", *value);
        text = fixed;
      }
      AppendPadded(out, text, 9);
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

double Rounded(double value) {
  const double rounded = std::round(value * 1e6) / 1e6;
  return rounded == 0 ? 0 : rounded;  // no "-0"
}

bool RunLayout::named() const {
  return std::any_of(channels.begin(), channels.end(),
                     [](const ChannelLabel& c) { return !c.name.empty(); });
}

const std::string& RunLayout::NameOf(std::size_t channel) const {
  static const std::string kNone;
  return channel < channels.size() ? channels[channel].name : kNone;
}

void ApplyChannelSettings(RunLayout& layout, const Options& options) {
  layout.unit = options.unit;
  if (options.channelSettings.empty()) return;
  layout.channels.assign(layout.modules.size() * kChannelsPerModule, {});
  for (const ChannelSetting& s : options.channelSettings) {
    const auto m = std::find(layout.modules.begin(), layout.modules.end(), AddressName(s.module));
    if (m == layout.modules.end() || s.channel >= kChannelsPerModule) continue;
    const auto index =
        static_cast<std::size_t>(m - layout.modules.begin()) * kChannelsPerModule + s.channel;
    layout.channels[index] = {s.name, s.gain, s.offset};
  }
}

std::optional<double> ChannelValue(const RunLayout& layout, std::size_t channel,
                                   std::uint16_t value) {
  if (!IsTemperature(value)) return std::nullopt;
  double v = (static_cast<int>(value) - kRawZeroCelsius) / static_cast<double>(kRawPerDegree);
  if (layout.unit == Unit::Fahrenheit) v = v * 9 / 5 + 32;
  if (layout.unit == Unit::Kelvin) v += 273.15;
  if (channel < layout.channels.size())
    v = v * layout.channels[channel].gain + layout.channels[channel].offset;
  return v;
}

void AppendValue(std::string& out, double value) {
  char text[64];
  const auto end =
      std::to_chars(text, text + sizeof text, Rounded(value), std::chars_format::fixed).ptr;
  out.append(text, end);
  if (std::find(text, end, '.') == end) out += ".0";
}

double ToCelsius(double value, Unit unit) {
  switch (unit) {
    case Unit::Fahrenheit:
      return (value - 32) * 5 / 9;
    case Unit::Kelvin:
      return value - 273.15;
    case Unit::Celsius:
      break;
  }
  return value;
}

const char* UnitSymbol(Unit unit) {
  switch (unit) {
    case Unit::Fahrenheit:
      return "F";
    case Unit::Kelvin:
      return "K";
    case Unit::Celsius:
      break;
  }
  return "C";
}

std::string HeaderText(Format format, const RunLayout& layout) {
  std::string out;
  if (format == Format::Csv) {
    out = "time,port,module,up";
    for (unsigned c = 0; c < kChannelsPerModule; ++c) out += ',' + CsvField(ColumnName(layout, c));
    if (layout.unit != Unit::Celsius) out += ",unit";
    out += '\n';
  } else if (format == Format::Table) {
    out = "time (UTC)                module";
    for (unsigned c = 0; c < kChannelsPerModule; ++c) {
      std::string label = ColumnName(layout, c);
      if (c == 0 && layout.unit != Unit::Celsius)
        label += std::string(" ") + UnitSymbol(layout.unit);
      if (label.size() >= 9) out += ' ';
      AppendPadded(out, label, 9);
    }
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
      "# HELP wexlink_temperature_celsius Newest reading of a module channel in degrees Celsius "
      "(calibrated; whatever the unit of the other outputs); absent while the channel is out of "
      "range or the module is not answering.\n"
      "# TYPE wexlink_temperature_celsius gauge\n";
  for (std::size_t k = 0; haveRow && k < m.layout.modules.size(); ++k) {
    const std::uint16_t* values = m.latest.data() + k * kChannelsPerModule;
    if (!ModuleAnswering(values)) continue;
    for (unsigned c = 0; c < kChannelsPerModule; ++c) {
      const std::size_t index = k * kChannelsPerModule + c;
      const auto value = ChannelValue(m.layout, index, values[c]);
      if (!value) continue;
      out += "wexlink_temperature_celsius{" + port + ",module=\"" + m.layout.modules[k] +
             "\",channel=\"" + std::to_string(c) + '"';
      const std::string& name = m.layout.NameOf(index);
      if (!name.empty()) out += ",name=\"" + PromLabel(name) + '"';
      out += "} ";
      AppendValue(out, ToCelsius(*value, m.layout.unit));
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
