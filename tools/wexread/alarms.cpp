#include "alarms.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "readings.h"
#include "wexlink.h"

extern char** environ;

namespace wexread {
namespace {

constexpr std::size_t kRecentChanges = 50;

std::string Number(double value) {
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value);
  return error == std::errc() ? std::string(text, end) : std::string("nan");
}

std::string UtcText(std::int64_t utcMs) {
  std::string out;
  AppendUtc(out, utcMs);
  return out;
}

// A Prometheus label value: backslash, quote and newline escaped.
std::string LabelValue(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

const char* KindName(AlarmKind kind) {
  switch (kind) {
    case AlarmKind::High:
      return "high";
    case AlarmKind::Low:
      return "low";
    case AlarmKind::Down:
      return "down";
  }
  return "?";
}

const char* StateName(AlarmState state) {
  switch (state) {
    case AlarmState::Ok:
      return "ok";
    case AlarmState::Raised:
      return "raised";
    case AlarmState::Cleared:
      return "cleared";
  }
  return "?";
}

std::optional<std::string> AlarmRulesError(const AlarmRules& rules,
                                           const std::vector<std::string>& modules) {
  auto known = [&](const std::string& module) {
    for (const auto& m : modules)
      if (m == module) return true;
    return false;
  };
  auto actions = [](const std::optional<unsigned>& relay, const std::vector<std::string>& program,
                    const std::string& where) -> std::optional<std::string> {
    if (relay && (*relay < 1 || *relay > 8)) return where + ": relay must be 1 to 8";
    if (!program.empty() && program.front().empty()) return where + ": on_alarm names no program";
    return std::nullopt;
  };
  for (const auto& c : rules.channels) {
    const std::string where = "alarm on " + c.module + " channel " + std::to_string(c.channel);
    if (!known(c.module)) return where + ": module " + c.module + " is not read";
    if (c.channel > 7) return where + ": channel must be 0 to 7";
    if (!c.high && !c.low) return where + ": neither high nor low is given";
    if (c.high && !std::isfinite(*c.high)) return where + ": high is not a number";
    if (c.low && !std::isfinite(*c.low)) return where + ": low is not a number";
    if (c.high && c.low && *c.low >= *c.high) return where + ": low must be below high";
    if (!(c.hysteresis >= 0) || !std::isfinite(c.hysteresis))
      return where + ": hysteresis must be 0 or more";
    if (!(c.delayS >= 0) || !std::isfinite(c.delayS)) return where + ": delay must be 0 or more";
    if (auto e = actions(c.relay, c.onAlarm, where)) return e;
  }
  for (const auto& m : rules.modules) {
    const std::string where = "alarm on module " + m.module;
    if (!known(m.module)) return where + ": module " + m.module + " is not read";
    if (!(m.downAfterS > 0) || !std::isfinite(m.downAfterS))
      return where + ": down_after must be above 0 seconds";
    if (auto e = actions(m.relay, m.onAlarm, where)) return e;
  }
  return std::nullopt;
}

// ---- the engine ------------------------------------------------------------------

AlarmEngine::AlarmEngine(const AlarmRules& rules, const std::vector<std::string>& modules) {
  if (const auto error = AlarmRulesError(rules, modules)) throw std::invalid_argument(*error);
  auto indexOf = [&](const std::string& module) {
    for (std::size_t k = 0; k < modules.size(); ++k)
      if (modules[k] == module) return k;
    return std::size_t{0};
  };
  for (const auto& c : rules.channels) {
    AlarmRule rule;
    rule.module = c.module;
    rule.moduleIndex = indexOf(c.module);
    rule.channel = static_cast<int>(c.channel);
    rule.name = c.name.empty() ? c.module + " ch" + std::to_string(c.channel) : c.name;
    rule.hysteresis = c.hysteresis;
    rule.delayMs = std::llround(c.delayS * 1000);
    rule.relay = c.relay;
    rule.onAlarm = c.onAlarm;
    if (c.high) {
      rule.kind = AlarmKind::High;
      rule.limit = *c.high;
      rules_.push_back(rule);
    }
    if (c.low) {
      rule.kind = AlarmKind::Low;
      rule.limit = *c.low;
      rules_.push_back(rule);
    }
  }
  for (const auto& m : rules.modules) {
    AlarmRule rule;
    rule.kind = AlarmKind::Down;
    rule.module = m.module;
    rule.moduleIndex = indexOf(m.module);
    rule.name = m.name.empty() ? m.module : m.name;
    rule.limit = m.downAfterS;
    rule.delayMs = std::llround(m.downAfterS * 1000);
    rule.relay = m.relay;
    rule.onAlarm = m.onAlarm;
    rules_.push_back(rule);
  }
  live_.resize(rules_.size());
  lastAnswerMs_.resize(modules.size());
}

const std::vector<AlarmChange>& AlarmEngine::Feed(std::int64_t utcMs,
                                                  std::span<const double> values,
                                                  std::span<const std::uint8_t> up) {
  out_.clear();
  for (std::size_t k = 0; k < up.size() && k < lastAnswerMs_.size(); ++k) {
    // A module that never answered counts from the first row.
    if (up[k] != 0 || !lastAnswerMs_[k]) lastAnswerMs_[k] = utcMs;
  }
  for (std::size_t i = 0; i < rules_.size(); ++i) {
    const AlarmRule& rule = rules_[i];
    Live& live = live_[i];
    const bool moduleUp = rule.moduleIndex < up.size() && up[rule.moduleIndex] != 0;
    auto change = [&](AlarmState state, std::optional<double> value) {
      live.state = state;
      live.since.reset();
      out_.push_back({i, state, utcMs, value});
      ++changes_;
    };
    if (rule.kind == AlarmKind::Down) {
      if (moduleUp) {
        if (live.state == AlarmState::Raised) change(AlarmState::Cleared, std::nullopt);
        continue;
      }
      const double silentS =
          static_cast<double>(utcMs - lastAnswerMs_[rule.moduleIndex].value_or(utcMs)) / 1000;
      if (live.state != AlarmState::Raised &&
          utcMs - lastAnswerMs_[rule.moduleIndex].value_or(utcMs) >= rule.delayMs)
        change(AlarmState::Raised, silentS);
      continue;
    }
    const std::size_t at =
        rule.moduleIndex * kChannelsPerModule + static_cast<std::size_t>(rule.channel);
    const double value = at < values.size() ? values[at] : NAN;
    if (!moduleUp || std::isnan(value)) {
      live.since.reset();  // no reading: the condition is not known to hold
      continue;
    }
    const bool high = rule.kind == AlarmKind::High;
    if (live.state == AlarmState::Raised) {
      const bool back =
          high ? value < rule.limit - rule.hysteresis : value > rule.limit + rule.hysteresis;
      if (back) change(AlarmState::Cleared, value);
      continue;
    }
    const bool over = high ? value > rule.limit : value < rule.limit;
    if (!over) {
      live.since.reset();
      continue;
    }
    if (!live.since) live.since = utcMs;
    if (utcMs - *live.since >= rule.delayMs) change(AlarmState::Raised, value);
  }
  return out_;
}

// ---- together ------------------------------------------------------------------------

Alarms::Alarms(const AlarmRules& rules, const std::vector<std::string>& modules, bool relayAccess,
               std::chrono::milliseconds hookTimeLimit)
    : engine_(rules, modules),
      relays_(relayAccess),
      values_(modules.size() * kChannelsPerModule),
      up_(modules.size()),
      shownValue_(engine_.rules().size()),
      sinceMs_(engine_.rules().size(), 0) {
  bool programs = false;
  for (const auto& rule : engine_.rules()) {
    relaysNamed_ = relaysNamed_ || rule.relay.has_value();
    programs = programs || !rule.onAlarm.empty();
  }
  if (programs) hooks_.emplace(engine_.rules().size(), hookTimeLimit);
}

std::string Alarms::StartNote() const {
  if (!relaysNamed_ || relays_.enabled()) return {};
  return RelayWriter::NoAccessNote();
}

const std::vector<AlarmChange>& Alarms::Feed(std::int64_t utcMs, const std::uint16_t* raw) {
  for (std::size_t k = 0; k < up_.size(); ++k) {
    const std::uint16_t* module = raw + k * kChannelsPerModule;
    up_[k] = ModuleAnswering(module) ? 1 : 0;
    for (unsigned c = 0; c < kChannelsPerModule; ++c) {
      const std::size_t index = k * kChannelsPerModule + c;
      std::optional<double> value;
      if (up_[k] != 0 && IsTemperature(module[c]))
        value = layout_ != nullptr ? ChannelValue(*layout_, index, module[c])
                                   : (static_cast<int>(module[c]) - WEXLINK_RAW_OFFSET) /
                                         double{WEXLINK_RAW_PER_DEGREE};
      values_[index] = value.value_or(NAN);
    }
  }
  const auto& changes = engine_.Feed(utcMs, values_, up_);
  if (changes.empty()) return changes;

  std::uint8_t wanted = 0;
  const auto& rules = engine_.rules();
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (rules[i].relay && engine_.state(i) == AlarmState::Raised)
      wanted = static_cast<std::uint8_t>(wanted | (1u << (*rules[i].relay - 1)));
  }
  relays_.Apply(wanted);

  for (const AlarmChange& change : changes) {
    const AlarmRule& rule = rules[change.rule];
    shownValue_[change.rule] = change.value;
    sinceMs_[change.rule] = change.utcMs;
    recent_.push_back(EventJson(change));
    if (recent_.size() > kRecentChanges) recent_.pop_front();
    if (!hooks_ || rule.onAlarm.empty()) continue;
    std::vector<std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e)
      if (std::strncmp(*e, "WEXREAD_ALARM_", 14) != 0) env.emplace_back(*e);
    env.push_back("WEXREAD_ALARM_NAME=" + rule.name);
    env.push_back(std::string("WEXREAD_ALARM_STATE=") + StateName(change.state));
    env.push_back("WEXREAD_ALARM_VALUE=" + (change.value ? Number(*change.value) : ""));
    env.push_back("WEXREAD_ALARM_LIMIT=" + Number(rule.limit));
    env.push_back("WEXREAD_ALARM_TIME=" + UtcText(change.utcMs));
    env.push_back(std::string("WEXREAD_ALARM_KIND=") + KindName(rule.kind));
    env.push_back("WEXREAD_ALARM_MODULE=" + rule.module);
    env.push_back("WEXREAD_ALARM_CHANNEL=" +
                  (rule.channel >= 0 ? std::to_string(rule.channel) : std::string()));
    hooks_->Run(change.rule, rule.onAlarm, std::move(env));
  }
  return changes;
}

std::string Alarms::LogLine(const AlarmChange& change) const {
  const AlarmRule& rule = engine_.rules()[change.rule];
  const bool raised = change.state == AlarmState::Raised;
  std::string line = std::string("wexread: alarm ") + StateName(change.state) + ": " + rule.name +
                     ' ' + KindName(rule.kind) + ", ";
  if (rule.kind == AlarmKind::Down) {
    line += raised ? "no answer for " + Number(change.value.value_or(0)) + " s (down_after " +
                         Number(rule.limit) + " s)"
                   : std::string("answering again");
    line += " (module " + rule.module + ")";
  } else {
    const bool high = rule.kind == AlarmKind::High;
    const double bound = raised ? rule.limit
                         : high ? rule.limit - rule.hysteresis
                                : rule.limit + rule.hysteresis;
    line += Number(change.value.value_or(NAN)) + ((high == raised) ? " above " : " below ") +
            Number(bound) + " (module " + rule.module + " channel " + std::to_string(rule.channel) +
            ")";
  }
  return line + " at " + UtcText(change.utcMs) + '\n';
}

namespace {
nlohmann::json RuleJson(const AlarmRule& rule) {
  nlohmann::json j;
  j["name"] = rule.name;
  j["module"] = rule.module;
  j["channel"] = rule.channel >= 0 ? nlohmann::json(rule.channel) : nlohmann::json(nullptr);
  j["kind"] = KindName(rule.kind);
  j["limit"] = rule.limit;
  return j;
}
}  // namespace

std::string Alarms::EventJson(const AlarmChange& change) const {
  nlohmann::json j = RuleJson(engine_.rules()[change.rule]);
  j["t"] = change.utcMs;
  j["state"] = StateName(change.state);
  j["value"] = change.value ? nlohmann::json(*change.value) : nlohmann::json(nullptr);
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string Alarms::StateJson() const {
  nlohmann::json rules = nlohmann::json::array();
  for (std::size_t i = 0; i < engine_.rules().size(); ++i) {
    nlohmann::json j = RuleJson(engine_.rules()[i]);
    j["state"] = StateName(engine_.state(i));
    j["value"] = shownValue_[i] ? nlohmann::json(*shownValue_[i]) : nlohmann::json(nullptr);
    j["since"] = sinceMs_[i] != 0 ? nlohmann::json(sinceMs_[i]) : nlohmann::json(nullptr);
    rules.push_back(std::move(j));
  }
  std::string out =
      "{\"rules\":" + rules.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
      ",\"changes\":[";
  for (std::size_t i = 0; i < recent_.size(); ++i) out += (i != 0 ? "," : "") + recent_[i];
  return out + "]}";
}

void Alarms::AppendExposition(std::string& out, unsigned port) const {
  const std::string portLabel = "port=\"" + std::to_string(port) + '"';
  out +=
      "# HELP wexlink_alarm Whether the alarm is raised (1) or not (0); kind is high, low or "
      "down (the module not answering).\n"
      "# TYPE wexlink_alarm gauge\n";
  for (std::size_t i = 0; i < engine_.rules().size(); ++i) {
    const AlarmRule& rule = engine_.rules()[i];
    out += "wexlink_alarm{" + portLabel + ",module=\"" + rule.module + "\",channel=\"" +
           (rule.channel >= 0 ? std::to_string(rule.channel) : std::string()) + "\",name=\"" +
           LabelValue(rule.name) + "\",kind=\"" + KindName(rule.kind) + "\"} " +
           (engine_.state(i) == AlarmState::Raised ? "1\n" : "0\n");
  }
  out +=
      "# HELP wexlink_alarm_changes_total Alarm changes (raised or cleared) since the start.\n"
      "# TYPE wexlink_alarm_changes_total counter\n"
      "wexlink_alarm_changes_total{" +
      portLabel + "} " + std::to_string(engine_.changes()) + '\n';
}

// The same on every system: the library's outportb does what the system allows.
bool RelayWriter::Apply(std::uint8_t wanted) {
  if (!enabled_ || wanted == byte_) return false;
  byte_ = wanted;
  outportb(kPort, byte_);
  return true;
}

}  // namespace wexread
