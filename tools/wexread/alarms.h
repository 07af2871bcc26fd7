// Alarms over the rows: the rule engine (fed one row at a time, on the rows'
// own times), the programs run at each change, the relay byte, and the text
// of a change for the log, the metrics and the page.
//
// Threads: everything here runs on the reader's thread except the hook
// runner's thread, which starts the programs and reaps them; the reader only
// hands it a request and never waits for a program.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "alarm_rules.h"
#include "readings.h"

namespace wexread {

enum class AlarmKind { High, Low, Down };
// ok: never raised since the start; cleared: raised before, not now.
enum class AlarmState { Ok, Raised, Cleared };

const char* KindName(AlarmKind kind);     // "high", "low", "down"
const char* StateName(AlarmState state);  // "ok", "raised", "cleared"

// One watched condition: a channel table with high and low is two of them.
struct AlarmRule {
  AlarmKind kind = AlarmKind::High;
  std::string module;
  std::size_t moduleIndex = 0;  // in the run's poll order
  int channel = -1;             // 0..7; -1 for a module alarm
  std::string name;
  double limit = 0;  // degrees, or seconds for Down
  double hysteresis = 0;
  std::int64_t delayMs = 0;  // Down: down_after
  std::optional<unsigned> relay;
  std::vector<std::string> onAlarm;
};

struct AlarmChange {
  std::size_t rule = 0;
  AlarmState state = AlarmState::Raised;  // Raised or Cleared
  std::int64_t utcMs = 0;                 // the time of the row that made it
  // The channel's reading; for Down the seconds since the module last answered
  // (none when it is cleared).
  std::optional<double> value;
};

class AlarmEngine {
 public:
  // Throws std::invalid_argument when AlarmRulesError finds a fault.
  AlarmEngine(const AlarmRules& rules, const std::vector<std::string>& modules);

  // One row: `values` holds one reading per channel of every module in poll
  // order (NaN: no reading), `up` one flag per module. Returns the changes it
  // made, in rule order, valid until the next call. A channel without a reading
  // neither raises nor clears its high/low alarm and restarts its delay.
  const std::vector<AlarmChange>& Feed(std::int64_t utcMs, std::span<const double> values,
                                       std::span<const std::uint8_t> up);

  const std::vector<AlarmRule>& rules() const { return rules_; }
  AlarmState state(std::size_t rule) const { return live_[rule].state; }
  std::uint64_t changes() const { return changes_; }

 private:
  struct Live {
    AlarmState state = AlarmState::Ok;
    std::optional<std::int64_t> since;  // the condition holds since then
  };
  std::vector<AlarmRule> rules_;
  std::vector<Live> live_;
  std::vector<std::optional<std::int64_t>> lastAnswerMs_;  // per module
  std::vector<AlarmChange> out_;
  std::uint64_t changes_ = 0;
};

// Runs a rule's program at each change of the rule, without a shell, with the
// change in WEXREAD_ALARM_NAME, _STATE, _VALUE, _LIMIT, _TIME (and _KIND,
// _MODULE, _CHANNEL). At most one program runs per rule: a change that comes
// while it runs waits, and a newer one replaces it. The program's standard
// input is /dev/null and its standard output goes to wexread's standard error
// (never into the rows). One that runs longer than `timeLimit` is killed. A
// program that cannot be started, fails or is killed is logged in one line.
class HookRunner {
 public:
  HookRunner(std::size_t rules, std::chrono::milliseconds timeLimit);
  // Waits for no program: those running are left to finish, and a change still
  // waiting behind one is dropped with a line on standard error.
  ~HookRunner();
  HookRunner(const HookRunner&) = delete;
  HookRunner& operator=(const HookRunner&) = delete;

  // Never blocks on a program: queues the request for the runner's thread.
  void Run(std::size_t rule, std::vector<std::string> argv, std::vector<std::string> env);

 private:
  struct Job {
    std::vector<std::string> argv;
    std::vector<std::string> env;
  };
  struct Slot {
    std::optional<Job> waiting;
    pid_t pid = 0;  // running; 0: none
    std::chrono::steady_clock::time_point started;
    bool killed = false;
    std::string program;
  };
  void Loop();
  void Start(Slot& slot, Job job);

  std::chrono::milliseconds timeLimit_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Slot> slots_;
  bool stopping_ = false;
  std::thread thread_;
};

// The relay port: eight relays in one byte at port 256 that may not read
// back. This process keeps its own copy, all off at the start, and writes the
// whole byte through the library whenever a bit it owns changes; bits no rule
// names stay off.
class RelayWriter {
 public:
  static constexpr std::uint32_t kPort = 256;
  // Whether this process may write the port: WEXLINK_GRANTED_PORTS covers it,
  // or the process holds CAP_SYS_RAWIO.
  static bool PortAccess();
  // The line printed at the start when rules name relays and PortAccess() is false.
  static std::string NoAccessNote();

  explicit RelayWriter(bool enabled) : enabled_(enabled) {}
  bool enabled() const { return enabled_; }
  std::uint8_t byte() const { return byte_; }
  // Sets the byte to `wanted`; writes it only when it changed. True if written.
  bool Apply(std::uint8_t wanted);

 private:
  bool enabled_;
  std::uint8_t byte_ = 0;
};

// The engine, the hook runner and the relay writer together, as the reader
// uses them.
class Alarms {
 public:
  // Throws std::invalid_argument for faulty rules. `relayAccess`: the result
  // of RelayWriter::PortAccess(), given by the caller so that tests may decide.
  Alarms(const AlarmRules& rules, const std::vector<std::string>& modules, bool relayAccess,
         std::chrono::milliseconds hookTimeLimit = std::chrono::seconds(60));

  // The line to print at the start, or empty: the rules name relays and this
  // process may not write the port.
  std::string StartNote() const;

  // Compare the limits with the channels' values in the run's unit and
  // calibrated (the config file's), rather than with plain degrees Celsius.
  void UseLayout(const RunLayout* layout) { layout_ = layout; }

  // Feeds the row (raw library values, `modules` x 8) to the engine, runs the
  // programs and sets the relays of the changes, and returns the changes.
  const std::vector<AlarmChange>& Feed(std::int64_t utcMs, const std::uint16_t* raw);

  // "wexread: alarm raised: oven_top high 80.5 > 80 (01:00 channel 0, 2026-...Z)\n"
  std::string LogLine(const AlarmChange& change) const;
  // {"t":...,"name":...,"module":...,"channel":...,"kind":...,"state":...,
  //  "value":...,"limit":...}
  std::string EventJson(const AlarmChange& change) const;
  // {"rules":[{name, module, channel, kind, limit, state, value?, since?}, ...],
  //  "changes":[the last 50 EventJson objects, oldest first]}
  std::string StateJson() const;
  // wexlink_alarm and wexlink_alarm_changes_total in the text exposition.
  void AppendExposition(std::string& out, unsigned port) const;

  const AlarmEngine& engine() const { return engine_; }
  std::uint8_t relayByte() const { return relays_.byte(); }

 private:
  AlarmEngine engine_;
  RelayWriter relays_;
  std::optional<HookRunner> hooks_;
  bool relaysNamed_ = false;
  std::vector<double> values_;
  const RunLayout* layout_ = nullptr;
  std::vector<std::uint8_t> up_;
  std::vector<std::optional<double>> shownValue_;  // per rule, at its last change
  std::vector<std::int64_t> sinceMs_;              // per rule, its last change
  std::deque<std::string> recent_;                 // EventJson of the last changes
};

}  // namespace wexread
