// What the alarms are set to watch, as the options and the config file give
// them: per channel a high and/or low limit with hysteresis and delay, per
// module a time without an answer. Plain data, filled by the parsers and
// checked by AlarmRulesError before a run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wexread {

// One [[channel]] table's alarm keys (or one --high/--low option).
struct ChannelAlarm {
  std::string module;                // "01:00", as AddressName writes it
  unsigned channel = 0;              // 0..7
  std::string name;                  // empty: "01:00 ch0"
  std::optional<double> high;        // raised above, cleared below high - hysteresis
  std::optional<double> low;         // raised below, cleared above low + hysteresis
  double hysteresis = 0.5;           // degrees, >= 0
  double delayS = 0;                 // seconds the condition must hold before raising, >= 0
  std::optional<unsigned> relay;     // 1..8: set while raised
  std::vector<std::string> onAlarm;  // program and arguments, run without a shell
};

// One [[module]] table's alarm keys (or --down-after for every module).
struct ModuleAlarm {
  std::string module;     // "01:00"
  std::string name;       // empty: "01:00"
  double downAfterS = 0;  // > 0: raised after this long without an answer
  std::optional<unsigned> relay;
  std::vector<std::string> onAlarm;
};

struct AlarmRules {
  std::vector<ChannelAlarm> channels;
  std::vector<ModuleAlarm> modules;
  bool empty() const { return channels.empty() && modules.empty(); }
};

// What is wrong with the rules for a run over `modules` ("01:00", ...), or
// nothing: a module not in the run, a channel over 7, a channel table without
// high or low, a negative hysteresis or delay, down_after not above 0, a relay
// outside 1..8, an empty program name.
std::optional<std::string> AlarmRulesError(const AlarmRules& rules,
                                           const std::vector<std::string>& modules);

}  // namespace wexread
