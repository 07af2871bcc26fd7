// The alarm engine on rows made here: what the end-to-end run does not reach
// (low limits, a reading that goes missing while raised or pending, a module
// that never answered, faulty rules).
#include "alarms.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace wexread {
namespace {

struct Rows {
  AlarmEngine engine;
  std::vector<double> values = std::vector<double>(8, 20.0);
  std::vector<std::uint8_t> up = {1};
  std::int64_t t = 0;

  // The states after one row at t (then t moves on by a second).
  std::vector<const char*> Row(double channel0, bool answering = true) {
    values[0] = channel0;
    up[0] = answering ? 1 : 0;
    engine.Feed(t, values, up);
    t += 1000;
    std::vector<const char*> states;
    for (std::size_t i = 0; i < engine.rules().size(); ++i)
      states.push_back(StateName(engine.state(i)));
    return states;
  }
};

TEST(AlarmEngine, LowLimitDelayHysteresisAndMissingReadings) {
  AlarmRules rules;
  ChannelAlarm low;
  low.module = "01:00";
  low.low = 5.0;
  low.hysteresis = 1.0;
  low.delayS = 2;
  rules.channels.push_back(low);
  rules.modules.push_back({"01:00", "", 3.0, std::nullopt, {}});
  Rows r{AlarmEngine(rules, {"01:00"})};
  using V = std::vector<const char*>;

  EXPECT_EQ(r.Row(4.0), (V{"ok", "ok"}));  // below: the delay starts (t = 0)
  EXPECT_EQ(r.Row(NAN), (V{"ok", "ok"}));  // no reading: the delay starts again
  EXPECT_EQ(r.Row(4.0), (V{"ok", "ok"}));  // t = 2 s, below since 2 s
  EXPECT_EQ(r.Row(4.0), (V{"ok", "ok"}));
  EXPECT_EQ(r.Row(4.0), (V{"raised", "ok"}));  // held 2 s
  EXPECT_EQ(r.Row(NAN), (V{"raised", "ok"}));  // no reading clears nothing
  EXPECT_EQ(r.Row(5.5), (V{"raised", "ok"}));  // inside the band
  EXPECT_EQ(r.Row(6.0), (V{"raised", "ok"}));  // at low + hysteresis: not above it
  EXPECT_EQ(r.Row(6.0625), (V{"cleared", "ok"}));
  EXPECT_EQ(r.engine.changes(), 2u);

  // Silent: the module alarm counts from its last answer; the channel's stays.
  EXPECT_EQ(r.Row(4.0, false), (V{"cleared", "ok"}));
  EXPECT_EQ(r.Row(4.0, false), (V{"cleared", "ok"}));
  EXPECT_EQ(r.Row(4.0, false), (V{"cleared", "raised"}));  // 3 s after the last answer
  EXPECT_EQ(r.Row(6.0, true), (V{"cleared", "cleared"}));
}

TEST(AlarmEngine, ModuleThatNeverAnsweredAndFaultyRules) {
  AlarmRules rules;
  rules.modules.push_back({"01:01", "kiln", 2.0, 4u, {}});
  Rows r{AlarmEngine(rules, {"01:00", "01:01"})};
  r.up = {1, 0};
  r.values.resize(16, NAN);
  EXPECT_TRUE(r.engine.Feed(0, r.values, r.up).empty());
  EXPECT_TRUE(r.engine.Feed(1000, r.values, r.up).empty());
  const auto& changes = r.engine.Feed(2000, r.values, r.up);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].value, 2.0);
  EXPECT_EQ(r.engine.rules()[0].name, "kiln");

  auto error = [](auto change) {
    AlarmRules bad;
    ChannelAlarm c;
    c.module = "01:00";
    c.high = 80;
    change(c);
    bad.channels.push_back(c);
    return AlarmRulesError(bad, {"01:00"}).value_or("");
  };
  EXPECT_EQ(error([](ChannelAlarm&) {}), "");
  EXPECT_NE(error([](ChannelAlarm& c) { c.module = "01:02"; }).find("not read"), std::string::npos);
  EXPECT_NE(error([](ChannelAlarm& c) { c.low = 80; }).find("below high"), std::string::npos);
  EXPECT_NE(error([](ChannelAlarm& c) { c.relay = 9; }).find("relay"), std::string::npos);
  EXPECT_NE(error([](ChannelAlarm& c) { c.hysteresis = -1; }).find("hysteresis"),
            std::string::npos);
  EXPECT_NE(error([](ChannelAlarm& c) { c.high.reset(); }).find("neither"), std::string::npos);
}

}  // namespace
}  // namespace wexread
