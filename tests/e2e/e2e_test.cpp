// The library's real serial port and timer against the module simulator.
//
// Timing: the first tick comes one period after the start, and a row holds the
// reply taken in at that tick to the request of the tick before, so the first
// row of a run is all zero. Where a test needs to know which tick a row came
// from it watches the newest row position rather than the clock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "sim_process.h"
#include "temperature.h"
#include "wexlink.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Row = std::vector<uint16_t>;
using w316sim_test::SimProcess;
using w316sim_test::TempDir;

const std::string kBinary = W316SIM_BINARY;

// The simulator's start-up reading of module k, channel j.
uint16_t DefaultRaw(int module, int channel) {
  return w316sim::RawFromCelsius(w316sim::DefaultCelsius(module, channel));
}

Row DefaultRow(int module) {
  Row row(8);
  for (int j = 0; j < 8; ++j) row[j] = DefaultRaw(module, j);
  return row;
}

Row Zeros(std::size_t n) { return Row(n, 0); }

Row Concat(Row a, const Row& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Snapshot {
  uint16_t passes = 0;
  std::vector<Row> rows;  // oldest first
  int32_t newestPosition = -1;
};

// GetSnapshot for `rows` rows of `channels` channels, taken apart.
Snapshot TakeSnapshot(uint32_t rows, std::size_t channels) {
  const std::size_t n = channels * rows;
  std::vector<uint8_t> record(2 * n + 6, 0xEE);
  int32_t reserved = 0;
  Snapshot s;
  if (GetSnapshot(record.data(), rows, &reserved) != 1) return s;
  std::memcpy(&s.passes, record.data(), 2);
  for (uint32_t r = 0; r < rows; ++r) {
    Row row(channels);
    std::memcpy(row.data(), record.data() + 2 + 2 * channels * r, 2 * channels);
    s.rows.push_back(row);
  }
  std::memcpy(&s.newestPosition, record.data() + 2 + 2 * n, 4);
  return s;
}

// Waits until the snapshot ring's newest row is at `position`.
bool WaitForRow(int32_t position, std::size_t channels, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (TakeSnapshot(1, channels).newestPosition == position) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class EndToEnd : public ::testing::Test {
 protected:
  TempDir dir;
  std::string link = dir.File("com1");
  SimProcess sim;

  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    // COM1 is the simulator's pty, by way of a link in this test's own directory.
    setenv("WEXLINK_COM1", link.c_str(), 1);
  }
  void TearDown() override {
    StopIntr();
    sim.Stop();
  }

  void StartSimulator(SimProcess& process, std::vector<std::string> args) {
    args.insert(args.end(), {"--link", link});
    ASSERT_EQ(process.Start(kBinary, args), "");
  }
};

// What Wexmon does: one module, a ring of 200 rows, a tick a second, and the
// last 10 rows read back once the ring holds some.
TEST_F(EndToEnd, WexmonCallSequence) {
  StartSimulator(sim, {"--raw", "0.0=34001", "--raw", "0.1=0", "--raw", "0.7=65535"});
  ASSERT_EQ(Initial(1, 5, 9600, 0), 1);
  const auto started = Clock::now();
  ASSERT_EQ(StartSnapshot(1, 200, 0, 8, -1000, 0, 0, 0), 3202);
  std::this_thread::sleep_until(started + 3500ms);

  std::array<uint16_t, 83> record{};
  int32_t scratch = 0;
  ASSERT_EQ(GetSnapshot(record.data(), 10, &scratch), 1);
  EXPECT_EQ(GetLastADError(), 0);
  Row expected = DefaultRow(0);
  expected[0] = 34001;
  expected[1] = 0;
  expected[7] = 65535;
  EXPECT_EQ(Row(record.begin() + 73, record.begin() + 81), expected) << "newest row";
  EXPECT_EQ(Row(record.begin() + 65, record.begin() + 73), expected) << "row before";
  EXPECT_EQ(Row(record.begin() + 57, record.begin() + 65), Zeros(8)) << "first row of the run";
  EXPECT_EQ(Row(record.begin() + 1, record.begin() + 57), Zeros(56)) << "ring not yet written";
  EXPECT_EQ(record[0], 0) << "no pass over the ring completed";
  int32_t position = -1;
  std::memcpy(&position, &record[81], 4);
  EXPECT_EQ(position, 2) << "three ticks in 3.5 s";
  EXPECT_EQ(StopIntr(), 1);
}

// Two modules at the addresses of the table: a row every second tick, the
// second module's values one cycle behind at the start.
TEST_F(EndToEnd, SixteenChannelsWithTheAddressTable) {
  StartSimulator(sim, {"--address", "02:07", "--address", "05:21"});
  const uint8_t table[] = {0x02, 0x07, 0x05, 0x21};
  ASSERT_EQ(IOCtl(4, table, 0, 0), 1);
  ASSERT_EQ(Initial(1, 5, 9600, 0), 1);
  const auto started = Clock::now();
  ASSERT_EQ(StartSnapshot(1, 20, 1, 16, -700, 0, 0, 0), 642);

  // Ticks at 0.7, 1.4, 2.1, 2.8 s: rows at the 2nd and the 4th. Looked at
  // half-way between ticks.
  const int32_t expectedPosition[] = {19, 0, 0, 1, 1};  // 19: no row yet (the ring's last)
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_until(started + std::chrono::milliseconds(1050 + 700 * i));
    EXPECT_EQ(TakeSnapshot(1, 16).newestPosition, expectedPosition[i]) << "after tick " << i + 1;
  }
  const Snapshot s = TakeSnapshot(2, 16);
  ASSERT_EQ(s.rows.size(), 2u);
  EXPECT_EQ(s.rows[0], Concat(DefaultRow(0), Zeros(8))) << "module 1 not yet answered";
  EXPECT_EQ(s.rows[1], Concat(DefaultRow(0), DefaultRow(1)));
  const std::string stats = sim.Command("stats");
  EXPECT_EQ(stats.rfind("ok requests ", 0), 0u) << stats;
  EXPECT_NE(stats.find(" unknown 0 "), std::string::npos)
      << "every request went to a table address: " << stats;
  EXPECT_EQ(StopIntr(), 1);
}

// A continuous run of 5-row buffers with notification through a pipe.
TEST_F(EndToEnd, ContinuousRunNotifiesThroughAPipe) {
  StartSimulator(sim, {"--raw", "0.3=31120"});
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  ASSERT_EQ(RegisterNotify(0, fds[1], 0x0401, 7, 9), 1);
  ASSERT_EQ(Initial(1, 5, 9600, 0), 1);
  const auto started = Clock::now();
  ASSERT_EQ(StartIntr(4, 5, 0, 8, -700, 0, 0), 82);
  EXPECT_EQ(QueryBuf(), 0u);
  std::vector<uint8_t> buffer(82, 0xEE);
  EXPECT_EQ(ADResult(buffer.data()), 0);
  EXPECT_EQ(GetLastADError(), WEXLINK_E_NO_BUFFER_READY);

  pollfd p{fds[0], POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 6000), 1) << "no notification";
  const auto elapsed = Clock::now() - started;
  EXPECT_GE(elapsed, 3400ms);  // the 5th row comes with the 5th tick, at 3.5 s
  EXPECT_LE(elapsed, 4300ms);
  uint32_t note[3] = {};
  ASSERT_EQ(read(fds[0], note, sizeof note), 12);
  EXPECT_EQ(note[0], 0x0401u);
  EXPECT_EQ(note[1], 7u);
  EXPECT_EQ(note[2], 9u);

  EXPECT_GE(QueryBuf(), 1u);
  ASSERT_EQ(ADResult(buffer.data()), 1);
  uint16_t values[41];
  std::memcpy(values, buffer.data(), sizeof values);
  EXPECT_EQ(values[0], 0) << "head word of the first buffer";
  Row expected = DefaultRow(0);
  expected[3] = 31120;
  EXPECT_EQ(Row(values + 1, values + 9), Zeros(8)) << "first row of the run";
  for (int r = 1; r < 5; ++r)
    EXPECT_EQ(Row(values + 1 + 8 * r, values + 9 + 8 * r), expected) << "row " << r;
  EXPECT_EQ(QueryBuf(), 0u);
  EXPECT_EQ(poll(&p, 1, 0), 0) << "one notification per buffer";
  EXPECT_EQ(StopIntr(), 1);
  close(fds[0]);
  close(fds[1]);
}

// Miss threshold 5: the values survive four missed replies and are zero from
// the fifth; the first good reply brings them back.
TEST_F(EndToEnd, SilentModuleIsBlankedAtTheThresholdAndComesBack) {
  StartSimulator(sim, {"--raw", "0.0=34001"});
  ASSERT_EQ(Initial(1, 5, 9600, 0), 1);
  ASSERT_EQ(StartSnapshot(1, 50, 0, 8, -700, 0, 0, 0), 802);
  Row values = DefaultRow(0);
  values[0] = 34001;

  // Row 1 is stored at tick 2, after that tick's request went out: the reply to
  // it is the last one. Ticks 3 (takes it in), 4 to 7 (misses 1 to 4), 8 (miss 5).
  ASSERT_TRUE(WaitForRow(1, 8, 3s));
  ASSERT_EQ(sim.Command("silent 0"), "ok silent 0");
  ASSERT_TRUE(WaitForRow(7, 8, 6s));
  Snapshot s = TakeSnapshot(8, 8);
  EXPECT_EQ(s.rows[0], Zeros(8));
  for (int r = 1; r <= 6; ++r) EXPECT_EQ(s.rows[r], values) << "row " << r;
  EXPECT_EQ(s.rows[7], Zeros(8)) << "fifth missed reply";

  ASSERT_EQ(sim.Command("raw 0.0 33333"), "ok raw 0.0 raw 33333");
  ASSERT_EQ(sim.Command("answer 0"), "ok answer 0");
  ASSERT_TRUE(WaitForRow(9, 8, 3s));
  s = TakeSnapshot(10, 8);
  EXPECT_EQ(s.rows[8], Zeros(8)) << "tick 9 still finds tick 8's request unanswered";
  values[0] = 33333;
  EXPECT_EQ(s.rows[9], values);
  EXPECT_EQ(StopIntr(), 1);
}

// The line hangs up under a run: the library keeps ticking quietly, stops
// promptly, and a new simulator on the same path serves a new run.
TEST_F(EndToEnd, HangupDuringARun) {
  StartSimulator(sim, {});
  ASSERT_EQ(Initial(1, 5, 9600, 0), 1);
  ASSERT_EQ(StartSnapshot(1, 50, 0, 8, -700, 0, 0, 0), 802);
  ASSERT_TRUE(WaitForRow(1, 8, 3s));
  ASSERT_EQ(TakeSnapshot(1, 8).rows[0], DefaultRow(0));

  ASSERT_EQ(sim.Command("hangup"), "ok hangup");
  ASSERT_EQ(sim.WaitExit(3s), 0);
  const double cpuBefore = CpuSeconds();
  std::this_thread::sleep_for(2s);
  const double cpu = CpuSeconds() - cpuBefore;
  EXPECT_LT(cpu, 0.2) << "CPU seconds used in 2 s with the line hung up";
  EXPECT_GE(TakeSnapshot(1, 8).newestPosition, 3) << "ticks go on";

  const auto stopping = Clock::now();
  EXPECT_EQ(StopIntr(), 1);
  const auto stopTime = Clock::now() - stopping;
  EXPECT_LT(stopTime, 500ms);
  std::printf("hung-up line: %.3f CPU s in 2 s; StopIntr took %.1f ms\n", cpu,
              std::chrono::duration<double, std::milli>(stopTime).count());

  SimProcess second;
  StartSimulator(second, {"--raw", "0.0=33000"});
  ASSERT_EQ(StartSnapshot(1, 50, 0, 8, -700, 0, 0, 0), 802);
  ASSERT_TRUE(WaitForRow(1, 8, 3s));
  Row expected = DefaultRow(0);
  expected[0] = 33000;
  EXPECT_EQ(TakeSnapshot(1, 8).rows[0], expected);
  EXPECT_EQ(StopIntr(), 1);
  second.Stop();
}

// After StopIntr nothing more goes out on the line.
TEST_F(EndToEnd, NoRequestAfterStop) {
  StartSimulator(sim, {});
  ASSERT_EQ(Initial(1, 5, 9600, 0), 1);
  ASSERT_EQ(StartSnapshot(1, 50, 0, 8, -700, 0, 0, 0), 802);
  ASSERT_TRUE(WaitForRow(1, 8, 3s));
  ASSERT_EQ(StopIntr(), 1);
  const long long before = sim.Requests();
  EXPECT_GE(before, 2);
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(sim.Requests(), before);
  // The stopped run's ring stays readable.
  EXPECT_EQ(TakeSnapshot(1, 8).rows[0], DefaultRow(0));
}

// Each line fault makes every reply a miss (threshold 1: zeros at once); once
// the line is normal again the values come back.
struct LineFault {
  const char* name;
  const char* command;
};

class FaultyLine : public EndToEnd, public ::testing::WithParamInterface<LineFault> {};

TEST_P(FaultyLine, RepliesAreMissedUntilTheLineIsNormal) {
  StartSimulator(sim, {});
  const std::string answer = sim.Command(GetParam().command);
  ASSERT_EQ(answer.rfind("ok", 0), 0u) << answer;
  ASSERT_EQ(Initial(1, 1, 9600, 0), 1);
  ASSERT_EQ(StartSnapshot(1, 50, 0, 8, -700, 0, 0, 0), 802);
  ASSERT_TRUE(WaitForRow(2, 8, 3s));
  const Snapshot s = TakeSnapshot(3, 8);
  for (int r = 0; r < 3; ++r) EXPECT_EQ(s.rows[r], Zeros(8)) << "row " << r;
  const std::string stats = sim.Command("stats");
  EXPECT_EQ(stats.find("replies 0 "), std::string::npos) << "the simulator did answer: " << stats;

  ASSERT_EQ(sim.Command("normal"), "ok normal all, echo off, stray reply 0");
  // Replies already on their way may spoil one more read.
  const auto deadline = Clock::now() + 3s;
  bool back = false;
  while (!back && Clock::now() < deadline) {
    back = TakeSnapshot(1, 8).rows[0] == DefaultRow(0);
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(back) << "values did not come back";
  EXPECT_EQ(StopIntr(), 1);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultyLine,
                         ::testing::Values(LineFault{"Echo", "echo on"},
                                           LineFault{"Short", "length 0 21"},
                                           LineFault{"Long", "length 0 23"},
                                           LineFault{"WrongFirstByte", "corrupt 0 first"},
                                           LineFault{"WrongLastByte", "corrupt 0 last"},
                                           LineFault{"StrayBytes", "stray reply 3"}),
                         [](const auto& test) { return std::string(test.param.name); });

// A reply that comes in two pieces within one period is taken in whole.
TEST_F(EndToEnd, ReplyInPiecesWithinAPeriodIsTaken) {
  StartSimulator(sim, {"--split", "0=300"});
  ASSERT_EQ(Initial(1, 1, 9600, 0), 1);
  ASSERT_EQ(StartSnapshot(1, 50, 0, 8, -700, 0, 0, 0), 802);
  ASSERT_TRUE(WaitForRow(2, 8, 3s));
  const Snapshot s = TakeSnapshot(3, 8);
  EXPECT_EQ(s.rows[0], Zeros(8));
  EXPECT_EQ(s.rows[1], DefaultRow(0));
  EXPECT_EQ(s.rows[2], DefaultRow(0));
  EXPECT_EQ(StopIntr(), 1);
}

// outportb on the relay port reaches the I/O-space file that the simulator watches.
TEST_F(EndToEnd, RelayPortWritesReachTheSimulator) {
  const std::string io = dir.File("iospace");
  // Chosen once, at the first port access of the process.
  setenv("WEXLINK_IOSPACE", io.c_str(), 1);
  StartSimulator(sim, {"--iospace", io});
  outportb(256, 0x05);
  auto line = sim.WaitForLine("RELAYS 0x05", 2s);
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(*line, "RELAYS 0x05 1=closed 2=open 3=closed 4=open 5=open 6=open 7=open 8=open");
  outportb(256, 0x80);
  line = sim.WaitForLine("RELAYS 0x80", 2s);
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(*line, "RELAYS 0x80 1=open 2=open 3=open 4=open 5=open 6=open 7=open 8=closed");
  EXPECT_EQ(inportb(256), 0x80u);
}

}  // namespace
