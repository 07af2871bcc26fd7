#include "model.h"

#include <gtest/gtest.h>

#include <set>

namespace w316sim {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int64_t kNow = 10'000'000;
constexpr int64_t kReplyMicros = 22916;  // 22 bytes at 9600 baud

class SimulatorTest : public ::testing::Test {
 protected:
  Simulator sim{{{1, 0}, {1, 1}}, 9600, 1};
  std::vector<Emission> out;

  std::vector<Emission> Ask(Address a, int64_t now = kNow) {
    const auto request = MakeRequest(a);
    out.clear();
    sim.Receive(request.data(), request.size(), now, out);
    return out;
  }
  CommandResult Do(const std::string& line, int64_t now = kNow) {
    std::vector<Emission> ignored;
    return sim.Execute(line, now, ignored);
  }
  static Bytes DefaultReply(int module, Address a) {
    ChannelValues v{};
    for (int j = 0; j < kChannels; ++j) v[j] = RawFromCelsius(DefaultCelsius(module, j));
    const auto r = MakeReply(a, v);
    return Bytes(r.begin(), r.end());
  }
  static uint16_t Value(const Bytes& reply, int channel) {
    return static_cast<uint16_t>(reply[5 + 2 * channel] | reply[6 + 2 * channel] << 8);
  }
};

TEST_F(SimulatorTest, AnswersItsModulesAfterTheTransmissionTime) {
  auto e = Ask({1, 1});
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].at, kNow + kReplyMicros);
  EXPECT_EQ(e[0].bytes, DefaultReply(1, {1, 1}));
  e = Ask({1, 0});
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].bytes, DefaultReply(0, {1, 0}));
  EXPECT_EQ(sim.stats().requests, 2u);
  EXPECT_EQ(sim.stats().replies, 2u);
}

TEST_F(SimulatorTest, IgnoresUnknownAddresses) {
  EXPECT_TRUE(Ask({1, 2}).empty());
  EXPECT_TRUE(Ask({2, 0}).empty());
  EXPECT_EQ(sim.stats().requests, 2u);
  EXPECT_EQ(sim.stats().unknown, 2u);
  EXPECT_EQ(sim.stats().replies, 0u);
}

TEST_F(SimulatorTest, RequestInPiecesAndAfterGarbage) {
  const Bytes stream = {0x13, 0x55, 0xAA, 0x03, 0x01, 0x01, 0x04, 0x55};
  sim.Receive(stream.data(), 5, kNow, out);
  EXPECT_TRUE(out.empty());
  sim.Receive(stream.data() + 5, 3, kNow + 1000, out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].at, kNow + 1000 + kReplyMicros);
  EXPECT_EQ(sim.stats().garbage, 2u);
}

TEST_F(SimulatorTest, ReplyTimeFollowsTheBaudRate) {
  Simulator slow({{1, 0}}, 1200, 1);
  const auto request = MakeRequest({1, 0});
  slow.Receive(request.data(), request.size(), 0, out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].at, 183333);
}

TEST_F(SimulatorTest, ChannelCommandsChangeTheReply) {
  EXPECT_TRUE(Do("raw 0.0 34001").ok);
  EXPECT_TRUE(Do("raw 0.1=0").ok);
  EXPECT_TRUE(Do("temp 0.2 -55").ok);
  EXPECT_TRUE(Do("temp 1 30.5").ok);  // all channels of module 1
  auto r = Ask({1, 0})[0].bytes;
  EXPECT_EQ(Value(r, 0), 34001);
  EXPECT_EQ(Value(r, 1), 0);
  EXPECT_EQ(Value(r, 2), 31120);
  EXPECT_EQ(Value(r, 3), RawFromCelsius(DefaultCelsius(0, 3)));
  r = Ask({1, 1})[0].bytes;
  for (int j = 0; j < kChannels; ++j) EXPECT_EQ(Value(r, j), 32488) << j;

  EXPECT_TRUE(Do("temp all.7 40").ok);
  EXPECT_EQ(Value(Ask({1, 0})[0].bytes, 7), 32640);
  EXPECT_EQ(Value(Ask({1, 1})[0].bytes, 7), 32640);
  EXPECT_TRUE(Do("temp all 21").ok);
  r = Ask({1, 0})[0].bytes;
  for (int j = 0; j < kChannels; ++j) EXPECT_EQ(Value(r, j), 32336) << j;
}

TEST_F(SimulatorTest, RampStartsWhenCommanded) {
  ASSERT_TRUE(Do("ramp 0.0 20:30:10", kNow).ok);
  EXPECT_EQ(Value(Ask({1, 0}, kNow)[0].bytes, 0), RawFromCelsius(20.0));
  EXPECT_EQ(Value(Ask({1, 0}, kNow + 5'000'000)[0].bytes, 0), RawFromCelsius(25.0));
  EXPECT_EQ(Value(Ask({1, 0}, kNow + 50'000'000)[0].bytes, 0), RawFromCelsius(30.0));
}

TEST_F(SimulatorTest, NoiseVariesBetweenReplies) {
  ASSERT_TRUE(Do("noise 0.0 25:2").ok);
  std::set<uint16_t> seen;
  for (int i = 0; i < 50; ++i) {
    const uint16_t v = Value(Ask({1, 0})[0].bytes, 0);
    EXPECT_GE(v, RawFromCelsius(23.0));
    EXPECT_LE(v, RawFromCelsius(27.0));
    seen.insert(v);
  }
  EXPECT_GT(seen.size(), 5u);
}

// What one request to module 0 puts on the line under each fault.
struct FaultCase {
  const char* name;
  const char* command;
  // Checks the emissions; `reply` is the normal reply.
  void (*check)(const std::vector<Emission>& e, const Bytes& reply);
};

class FaultTest : public SimulatorTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, ShapesTheAnswerAndNormalUndoesIt) {
  const Bytes reply = DefaultReply(0, {1, 0});
  const CommandResult r = Do(GetParam().command);
  ASSERT_TRUE(r.ok) << r.line;
  GetParam().check(Ask({1, 0}), reply);
  // Module 1 is not affected by a fault of module 0 (echo and stray are line-wide).
  const std::string command = GetParam().command;
  if (command.find(" 0") != std::string::npos) {
    const auto other = Ask({1, 1});
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(other[0].bytes, DefaultReply(1, {1, 1}));
  }
  ASSERT_TRUE(Do("normal").ok);
  const auto e = Ask({1, 0});
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].bytes, reply);
  EXPECT_EQ(e[0].at, kNow + kReplyMicros);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultTest,
    ::testing::Values(
        FaultCase{"Silent", "silent 0", [](const auto& e, const auto&) { EXPECT_TRUE(e.empty()); }},
        FaultCase{"Late", "late 0 600",
                  [](const auto& e, const auto& reply) {
                    ASSERT_EQ(e.size(), 1u);
                    EXPECT_EQ(e[0].at, kNow + 600'000 + kReplyMicros);
                    EXPECT_EQ(e[0].bytes, reply);
                  }},
        FaultCase{"Split", "split 0 300",
                  [](const auto& e, const auto& reply) {
                    ASSERT_EQ(e.size(), 2u);
                    EXPECT_EQ(e[0].bytes, Bytes(reply.begin(), reply.begin() + 11));
                    EXPECT_EQ(e[1].bytes, Bytes(reply.begin() + 11, reply.end()));
                    EXPECT_EQ(e[0].at, kNow + TransmitMicros(11, 9600));
                    EXPECT_EQ(e[1].at, kNow + 300'000 + kReplyMicros);
                  }},
        FaultCase{"SplitAtByte3", "split 0 50 3",
                  [](const auto& e, const auto& reply) {
                    ASSERT_EQ(e.size(), 2u);
                    EXPECT_EQ(e[0].bytes, Bytes(reply.begin(), reply.begin() + 3));
                    EXPECT_EQ(e[1].bytes.size(), 19u);
                  }},
        FaultCase{"Short", "length 0 21",
                  [](const auto& e, const auto&) {
                    ASSERT_EQ(e.size(), 1u);
                    EXPECT_EQ(e[0].bytes.size(), 21u);
                    EXPECT_EQ(e[0].bytes.back(), 0x55);
                  }},
        FaultCase{"Long", "length 0 23",
                  [](const auto& e, const auto&) {
                    ASSERT_EQ(e.size(), 1u);
                    EXPECT_EQ(e[0].bytes.size(), 23u);
                    EXPECT_EQ(e[0].at, kNow + TransmitMicros(23, 9600));
                  }},
        FaultCase{"CorruptFirst", "corrupt 0",
                  [](const auto& e, const auto& reply) {
                    ASSERT_EQ(e.size(), 1u);
                    EXPECT_EQ(e[0].bytes[0], kCorruptStart);
                    EXPECT_TRUE(std::equal(reply.begin() + 1, reply.end(), e[0].bytes.begin() + 1));
                  }},
        FaultCase{"CorruptLast", "corrupt 0 last",
                  [](const auto& e, const auto& reply) {
                    ASSERT_EQ(e.size(), 1u);
                    EXPECT_EQ(e[0].bytes[21], kCorruptEnd);
                    EXPECT_TRUE(std::equal(reply.begin(), reply.end() - 1, e[0].bytes.begin()));
                  }},
        FaultCase{"StrayWithEachReply", "stray reply 3",
                  [](const auto& e, const auto& reply) {
                    ASSERT_EQ(e.size(), 1u);
                    ASSERT_EQ(e[0].bytes.size(), 25u);
                    EXPECT_TRUE(std::equal(reply.begin(), reply.end(), e[0].bytes.begin() + 3));
                  }},
        FaultCase{"Echo", "echo on",
                  [](const auto& e, const auto& reply) {
                    ASSERT_EQ(e.size(), 2u);
                    EXPECT_EQ(e[0].at, kNow);
                    EXPECT_EQ(e[0].bytes, (Bytes{0xAA, 0x03, 0x01, 0x00, 0x04, 0x55}));
                    EXPECT_EQ(e[1].bytes, reply);
                  }},
        FaultCase{"AllModulesSilent", "silent all",
                  [](const auto& e, const auto&) { EXPECT_TRUE(e.empty()); }}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(SimulatorTest, AnswerEndsSilenceAndNormalOfOneModuleKeepsTheOthers) {
  ASSERT_TRUE(Do("silent all").ok);
  EXPECT_TRUE(Ask({1, 0}).empty());
  ASSERT_TRUE(Do("answer 0").ok);
  EXPECT_EQ(Ask({1, 0}).size(), 1u);
  EXPECT_TRUE(Ask({1, 1}).empty());
  ASSERT_TRUE(Do("late 0 100").ok);
  ASSERT_TRUE(Do("normal 0").ok);
  EXPECT_EQ(Ask({1, 0})[0].at, kNow + kReplyMicros);
  EXPECT_TRUE(Ask({1, 1}).empty());
  EXPECT_EQ(sim.modules()[1].requests, 2u);
  EXPECT_EQ(sim.modules()[1].replies, 0u);
}

TEST_F(SimulatorTest, StrayPutsRandomBytesOnTheLineAtOnce) {
  std::vector<Emission> e;
  const CommandResult r = sim.Execute("stray 5", kNow, e);
  EXPECT_EQ(r.line, "ok stray 5");
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].at, kNow);
  EXPECT_EQ(e[0].bytes.size(), 5u);
}

TEST_F(SimulatorTest, StatsCountsRequestsRepliesAndGarbage) {
  Ask({1, 0});
  Ask({1, 7});
  const Bytes junk = {0x01, 0x02};
  sim.Receive(junk.data(), junk.size(), kNow, out);
  EXPECT_EQ(Do("stats").line, "ok requests 2 replies 1 unknown 1 garbage 2");
  EXPECT_EQ(Do("show 0").line.rfind(
                "ok module 0 address 01:00 requests 1 replies 1 faults none channels 20C,", 0),
            0u)
      << Do("show 0").line;
}

TEST_F(SimulatorTest, EndingCommands) {
  EXPECT_EQ(Do("quit").action, Action::Quit);
  EXPECT_EQ(Do("hangup").action, Action::Hangup);
  EXPECT_EQ(Do("hangup").line, "ok hangup");
  EXPECT_EQ(Do("stats").action, Action::None);
}

TEST_F(SimulatorTest, BlankLinesAndCommentsGetNoAnswer) {
  EXPECT_TRUE(Do("").line.empty());
  EXPECT_TRUE(Do("   ").line.empty());
  EXPECT_TRUE(Do("# note").line.empty());
}

class BadCommand : public SimulatorTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(BadCommand, IsRefusedWithAnErrorLineAndChangesNothing) {
  const CommandResult r = Do(GetParam());
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.line.rfind("error: ", 0), 0u) << r.line;
  EXPECT_EQ(r.action, Action::None);
  const auto e = Ask({1, 0});
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].bytes, DefaultReply(0, {1, 0}));
  EXPECT_EQ(e[0].at, kNow + kReplyMicros);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BadCommand,
    ::testing::Values("bogus", "temp", "temp 0.0", "temp 2.0 20", "temp 0.8 20", "temp 0.0 abc",
                      "temp 0.0 inf", "temp x.0 20", "raw 0.0 65536", "raw 0.0 -1", "raw 0.0 1.5",
                      "ramp 0.0 20:30", "ramp 0.0 20:30:-1", "noise 0.0 25", "silent", "silent 2",
                      "silent -1", "late 0", "late 0 -5", "late 0 x", "split 0 100 0",
                      "split 0 100 64", "length 0 0", "length 0 65", "corrupt 0 middle", "stray 0",
                      "stray 5000", "stray reply -1", "echo maybe", "stats now", "quit now",
                      "show all", "show 9",
                      // Numbers are read strictly: no sign, no space, nothing after, in range.
                      "late 0 +5", "silent +0", "raw 0.0 +1", "raw 0.0 \v1", "raw +0.0 1",
                      "split 0 100 +4", "length 0 22x", "stray reply 0x10", "temp 0.0 +20",
                      "temp 0.0 1e3", "temp 0.0 2096", "temp 0.0 -2000.5", "temp 0.0 -",
                      "temp 0.0 1.2.3", "noise 0.0 25:-1", "ramp 0.0 20:30:1000001",
                      "ramp 0.0 20:30:10:5", "ramp 0.0 20::10"));

TEST_F(SimulatorTest, NumbersAtTheEdgesOfTheirRanges) {
  for (const char* line :
       {"temp 0.0 -2000", "temp 0.1 2095.9375", "temp 0.2 .5", "raw 0.3 65535", "late 0 600000",
        "noise 0.4 -12.5:0", "ramp 0.5 -5:5.:1000000", "length 1 64", "silent 01"})
    EXPECT_TRUE(Do(line).ok) << line;
  std::mt19937_64 rng(1);
  EXPECT_EQ(sim.modules()[0].channels[0].Sample(kNow, rng), 0);
  EXPECT_EQ(sim.modules()[0].channels[1].Sample(kNow, rng), 65535);
  EXPECT_EQ(sim.modules()[0].channels[2].Sample(kNow, rng), 32008);
  EXPECT_TRUE(sim.modules()[1].faults.silent);
}

}  // namespace
}  // namespace w316sim
