#include "options.h"

#include "config.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <map>
#include <set>

#include "platform.h"

#ifndef WEXREAD_VERSION
#define WEXREAD_VERSION "0"
#endif

namespace wexread {
namespace {

// The address table that IOCtl loads holds 31 pairs a caller can set.
constexpr unsigned kMaxAddresses = 31;

std::optional<std::uint8_t> ParseHexByte(const std::string& text) {
  if (text.empty() || text.size() > 2) return std::nullopt;
  unsigned value = 0;
  for (const char c : text) {
    const int digit = std::isxdigit(static_cast<unsigned char>(c)) == 0 ? -1
                      : std::isdigit(static_cast<unsigned char>(c)) != 0
                          ? c - '0'
                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return static_cast<std::uint8_t>(value);
}

std::string OneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

ParseResult UsageError(const std::string& message) {
  return {std::nullopt, 2, "wexread: " + OneLine(message) + " (try wexread --help)"};
}

// The options for quick alarm rules; the config file's tables give more.
struct AlarmOptionTexts {
  std::vector<std::string> high;
  std::vector<std::string> low;
  double hysteresis = 0.5;
  double delayS = 0;
  unsigned relay = 0;
  std::string program;
  double downAfterS = 0;
};

void AddAlarmOptions(CLI::App& app, AlarmOptionTexts& t) {
  const char* group = "Alarms (more in the config file; see wexread(1))";
  app.add_option("--high", t.high, "alarm when the channel reads above LIMIT degrees (repeatable)")
      ->type_name("A1:A2:CH=LIMIT")
      ->group(group);
  app.add_option("--low", t.low, "alarm when the channel reads below LIMIT degrees (repeatable)")
      ->type_name("A1:A2:CH=LIMIT")
      ->group(group);
  app.add_option("--hysteresis", t.hysteresis,
                 "degrees back past the limit before --high/--low alarms clear")
      ->type_name("DEG")
      ->check(CLI::Range(0.0, 1000.0).description(""))
      ->capture_default_str()
      ->group(group);
  app.add_option("--delay", t.delayS,
                 "seconds a --high/--low condition must hold before the alarm is raised")
      ->type_name("S")
      ->check(CLI::Range(0.0, 1e6).description(""))
      ->capture_default_str()
      ->group(group);
  app.add_option("--down-after", t.downAfterS,
                 "alarm when a module has not answered for S seconds (every module read)")
      ->type_name("S")
      ->check(CLI::Range(0.001, 1e6).description(""))
      ->group(group);
  app.add_option("--relay", t.relay,
                 "relay 1 to 8 (port 256) held closed while any of these alarms is raised")
      ->type_name("N")
      ->check(CLI::Range(1u, 8u).description(""))
      ->group(group);
  app.add_option("--on-alarm", t.program,
                 "program run without a shell at each change of these alarms, with "
                 "WEXREAD_ALARM_NAME, _STATE, _VALUE, _LIMIT and _TIME in its environment")
      ->type_name("PROGRAM")
      ->group(group);
}

// The rules of the options, checked against the modules read.
std::optional<std::string> ApplyAlarmOptions(const AlarmOptionTexts& t, Options& o) {
  auto actions = [&](auto& rule) {
    if (t.relay != 0) rule.relay = t.relay;
    if (!t.program.empty()) rule.onAlarm = {t.program};
  };
  auto add = [&](const std::string& text, bool high) -> std::optional<std::string> {
    const std::string option = high ? "--high" : "--low";
    const auto equals = text.find('=');
    const auto colon = text.rfind(':', equals);
    const auto address =
        colon == std::string::npos ? std::nullopt : ParseAddress(text.substr(0, colon));
    const std::string channelText =
        colon == std::string::npos ? std::string() : text.substr(colon + 1, equals - colon - 1);
    const std::string limitText =
        equals == std::string::npos ? std::string() : text.substr(equals + 1);
    double limit = 0;
    const char* end = limitText.data() + limitText.size();
    const bool limitOk =
        !limitText.empty() && std::from_chars(limitText.data(), end, limit).ptr == end;
    if (!address || channelText.size() != 1 || channelText[0] < '0' || channelText[0] > '7' ||
        !limitOk)
      return option + ": '" + text + "' is not A1:A2:CHANNEL=LIMIT (for example 01:00:3=80)";
    const std::string module = AddressName(*address);
    const unsigned channel = static_cast<unsigned>(channelText[0] - '0');
    ChannelAlarm* rule = nullptr;
    for (auto& r : o.alarms.channels)
      if (r.module == module && r.channel == channel) rule = &r;
    if (rule == nullptr) {
      rule = &o.alarms.channels.emplace_back();
      rule->module = module;
      rule->channel = channel;
      rule->hysteresis = t.hysteresis;
      rule->delayS = t.delayS;
      actions(*rule);
    }
    auto& slot = high ? rule->high : rule->low;
    if (slot) return option + ": " + module + " channel " + channelText + " is given twice";
    slot = limit;
    return std::nullopt;
  };
  for (const auto& text : t.high)
    if (auto e = add(text, true)) return e;
  for (const auto& text : t.low)
    if (auto e = add(text, false)) return e;

  std::vector<std::string> modules;
  if (o.addresses.empty()) {
    for (unsigned k = 0; k < o.modules; ++k)
      modules.push_back(AddressName({1, static_cast<std::uint8_t>(k)}));
  } else {
    for (const auto& address : o.addresses) modules.push_back(AddressName(address));
  }
  if (t.downAfterS > 0) {
    for (const auto& module : modules) {
      auto& rule = o.alarms.modules.emplace_back();
      rule.module = module;
      rule.downAfterS = t.downAfterS;
      actions(rule);
    }
  }
  if (o.alarms.empty() && (t.relay != 0 || !t.program.empty()))
    return std::string(
        "--relay and --on-alarm act on the alarms of --high, --low or --down-after; "
        "none is given");
  return AlarmRulesError(o.alarms, modules);
}

}  // namespace

std::string AddressName(std::array<std::uint8_t, 2> address) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X:%02X", address[0], address[1]);
  return text;
}

std::optional<std::array<std::uint8_t, 2>> ParseAddress(const std::string& text) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const auto first = ParseHexByte(text.substr(0, colon));
  const auto second = ParseHexByte(text.substr(colon + 1));
  if (!first || !second) return std::nullopt;
  return std::array<std::uint8_t, 2>{*first, *second};
}

std::optional<ListenAddress> ParseListenAddress(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  std::string host = text.substr(0, colon);
  const std::string portText = text.substr(colon + 1);
  if (portText.empty() || portText.size() > 5 ||
      !std::all_of(portText.begin(), portText.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  const int port = std::stoi(portText);
  if (port > 65535) return std::nullopt;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    if (host.empty()) return std::nullopt;
  } else if (host.find_first_of("[]:") != std::string::npos) {
    return std::nullopt;  // an IPv6 address needs its brackets
  }
  if (host.empty()) host = "127.0.0.1";  // this machine only, unless asked
  return ListenAddress{host, port};
}

ParseResult ParseCommandLine(int argc, char** argv, bool stdoutIsTerminal) {
  Options o;
  CLI::App app{
      "Reads W316 temperature modules through the wexlink library: a snapshot run whose\n"
      "rows go to standard output or a file as a table, CSV, JSON lines or InfluxDB line\n"
      "protocol, and optionally to Prometheus and a live web page (--listen) or a node_exporter "
      "textfile.",
      "wexread"};
  app.set_version_flag("--version", "wexread " WEXREAD_VERSION);
  app.footer(
      "Exit status: 0 done (count, duration, SIGINT or SIGTERM), 1 an output or listening\n"
      "error, 2 a usage error, 3 the library refused a call, 4 the device was gone for longer\n"
      "than --exit-on-loss. See wexread(1).");

  std::string addressList;
  std::string formatName;
  std::string listenText;

  app.add_option("-p,--port", o.port, "COM port number N: /dev/ttyS<N-1>, or WEXLINK_COM<N>")
      ->type_name("N")
      ->check(CLI::Range(1u, 65535u).description(""))
      ->capture_default_str();
  app.add_option("-d,--device", o.device, "serial device for the port (sets WEXLINK_COM<N>)")
      ->type_name("PATH");
  app.add_option("-b,--baud", o.baud, "baud rate")
      ->type_name("B")
      ->check(CLI::Range(10, 4000000).description(""))
      ->capture_default_str();
  auto* modules = app.add_option("-m,--modules", o.modules,
                                 "modules at the addresses 01:00, 01:01, ... (1 to 32)")
                      ->type_name("N")
                      ->check(CLI::Range(1u, 32u).description(""))
                      ->capture_default_str();
  auto* address = app.add_option("-a,--address", addressList,
                                 "module addresses in hex, for example 01:00,01:05 (1 to 31)")
                      ->type_name("A1:A2,...");
  modules->excludes(address);
  app.add_option("-t,--period", o.periodMs, "milliseconds per module poll (700 to 100000)")
      ->type_name("MS")
      ->check(CLI::Range(700, 100000).description(""))
      ->capture_default_str();
  app.add_option("--miss-threshold", o.missThreshold,
                 "missed replies in a row at which a module counts as not answering (1 to 127)")
      ->type_name("K")
      ->check(CLI::Range(1, 127).description(""))
      ->capture_default_str();
  app.add_option(
         "--buffers", o.buffers,
         "library ring size in units of 5 rows, at least 16 rows (default: ten minutes of rows)")
      ->type_name("N")
      ->check(CLI::Range(1u, 65535u).description(""));
  app.add_option("-n,--count", o.count, "stop after N rows")
      ->type_name("N")
      ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{1} << 62).description(""));
  app.add_option("-s,--duration", o.durationS, "stop after S seconds")
      ->type_name("S")
      ->check(CLI::Range(0.001, 1e9).description(""));
  app.add_option("-f,--format", formatName,
                 "table, csv, jsonl or influx (default: table on a terminal, else csv)")
      ->type_name("FORMAT")
      ->check(CLI::IsMember({"table", "csv", "jsonl", "influx"}).description(""));
  app.add_option("-o,--output", o.outputPath, "append rows to FILE instead of standard output")
      ->type_name("FILE");
  app.add_option("-l,--listen", listenText,
                 "serve Prometheus metrics at http://ADDR:PORT/metrics and a live page at /; "
                 "ADDR defaults to 127.0.0.1, 0.0.0.0 is every address")
      ->type_name("ADDR:PORT");
  app.add_option("--textfile", o.textfile,
                 "keep the metrics in FILE (written whole, then renamed) for node_exporter")
      ->type_name("FILE");
  app.add_flag("-q,--quiet", o.quiet, "no status line on a terminal");
  app.add_option("--exit-on-loss", o.exitOnLossS,
                 "end with status 4 once the device has been gone for S seconds (default: "
                 "keep reopening it)")
      ->type_name("S")
      ->check(CLI::Range(0.0, 1e9).description(""));
  app.add_option("--restart-silent", o.restartSilentS,
                 "restart the run when no module has answered for S seconds (default: 60, or "
                 "the miss threshold + 2 row periods when longer)")
      ->type_name("S")
      ->check(CLI::Range(0.001, 1e9).description(""));
  app.add_option("--mqtt", o.mqttUrl,
                 "publish rows, Home Assistant discovery and availability to the broker at "
                 "mqtt://[USER@]HOST[:PORT] (mqtts:// for TLS)")
      ->type_name("URL");
  app.add_option("--mqtt-prefix", o.mqttPrefix, "topic prefix of the states")
      ->type_name("TOPIC")
      ->capture_default_str();
  app.add_option("--mqtt-ca", o.mqttCa, "CA certificates for mqtts:// (default: the system's)")
      ->type_name("FILE");
  app.add_option("--mqtt-password-file", o.mqttPasswordFile,
                 "the broker password: the first line of FILE")
      ->type_name("FILE");
  std::string modbusText;
  app.add_option("--modbus", modbusText,
                 "serve the newest row read-only over Modbus TCP; ADDR defaults to 127.0.0.1, "
                 "0.0.0.0 is every address")
      ->type_name("[ADDR]:PORT");
  AlarmOptionTexts alarmTexts;
  AddAlarmOptions(app, alarmTexts);
  std::string unitName;
  app.add_option("--unit", unitName, "C, F or K: the unit of every value written (default C)")
      ->type_name("UNIT")
      ->check(CLI::IsMember({"C", "F", "K"}).description(""));
  app.add_option("-c,--config", o.configPath,
                 "read options and channel names, calibration and unit from a TOML file; "
                 "options given here override it")
      ->type_name("FILE");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    return {std::nullopt, 0, app.help()};
  } catch (const CLI::CallForVersion& e) {
    return {std::nullopt, 0, std::string(e.what()) + "\n"};
  } catch (const CLI::ParseError& e) {
    return UsageError(e.what());
  }
  std::vector<ParseResult::OptionFact> facts;
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_lnames().empty()) continue;
    facts.push_back({option->get_lnames().front(), option->get_expected_max() == 0,
                     option->count() > 0});
  }
  if (unitName == "F") o.unit = Unit::Fahrenheit;
  if (unitName == "K") o.unit = Unit::Kelvin;

  if (!addressList.empty()) {
    std::set<std::array<std::uint8_t, 2>> seen;
    std::size_t start = 0;
    for (;;) {
      const auto comma = addressList.find(',', start);
      const std::string item = addressList.substr(start, comma - start);
      const auto parsed = ParseAddress(item);
      if (!parsed) return UsageError("--address: '" + item + "' is not A1:A2 in hex");
      if (!seen.insert(*parsed).second)
        return UsageError("--address: " + AddressName(*parsed) + " is given twice");
      o.addresses.push_back(*parsed);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    if (o.addresses.size() > kMaxAddresses)
      return UsageError("--address: at most 31 addresses (the library's address table)");
  }

  if (formatName.empty()) {
    o.format = stdoutIsTerminal && o.outputPath.empty() ? Format::Table : Format::Csv;
  } else {
    static const std::map<std::string, Format> kFormats{{"table", Format::Table},
                                                        {"csv", Format::Csv},
                                                        {"jsonl", Format::Jsonl},
                                                        {"influx", Format::Influx}};
    o.format = kFormats.at(formatName);
  }

  if (!listenText.empty()) {
    o.listen = ParseListenAddress(listenText);
    if (!o.listen) return UsageError("--listen: '" + listenText + "' is not ADDR:PORT");
  }

  if (!modbusText.empty()) {
    o.modbus = ParseListenAddress(modbusText);
    if (!o.modbus) return UsageError("--modbus: '" + modbusText + "' is not [ADDR]:PORT");
  }
  if (o.mqttPrefix.empty() || o.mqttPrefix.find_first_of("+#") != std::string::npos)
    return UsageError("--mqtt-prefix: '" + o.mqttPrefix + "' is not a topic without wildcards");
  if (const auto error = ApplyAlarmOptions(alarmTexts, o)) return UsageError(*error);
  if (!o.outputPath.empty() && !o.textfile.empty() && SameFile(o.outputPath, o.textfile))
    return UsageError("--output and --textfile name the same file (" + o.textfile +
                      "): the metrics would be renamed over the rows");

  if (!o.device.empty() && RunningPrivileged())
    return UsageError(
        "--device: the library ignores WEXLINK_COM<N> in a privileged process; "
        "run wexread without setuid, setgid or file capabilities");

  return {o, 0, {}, facts};
}

ParseResult ParseOptions(int argc, char** argv, bool stdoutIsTerminal) {
  ParseResult result = ParseCommandLine(argc, argv, stdoutIsTerminal);
  if (!result.options || result.options->configPath.empty()) return result;
  return ApplyConfigFile(result, argc, argv, stdoutIsTerminal);
}

}  // namespace wexread
