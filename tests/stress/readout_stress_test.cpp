// Read-out while a timer thread stores rows as fast as it can. The modules
// answer every request with their reply count in all eight channels, so every
// row says which poll cycle it came from: a record or buffer that mixes rows of
// different moments, tears a row, repeats or loses one shows up as a break in
// the counts. The timer ticks far faster than any real run would (a run's
// period is at least 700 ms), which compresses a long run, and any unlucky
// timing of the caller's thread, into a second.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/driver.h"
#include "stress_support.h"

namespace wexlink::stress {
namespace {

using namespace std::chrono_literals;

// Each test reads for at least this long and until the timer has ticked this
// often (on a loaded machine the timer thread gets fewer turns), within a limit.
constexpr auto kMinDuration = 1000ms;
constexpr uint64_t kMinTicks = 5000;
constexpr auto kMaxDuration = 10s;
// Fewer ticks than this within the limit and the test has not shown enough.
// A 2-core machine with four CPU hogs and three other tests running gave the
// timer thread 3,300 to 4,200 ticks in the 10 s (idle: over 500,000 in 1 s).
constexpr uint64_t kLeastTicks = 2000;
// Reply counts stay below 16 bits within one run: the run is restarted before.
constexpr uint64_t kTicksPerRun = 50000;

struct Harness {
  bool KeepGoing() const {
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    if (elapsed > kMaxDuration) return false;
    return elapsed < kMinDuration || timer.ticks.load() < kMinTicks;
  }
  const std::chrono::steady_clock::time_point begin = std::chrono::steady_clock::now();

  ModuleLine line;
  ThreadTimer inner{0us};  // back to back, yielding between ticks
  WatchedTimer timer{inner, 1};
  QuietPoster poster;
  NoIoPorts ports;
  Driver driver{Platform{line, timer, poster, ports}};
};

// Checks one module's counts over consecutive rows: zeros (not yet answered),
// then counts rising by exactly one per row.
::testing::AssertionResult RowsFollowOn(const std::vector<uint16_t>& counts) {
  std::size_t i = 0;
  while (i < counts.size() && counts[i] == 0) ++i;
  for (++i; i < counts.size(); ++i) {
    if (counts[i] != static_cast<uint16_t>(counts[i - 1] + 1)) {
      return ::testing::AssertionFailure() << "row " << i << " holds " << counts[i] << " after " << counts[i - 1];
    }
  }
  return ::testing::AssertionSuccess();
}

// Splits rows of `modules` modules into per-module counts, checking that each
// module's eight channels agree (a row stored while it was read would not).
::testing::AssertionResult SplitRows(const uint16_t* values, uint32_t rows, uint32_t modules,
                                     std::vector<std::vector<uint16_t>>& counts) {
  counts.assign(modules, {});
  for (uint32_t r = 0; r < rows; ++r) {
    for (uint32_t m = 0; m < modules; ++m) {
      const uint16_t* channel = values + (r * modules + m) * 8;
      for (int j = 1; j < 8; ++j) {
        if (channel[j] != channel[0]) {
          return ::testing::AssertionFailure() << "torn row " << r << " module " << m << ": " << channel[0]
                                               << " and " << channel[j];
        }
      }
      counts[m].push_back(channel[0]);
    }
  }
  return ::testing::AssertionSuccess();
}

struct SnapshotCase {
  uint32_t modules;
  uint32_t ringRows;
  uint32_t recordRows;
};

class SnapshotUnderFastTicks : public ::testing::TestWithParam<SnapshotCase> {};

TEST_P(SnapshotUnderFastTicks, RecordsAreWholeAndInOrder) {
  const auto [modules, ringRows, recordRows] = GetParam();
  Harness h;
  ASSERT_EQ(h.driver.Initial(1, 127, 9600), 1);
  std::vector<uint16_t> record(modules * 8 * recordRows + 3);
  std::vector<std::vector<uint16_t>> counts;
  uint64_t records = 0, runs = 0;
  while (h.KeepGoing()) {
    h.timer.stopped.store(false);
    ASSERT_GT(h.driver.StartSnapshot(ringRows, 0, modules * 8, -1000), 0);
    ++runs;
    const uint64_t firstTick = h.timer.ticks.load();
    uint16_t lastPasses = 0;
    while (h.timer.ticks.load() - firstTick < kTicksPerRun && h.KeepGoing()) {
      std::this_thread::yield();  // gives the timer thread its turns on a busy machine
      ASSERT_EQ(h.driver.GetSnapshot(record.data(), recordRows), 1);
      ++records;
      uint16_t passes = 0;
      int32_t newest = 0;
      std::memcpy(&passes, record.data(), 2);
      std::memcpy(&newest, reinterpret_cast<const uint8_t*>(record.data()) + 2 + 16 * modules * recordRows, 4);
      ASSERT_GE(newest, 0);
      ASSERT_LT(static_cast<uint32_t>(newest), ringRows);
      ASSERT_GE(passes, lastPasses) << "the pass count went back";
      lastPasses = passes;
      ASSERT_TRUE(SplitRows(record.data() + 1, recordRows, modules, counts)) << "record " << records;
      for (uint32_t m = 0; m < modules; ++m) ASSERT_TRUE(RowsFollowOn(counts[m])) << "module " << m;
      if (modules == 1 && recordRows > 0) {
        // Row n of the run holds count n and lies at ring row n % ringRows,
        // in pass n / ringRows; the record's fields must agree with its rows.
        const uint16_t n = counts[0].back();
        if (n != 0) {
          ASSERT_EQ(n % ringRows, static_cast<uint32_t>(newest)) << "row position of row " << n;
          ASSERT_EQ((n + 1u) / ringRows, passes) << "pass count of row " << n;
        }
      }
    }
    ASSERT_EQ(h.driver.StopIntr(), 1);
    h.timer.stopped.store(true);
  }
  EXPECT_EQ(h.timer.lateTicks.load(), 0u);
  EXPECT_EQ(h.line.usedWhileClosed.load(), 0u);
  std::printf("%u module(s), ring %u rows, records of %u rows: %llu records over %llu ticks in %llu runs\n",
              modules, ringRows, recordRows, static_cast<unsigned long long>(records),
              static_cast<unsigned long long>(h.timer.ticks.load()), static_cast<unsigned long long>(runs));
  EXPECT_GT(records, 1000u);
  EXPECT_GE(h.timer.ticks.load(), kLeastTicks);
}

INSTANTIATE_TEST_SUITE_P(Shapes, SnapshotUnderFastTicks,
                         ::testing::Values(SnapshotCase{1, 5, 5}, SnapshotCase{1, 5, 4}, SnapshotCase{1, 200, 10},
                                           SnapshotCase{2, 6, 6}, SnapshotCase{32, 5, 5}),
                         [](const auto& shape) {
                           return std::to_string(shape.param.modules) + "modules_ring" +
                                  std::to_string(shape.param.ringRows) + "_record" +
                                  std::to_string(shape.param.recordRows);
                         });

// The timer thread held up at random moments, now and then in the middle of
// storing a row, for longer than a read-out takes, as the scheduler may do to
// it on a busy machine: a signal handler on that thread sleeps for 0.3 ms. A
// record of the whole ring includes the row that the writer stores next, so it
// must wait for (or retry after) a row stored meanwhile, never hand out half of
// one.
void HoldUp(int) {
  timespec pause{0, 300'000};
  nanosleep(&pause, nullptr);
}

TEST(SnapshotUnderHeldUpWriter, WholeRingRecordsAreNeverTorn) {
  struct sigaction hold {}, previous{};
  hold.sa_handler = HoldUp;
  hold.sa_flags = SA_RESTART;
  sigemptyset(&hold.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &hold, &previous), 0);

  constexpr uint32_t kModules = 32;  // the longest row, the widest window
  constexpr uint32_t kRingRows = 5;
  Harness h;
  ASSERT_EQ(h.driver.Initial(1, 127, 9600), 1);
  h.timer.stopped.store(false);
  ASSERT_GT(h.driver.StartSnapshot(kRingRows, 0, kModules * 8, -1000), 0);
  ASSERT_TRUE(WaitFor([&] { return h.timer.tickThread.load() != 0; }));

  std::atomic<bool> done{false};
  std::atomic<uint64_t> holdUps{0};
  // Holds the writer up at random moments, some of them in the middle of a row.
  std::thread interrupter([&] {
    std::mt19937 random(11);
    while (!done.load()) {
      std::this_thread::sleep_for(std::chrono::microseconds(300 + random() % 700));
      pthread_kill(h.timer.tickThread.load(), SIGUSR1);
      holdUps.fetch_add(1);
    }
  });

  std::vector<uint16_t> record(kModules * 8 * kRingRows + 3);
  std::vector<std::vector<uint16_t>> counts;
  uint64_t records = 0;
  ::testing::AssertionResult whole = ::testing::AssertionSuccess();
  const auto end = std::chrono::steady_clock::now() + 1500ms;
  while (std::chrono::steady_clock::now() < end && whole) {
    if (h.driver.GetSnapshot(record.data(), kRingRows) != 1) break;
    ++records;
    whole = SplitRows(record.data() + 1, kRingRows, kModules, counts);
    for (uint32_t m = 0; m < kModules && whole; ++m) whole = RowsFollowOn(counts[m]);
  }
  done.store(true);
  interrupter.join();  // before the stop: the tick thread must still exist
  ASSERT_EQ(h.driver.StopIntr(), 1);
  h.timer.stopped.store(true);
  sigaction(SIGUSR1, &previous, nullptr);

  std::printf("held-up writer: %llu records, %llu hold-ups, %llu ticks\n", static_cast<unsigned long long>(records),
              static_cast<unsigned long long>(holdUps.load()), static_cast<unsigned long long>(h.timer.ticks.load()));
  EXPECT_TRUE(whole) << "record " << records;
  EXPECT_GT(records, 100u);
}

// Continuous runs: buffers taken with ADResult and ADResultRecent while the
// ring fills and overflows. Each buffer holds consecutive rows; head words only
// move forward; QueryBuf never exceeds the ring.
TEST(ContinuousUnderFastTicks, BuffersAreWholeAndMoveForward) {
  Harness h;
  ASSERT_EQ(h.driver.Initial(1, 127, 9600), 1);
  constexpr uint32_t kRows = 5;
  constexpr uint16_t kBuffers = 3;
  std::mt19937 random(7);
  std::vector<std::vector<uint16_t>> counts;
  uint64_t taken = 0, runs = 0;
  while (h.KeepGoing()) {
    const auto modules = static_cast<uint32_t>(1 + random() % 2);
    h.timer.stopped.store(false);
    const int32_t bytes = h.driver.StartIntr(kBuffers, kRows, 0, modules * 8, -1000);
    ASSERT_EQ(bytes, static_cast<int32_t>(2 * modules * 8 * kRows + 2));
    ++runs;
    std::vector<uint16_t> buffer(static_cast<std::size_t>(bytes) / 2);
    int lastHead = -1;
    const uint64_t firstTick = h.timer.ticks.load();
    while (h.timer.ticks.load() - firstTick < kTicksPerRun / 4 && h.KeepGoing()) {
      std::this_thread::yield();
      ASSERT_LE(h.driver.QueryBuf(), kBuffers);
      const bool recent = random() % 3 == 0;
      if ((recent ? h.driver.ADResultRecent(buffer.data()) : h.driver.ADResult(buffer.data())) != 1) {
        ASSERT_EQ(h.driver.GetLastADError(), WEXLINK_E_NO_BUFFER_READY);
        continue;
      }
      ++taken;
      if (lastHead >= 0) {
        const auto step = static_cast<uint16_t>(buffer[0] - lastHead);
        ASSERT_GE(step, 1) << "a buffer handed out twice";
        ASSERT_LT(step, 0x8000) << "an older buffer after a newer one";
      }
      lastHead = buffer[0];
      ASSERT_TRUE(SplitRows(buffer.data() + 1, kRows, modules, counts)) << "buffer " << taken;
      for (uint32_t m = 0; m < modules; ++m) ASSERT_TRUE(RowsFollowOn(counts[m])) << "module " << m;
    }
    ASSERT_EQ(h.driver.StopIntr(), 1);
    h.timer.stopped.store(true);
  }
  EXPECT_EQ(h.timer.lateTicks.load(), 0u);
  EXPECT_EQ(h.line.usedWhileClosed.load(), 0u);
  std::printf("continuous: %llu buffers taken over %llu ticks in %llu runs\n", static_cast<unsigned long long>(taken),
              static_cast<unsigned long long>(h.timer.ticks.load()), static_cast<unsigned long long>(runs));
  EXPECT_GE(h.timer.ticks.load(), kLeastTicks);
  EXPECT_GT(taken, 100u);
}

}  // namespace
}  // namespace wexlink::stress
