#include "config.h"

#include <toml++/toml.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

#include "readings.h"

namespace wexread {
namespace {

// A config file is a few lines; anything much larger is not one.
constexpr std::size_t kMostBytes = 1 << 20;
constexpr std::size_t kLongestName = 100;

ParseResult Failure(const std::string& message) {
  return {std::nullopt, 2, "wexread: " + message, {}};
}

std::string Where(const std::string& path, const toml::node& node) {
  return path + ":" + std::to_string(node.source().begin.line);
}

// A usage error's message without the "wexread: " before it and the hint after it.
std::string Bare(std::string text) {
  static const std::string kPrefix = "wexread: ";
  static const std::string kHint = " (try wexread --help)";
  if (text.compare(0, kPrefix.size(), kPrefix) == 0) text.erase(0, kPrefix.size());
  if (text.size() >= kHint.size() &&
      text.compare(text.size() - kHint.size(), kHint.size(), kHint) == 0)
    text.erase(text.size() - kHint.size());
  return text;
}

std::string NumberText(double value) {
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

// The command-line word for a key and its value ("--period=700"), none for a
// flag set to false; nullopt for a value of a type the option cannot take.
std::optional<std::vector<std::string>> Words(const std::string& key, const toml::node& value,
                                              bool flag) {
  const std::string option = "--" + key;
  if (flag) {
    const auto* b = value.as_boolean();
    if (b == nullptr) return std::nullopt;
    return b->get() ? std::vector<std::string>{option} : std::vector<std::string>{};
  }
  std::string text;
  if (const auto* str = value.as_string()) {
    text = str->get();
  } else if (const auto* i = value.as_integer()) {
    text = std::to_string(i->get());
  } else if (const auto* f = value.as_floating_point()) {
    text = NumberText(f->get());
  } else if (const auto* a = value.as_array()) {
    // A list of strings: the option's comma-separated form (address).
    if (a->empty()) return std::nullopt;
    for (const toml::node& item : *a) {
      const auto* s = item.as_string();
      if (s == nullptr || s->get().find(',') != std::string::npos) return std::nullopt;
      if (!text.empty()) text += ',';
      text += s->get();
    }
  } else {
    return std::nullopt;
  }
  return std::vector<std::string>{option + "=" + text};
}

ParseResult ParseWords(const std::vector<std::string>& words, bool stdoutIsTerminal) {
  std::vector<char*> argv;
  for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(nullptr);
  return ParseCommandLine(static_cast<int>(words.size()), argv.data(), stdoutIsTerminal);
}

std::optional<double> Number(const toml::node& value) {
  if (const auto* i = value.as_integer()) return static_cast<double>(i->get());
  if (const auto* f = value.as_floating_point()) {
    if (std::isfinite(f->get())) return f->get();
  }
  return std::nullopt;
}

// No control characters, and no backslash at the end (InfluxDB's line
// protocol would take it for one escaping the separator after the name).
bool GoodName(const std::string& name) {
  if (name.empty() || name.size() > kLongestName || name.back() == '\\') return false;
  for (const char c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  return true;
}

std::vector<std::string> ModulesOf(const Options& o) {
  std::vector<std::string> modules;
  if (o.addresses.empty()) {
    for (unsigned k = 0; k < o.modules; ++k)
      modules.push_back(AddressName({1, static_cast<std::uint8_t>(k)}));
  } else {
    for (const auto& a : o.addresses) modules.push_back(AddressName(a));
  }
  return modules;
}

bool IsLimitKey(const std::string& k) {
  return k == "high" || k == "low" || k == "hysteresis" || k == "delay";
}

// One of the limit keys of a [[channel]] or [[module]] table into `alarm`.
std::optional<std::string> ReadLimit(const std::string& k, const toml::node& value,
                                     const std::string& at, ChannelAlarm& alarm) {
  const auto number = Number(value);
  if (!number) return at + "a finite number expected";
  if ((k == "hysteresis" || k == "delay") && *number < 0) return at + "0 or more expected";
  if (k == "high") alarm.high = *number;
  if (k == "low") alarm.low = *number;
  if (k == "hysteresis") alarm.hysteresis = *number;
  if (k == "delay") alarm.delayS = *number;
  return std::nullopt;
}

// The alarm keys a [[channel]] or [[module]] table may hold beside its own:
// relay (1 to 8) and on_alarm (a program and its arguments, no shell).
std::optional<std::string> ReadAlarmAction(const std::string& k, const toml::node& value,
                                           const std::string& at,
                                           std::optional<unsigned>& relay,
                                           std::vector<std::string>& onAlarm, bool& known) {
  known = true;
  if (k == "relay") {
    const auto* i = value.as_integer();
    if (i == nullptr || i->get() < 1 || i->get() > 8) return at + "1 to 8 expected";
    relay = static_cast<unsigned>(i->get());
  } else if (k == "on_alarm") {
    const auto* list = value.as_array();
    if (list == nullptr || list->empty()) return at + "a list of strings expected";
    onAlarm.clear();
    for (const toml::node& word : *list) {
      const auto* text = word.as_string();
      if (text == nullptr) return at + "a list of strings expected";
      onAlarm.push_back(text->get());
    }
    if (onAlarm.front().empty()) return at + "the program's path is empty";
  } else {
    known = false;
  }
  return std::nullopt;
}

// The [[channel]] tables, checked against the run's modules.
std::optional<std::string> ReadChannels(const std::string& path, const toml::node& node,
                                        Options& o) {
  const auto* tables = node.as_array();
  if (tables == nullptr || !tables->is_array_of_tables())
    return Where(path, node) + ": channel: [[channel]] tables expected";
  const auto polled = ModulesOf(o);
  const std::set<std::string> modules(polled.begin(), polled.end());
  std::set<std::pair<std::string, unsigned>> seen;
  std::set<std::string> names;
  for (const toml::node& item : *tables) {
    const toml::table& table = *item.as_table();
    ChannelSetting setting;
    ChannelAlarm alarm;
    bool haveModule = false;
    bool haveChannel = false;
    bool haveAlarmKey = false;
    for (auto&& [key, value] : table) {
      const std::string k(key.str());
      const std::string at = Where(path, value) + ": channel." + k + ": ";
      bool action = false;
      if (const auto error = ReadAlarmAction(k, value, at, alarm.relay, alarm.onAlarm, action))
        return error;
      if (action) {
        haveAlarmKey = true;
      } else if (IsLimitKey(k)) {
        if (const auto error = ReadLimit(k, value, at, alarm)) return error;
        haveAlarmKey = true;
      } else if (k == "module") {
        const auto* s = value.as_string();
        const auto address = s != nullptr ? ParseAddress(s->get()) : std::nullopt;
        if (!address) return at + "an address A1:A2 in hex expected, as in --address";
        if (modules.count(AddressName(*address)) == 0)
          return at + AddressName(*address) + " is not a module of this run";
        setting.module = *address;
        haveModule = true;
      } else if (k == "channel") {
        const auto* i = value.as_integer();
        if (i == nullptr || i->get() < 0 || i->get() >= 8) return at + "0 to 7 expected";
        setting.channel = static_cast<unsigned>(i->get());
        haveChannel = true;
      } else if (k == "name") {
        const auto* s = value.as_string();
        if (s == nullptr || !GoodName(s->get()))
          return at + "1 to 100 characters expected, no control characters, no '\\' at the end";
        if (!names.insert(s->get()).second) return at + "'" + s->get() + "' is given twice";
        setting.name = s->get();
      } else if (k == "gain" || k == "offset") {
        const auto number = Number(value);
        if (!number) return at + "a finite number expected";
        (k == "gain" ? setting.gain : setting.offset) = *number;
      } else {
        return Where(path, value) + ": unknown key 'channel." + k + "'";
      }
    }
    if (!haveModule || !haveChannel)
      return Where(path, item) + ": channel: module and channel are both needed";
    if (!seen.insert({AddressName(setting.module), setting.channel}).second)
      return Where(path, item) + ": channel: " + AddressName(setting.module) + " channel " +
             std::to_string(setting.channel) + " is given twice";
    o.channelSettings.push_back(setting);
    if (haveAlarmKey) {
      if (!alarm.high && !alarm.low)
        return Where(path, item) + ": channel: an alarm needs high or low";
      alarm.module = AddressName(setting.module);
      alarm.channel = setting.channel;
      alarm.name = setting.name;
      // A --high or --low for the same channel on the command line wins.
      const bool overridden =
          std::any_of(o.alarms.channels.begin(), o.alarms.channels.end(), [&](const auto& a) {
            return a.module == alarm.module && a.channel == alarm.channel;
          });
      if (!overridden) o.alarms.channels.push_back(std::move(alarm));
    }
  }
  return std::nullopt;
}

// The [[module]] tables: a module alarm each (down_after seconds without an
// answer), checked against the run's modules.
std::optional<std::string> ReadModules(const std::string& path, const toml::node& node,
                                       Options& o) {
  const auto* tables = node.as_array();
  if (tables == nullptr || !tables->is_array_of_tables())
    return Where(path, node) + ": module: [[module]] tables expected";
  const auto polled = ModulesOf(o);
  const std::set<std::string> modules(polled.begin(), polled.end());
  for (const toml::node& item : *tables) {
    ModuleAlarm alarm;
    ChannelAlarm limits;  // high/low for every channel of the module
    bool haveLimits = false;
    bool haveModule = false;
    for (auto&& [key, value] : *item.as_table()) {
      const std::string k(key.str());
      const std::string at = Where(path, value) + ": module." + k + ": ";
      bool action = false;
      if (const auto error = ReadAlarmAction(k, value, at, alarm.relay, alarm.onAlarm, action))
        return error;
      if (action) continue;
      if (k == "module") {
        const auto* text = value.as_string();
        const auto address = text != nullptr ? ParseAddress(text->get()) : std::nullopt;
        if (!address) return at + "an address A1:A2 in hex expected, as in --address";
        alarm.module = AddressName(*address);
        if (modules.count(alarm.module) == 0) return at + alarm.module + " is not a module of this run";
        haveModule = true;
      } else if (k == "name") {
        const auto* text = value.as_string();
        if (text == nullptr || !GoodName(text->get()))
          return at + "1 to 100 characters expected, no control characters, no '\\' at the end";
        alarm.name = text->get();
      } else if (k == "down_after") {
        const auto number = Number(value);
        if (!number || *number <= 0) return at + "a number of seconds above 0 expected";
        alarm.downAfterS = *number;
      } else if (IsLimitKey(k)) {
        if (const auto error = ReadLimit(k, value, at, limits)) return error;
        haveLimits = true;
      } else {
        return Where(path, value) + ": unknown key 'module." + k + "'";
      }
    }
    if (!haveModule) return Where(path, item) + ": module: the module's address is needed";
    if (haveLimits) {
      if (!limits.high && !limits.low)
        return Where(path, item) + ": module: an alarm needs high or low";
      // The module's limits hold for each of its channels that has none of
      // its own ([[channel]] or --high/--low); the relay and program too.
      limits.module = alarm.module;
      limits.relay = alarm.relay;
      limits.onAlarm = alarm.onAlarm;
      for (unsigned c = 0; c < kChannelsPerModule; ++c) {
        const bool own =
            std::any_of(o.alarms.channels.begin(), o.alarms.channels.end(), [&](const auto& a) {
              return a.module == limits.module && a.channel == c;
            });
        if (own) continue;
        ChannelAlarm rule = limits;
        rule.channel = c;
        for (const auto& setting : o.channelSettings)
          if (AddressName(setting.module) == rule.module && setting.channel == c)
            rule.name = setting.name;
        o.alarms.channels.push_back(std::move(rule));
      }
    } else if (alarm.downAfterS <= 0) {
      return Where(path, item) + ": module: down_after, high or low is needed";
    }
    if (alarm.downAfterS <= 0) continue;
    const bool overridden =
        std::any_of(o.alarms.modules.begin(), o.alarms.modules.end(),
                    [&](const auto& a) { return a.module == alarm.module; });
    if (!overridden) o.alarms.modules.push_back(std::move(alarm));
  }
  return std::nullopt;
}

}  // namespace

ParseResult ApplyConfigFile(const ParseResult& commandLine, int argc, char** argv,
                            bool stdoutIsTerminal) {
  const std::string path = commandLine.options->configPath;
  std::ifstream in(path, std::ios::binary);
  if (!in) return Failure(path + ": " + std::strerror(errno));
  std::string text;
  text.resize(kMostBytes + 1);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) return Failure(path + ": " + std::strerror(errno));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > kMostBytes) return Failure(path + ": larger than 1 MiB: not a config file");

  toml::table root;
  try {
    root = toml::parse(text, path);
  } catch (const toml::parse_error& e) {
    return Failure(path + ":" + std::to_string(e.source().begin.line) + ": " +
                   std::string(e.description()));
  }

  auto fact = [&](const std::string& name) -> const ParseResult::OptionFact* {
    for (const auto& f : commandLine.optionFacts)
      if (f.name == name) return &f;
    return nullptr;
  };
  // --modules and --address are one choice: either on the command line
  // overrides both in the file.
  const bool layoutGiven = fact("modules")->given || fact("address")->given;

  std::vector<std::string> words{argv[0]};
  const toml::node* channels = nullptr;
  const toml::node* moduleTables = nullptr;
  for (auto&& [key, value] : root) {
    const std::string k(key.str());
    if (k == "channel") {
      channels = &value;
      continue;
    }
    if (k == "module") {
      moduleTables = &value;
      continue;
    }
    const auto* f = fact(k);
    if (f == nullptr || k == "config" || k == "help" || k == "version")
      return Failure(Where(path, value) + ": unknown key '" + k + "'");
    const auto item = Words(k, value, f->flag);
    if (!item)
      return Failure(Where(path, value) + ": " + k + ": " +
                     (f->flag ? "true or false expected" : "a string or a number expected"));
    if (f->given || ((k == "modules" || k == "address") && layoutGiven)) continue;
    if (item->empty()) continue;
    // Each value alone first, so that its error names its line.
    const ParseResult alone = ParseWords({argv[0], item->front()}, stdoutIsTerminal);
    if (!alone.options) return Failure(Where(path, value) + ": " + Bare(alone.text));
    words.push_back(item->front());
  }
  for (int i = 1; i < argc; ++i) words.emplace_back(argv[i]);

  ParseResult merged = ParseWords(words, stdoutIsTerminal);
  if (!merged.options) return Failure(path + ": " + Bare(merged.text));
  merged.options->configPath = path;
  if (channels != nullptr) {
    if (const auto error = ReadChannels(path, *channels, *merged.options)) return Failure(*error);
  }
  if (moduleTables != nullptr) {
    if (const auto error = ReadModules(path, *moduleTables, *merged.options))
      return Failure(*error);
  }
  if (const auto error = AlarmRulesError(merged.options->alarms, ModulesOf(*merged.options)))
    return Failure(path + ": " + *error);
  return merged;
}

}  // namespace wexread
