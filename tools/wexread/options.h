// wexread's command line: what to read, for how long, and where the rows go.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "alarm_rules.h"

namespace wexread {

enum class Format { Table, Csv, Jsonl, Influx };

// The unit of every value written (C, F or K); the metrics stay in Celsius.
enum class Unit { Celsius, Fahrenheit, Kelvin };

// A channel of the config file's [[channel]] tables: its name, and the
// calibration value = reading * gain + offset, with the reading in the run's unit.
struct ChannelSetting {
  std::array<std::uint8_t, 2> module{};
  unsigned channel = 0;  // 0..7
  std::string name;      // empty: unnamed (shown as ch<N>)
  double gain = 1;
  double offset = 0;
};

struct ListenAddress {
  std::string host;  // for the socket: "0.0.0.0" when the option gave none
  int port = 0;      // 0: any free port (the one chosen is reported)
};

struct Options {
  unsigned port = 1;   // COM port number, as the library maps it
  std::string device;  // --device: becomes WEXLINK_COM<port> for this process
  int baud = 9600;
  unsigned modules = 1;
  std::vector<std::array<std::uint8_t, 2>> addresses;  // --address; empty: 01 00, 01 01, ...
  int periodMs = 1000;
  int missThreshold = 5;
  unsigned buffers = 0;     // ring size in buffers; 0: enough for ten minutes
  std::uint64_t count = 0;  // rows; 0: no limit
  double durationS = 0;     // seconds; 0: no limit
  Format format = Format::Csv;
  std::string outputPath;  // empty: standard output
  std::optional<ListenAddress> listen;
  std::string textfile;
  bool quiet = false;
  // --exit-on-loss: end (status 4) once the device has been gone this long.
  std::optional<double> exitOnLossS;
  // --restart-silent; 0: 60 s or (misses + 2) row periods, the longer.
  double restartSilentS = 0;
  std::string mqttUrl;  // --mqtt: mqtt://[user[:password]@]HOST[:PORT] or mqtts://
  std::string mqttPrefix = "wexlink";
  std::string mqttCa;
  std::string mqttPasswordFile;
  std::optional<ListenAddress> modbus;  // --modbus [ADDR]:PORT
  AlarmRules alarms;  // --high, --low, --down-after (and the config file's tables)
  std::string configPath;  // --config
  Unit unit = Unit::Celsius;
  std::vector<ChannelSetting> channelSettings;  // from the config file

  unsigned ModuleCount() const {
    return addresses.empty() ? modules : static_cast<unsigned>(addresses.size());
  }
};

// What the command line asks for: a run with these options, or an end with
// this exit status after `text` (help or version on standard output, a usage
// error on standard error).
struct ParseResult {
  std::optional<Options> options;
  int exitStatus = 0;
  std::string text;
  // Every long option ("period", ...), and whether it is a flag and was given:
  // what the config file may hold, and which of its keys the command line overrides.
  struct OptionFact {
    std::string name;
    bool flag = false;
    bool given = false;
  };
  std::vector<OptionFact> optionFacts{};
};

// `stdoutIsTerminal` chooses the default format: a table for a person, CSV
// for a pipe or a file. With --config, the file's settings under the command
// line's.
ParseResult ParseOptions(int argc, char** argv, bool stdoutIsTerminal);

// The command line alone.
ParseResult ParseCommandLine(int argc, char** argv, bool stdoutIsTerminal);

// "01:05" and the like: the module's two address bytes in hex.
std::string AddressName(std::array<std::uint8_t, 2> address);

// "A1:A2" with one or two hex digits on each side.
std::optional<std::array<std::uint8_t, 2>> ParseAddress(const std::string& text);

// "HOST:PORT", ":PORT" or "[IPV6]:PORT".
std::optional<ListenAddress> ParseListenAddress(const std::string& text);

}  // namespace wexread
