// Read-out: counting and taking continuous buffers, and snapshot records.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "driver_fixture.h"

namespace wexlink::testing {
namespace {

using ReadoutTest = DriverTest;

TEST_F(ReadoutTest, RefusalsBeforeInitialAndForTheWrongKindOfBuffers) {
  uint8_t buffer[4096];
  EXPECT_EQ(driver_.QueryBuf(), 0u);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NOT_INITIALIZED);
  EXPECT_EQ(driver_.ADResult(buffer), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NOT_INITIALIZED);
  EXPECT_EQ(driver_.ADResultRecent(buffer), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NOT_INITIALIZED);
  EXPECT_EQ(driver_.GetSnapshot(buffer, 1), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NOT_INITIALIZED);

  StartSnapshotRun(10, 8);
  EXPECT_EQ(driver_.QueryBuf(), 0u);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NO_CONTINUOUS);
  EXPECT_EQ(driver_.ADResult(buffer), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NO_CONTINUOUS);
  EXPECT_EQ(driver_.ADResultRecent(buffer), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NO_CONTINUOUS);
  ASSERT_EQ(driver_.StopIntr(), 1);
  ASSERT_GT(driver_.StartIntr(2, 5, 0, 8, -1000), 0);
  EXPECT_EQ(driver_.GetSnapshot(buffer, 1), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NO_SNAPSHOT);
}

TEST_F(ReadoutTest, NothingWaitingRightAfterTheStart) {
  StartContinuousRun(4, 5, 8);
  uint8_t buffer[128];
  EXPECT_EQ(driver_.QueryBuf(), 0u);
  EXPECT_EQ(driver_.GetLastADError(), 0);
  EXPECT_EQ(driver_.ADResult(buffer), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NO_BUFFER_READY);
  EXPECT_EQ(driver_.ADResultRecent(buffer), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NO_BUFFER_READY);
}

TEST_F(ReadoutTest, QueryBufCountsUpToAFullRing) {
  StartContinuousRun(4, 5, 8);
  for (uint32_t done = 1; done <= 3; ++done) {
    Tick(5);
    EXPECT_EQ(driver_.QueryBuf(), done);
  }
  Tick(5);
  EXPECT_EQ(driver_.QueryBuf(), 4u);
  const auto oldest = TakeBuffer();
  ASSERT_FALSE(oldest.empty());
  EXPECT_EQ(oldest[0], 0);
  EXPECT_EQ(driver_.QueryBuf(), 3u);
  // The freed buffer is written again next.
  Tick(5);
  EXPECT_EQ(driver_.QueryBuf(), 4u);
  EXPECT_EQ(TakeBuffer()[0], 1);
}

TEST_F(ReadoutTest, RecentTakesTheNewestAndDiscardsTheRest) {
  StartContinuousRun(4, 5, 8);
  Tick(5 * 4);  // 4 buffers complete: WriteIndex back at 0 and the ring full
  ASSERT_EQ(driver_.Continuous().WriteIndex(), 0);
  ASSERT_EQ(driver_.QueryBuf(), 4u);
  // On a full ring the buffer at WriteIndex is taken: the oldest, head word 0.
  auto buffer = TakeBuffer(/*recent=*/true);
  ASSERT_FALSE(buffer.empty());
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(driver_.QueryBuf(), 0u);
  Tick(5 * 3);  // buffers 0, 1, 2 complete; WriteIndex 3
  buffer = TakeBuffer(true);
  EXPECT_EQ(buffer[0], 6);
  EXPECT_EQ(driver_.QueryBuf(), 0u);
  Tick(5);  // buffer 3 completes; WriteIndex wraps to 0
  ASSERT_EQ(driver_.Continuous().WriteIndex(), 0);
  buffer = TakeBuffer(true);
  EXPECT_EQ(buffer[0], 7) << "with WriteIndex 0 the buffer before it is the last one";
}

TEST_F(ReadoutTest, StoppedContinuousRunHandsOutTheRemainingBuffers) {
  StartContinuousRun(4, 5, 8);
  Tick(5 * 3);
  ASSERT_EQ(driver_.StopIntr(), 1);
  EXPECT_EQ(TakeBuffer()[0], 0);
  EXPECT_EQ(TakeBuffer()[0], 1);
  EXPECT_EQ(TakeBuffer()[0], 2);
  EXPECT_TRUE(TakeBuffer().empty());
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NO_BUFFER_READY);
}

TEST_F(ReadoutTest, SnapshotBeforeAnyRowIsTheZeroRing) {
  StartSnapshotRun(20, 8);
  const auto record = Snapshot(10);
  EXPECT_EQ(record[0], 0);
  EXPECT_EQ(std::count(record.begin() + 1, record.end(), 0), 80);
  EXPECT_EQ(lastRowPosition_, 19);
}

TEST_F(ReadoutTest, SnapshotOfTenRowsAfterThree) {
  StartSnapshotRun(20, 8);
  AnswerModule(0, 1000);
  Tick(3);
  const auto record = Snapshot(10);
  for (int i = 1; i <= 56; ++i) ASSERT_EQ(record[i], 0) << i;  // the end of the ring: zeros
  for (int j = 0; j < 8; ++j) {
    EXPECT_EQ(record[57 + j], 0) << "row 0 of the run holds zeros";
    EXPECT_EQ(record[65 + j], 1000 + j);
    EXPECT_EQ(record[73 + j], 1000 + j);
  }
  EXPECT_EQ(lastRowPosition_, 2);
}

TEST_F(ReadoutTest, WholeRingInTimeOrderAndLimits) {
  StartSnapshotRun(5, 8);
  uint16_t base = 100;
  auto next = [&] {
    AnswerModule(0, base);
    base = static_cast<uint16_t>(base + 100);
    Tick();
  };
  // Rows 0 and 1 hold zeros (nothing asked, then the first reply still in
  // flight); row t carries the reply to the request of tick t - 1.
  Tick();
  for (int i = 0; i < 6; ++i) next();  // 7 rows: the ring has wrapped once
  auto record = Snapshot(5);
  EXPECT_EQ(record[0], 1);
  // Oldest to newest: rows 2 to 6, with bases 100 to 500.
  for (int r = 0; r < 5; ++r) EXPECT_EQ(record[1 + 8 * r], 100 * (r + 1)) << r;
  EXPECT_EQ(lastRowPosition_, 1);

  uint8_t raw[2 * 48 + 6 + 8];
  std::memset(raw, 0xEE, sizeof raw);
  EXPECT_EQ(driver_.GetSnapshot(raw, 6), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_SNAPSHOT_ROWS);
  EXPECT_EQ(raw[0], 0xEE);
  EXPECT_EQ(driver_.GetSnapshot(raw, 0xFFFFFFFFu), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_SNAPSHOT_ROWS);

  // Zero rows: only the two fixed fields.
  EXPECT_EQ(driver_.GetSnapshot(raw, 0), 1);
  EXPECT_EQ(raw[6], 0xEE);
  EXPECT_EQ(raw[0], 1);
}

TEST_F(ReadoutTest, AfterExactlyOnePassTheRecordEndsWithTheLastRow) {
  StartSnapshotRun(5, 8);
  AnswerModule(0, 5);
  Tick(5);
  const auto record = Snapshot(2);
  EXPECT_EQ(record[0], 1);
  EXPECT_EQ(record[9], 5);
  EXPECT_EQ(lastRowPosition_, 4);
}

TEST_F(ReadoutTest, NullDestinationIsRefusedAfterTheOtherChecks) {
  StartContinuousRun(2, 5, 8);
  EXPECT_EQ(driver_.ADResult(nullptr), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NO_BUFFER_READY);
  Tick(5);
  EXPECT_EQ(driver_.ADResult(nullptr), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NULL_POINTER);
  EXPECT_EQ(driver_.ADResultRecent(nullptr), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NULL_POINTER);
  EXPECT_EQ(driver_.QueryBuf(), 1u) << "a refused read-out frees nothing";
  ASSERT_EQ(driver_.StopIntr(), 1);
  ASSERT_GT(driver_.StartSnapshot(5, 0, 8, -1000), 0);
  EXPECT_EQ(driver_.GetSnapshot(nullptr, 1), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NULL_POINTER);
}

// The timer thread stores rows while the caller's thread takes buffers: no
// buffer is lost, repeated or torn. Each row carries one value in every
// channel, so a torn buffer shows as a row of mixed values.
TEST(ReadoutConcurrency, BuffersTakenWhileTheTickRunsAreWholeAndInOrder) {
  FakePlatform fake;
  Driver driver(fake.platform());
  uint16_t counter = 0;
  // The module answers every request with a new value in all channels.
  fake.serial.onWrite = [&](const std::vector<uint8_t>&) {
    ++counter;
    if (fake.serial.Waiting() == 0)
      fake.serial.Deliver(MakeReply(std::vector<uint16_t>(8, counter)));
  };
  ASSERT_EQ(driver.Initial(1, 127, 9600), 1);
  ASSERT_GT(driver.StartIntr(8, 5, 0, 8, -1000), 0);

  // The ticker runs until the reader has taken enough buffers (or a deadline
  // passes on a very busy machine, which then fails the count below).
  constexpr int kWanted = 5000;
  std::atomic<int> taken{0};
  std::atomic<bool> stop{false};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::thread ticker([&] {
    while (taken.load() < kWanted && std::chrono::steady_clock::now() < deadline) {
      fake.timer.Fire();
    }
    stop.store(true);
  });
  std::vector<uint16_t> buffer(41);
  int previousHead = -1;
  std::string fault;
  while (fault.empty() && (!stop.load() || driver.QueryBuf() > 0)) {
    if (driver.ADResult(buffer.data()) != 1) continue;
    taken.fetch_add(1);
    if (previousHead >= 0) {
      // Strictly forward: never a buffer twice, never an older one after a newer.
      const auto step = static_cast<uint16_t>(buffer[0] - previousHead);
      if (step == 0 || step >= 0x8000)
        fault = "head word went from " + std::to_string(previousHead) + " to " +
                std::to_string(buffer[0]);
    }
    previousHead = buffer[0];
    for (int row = 0; row < 5; ++row) {
      for (int j = 1; j < 8; ++j) {
        if (buffer[1 + 8 * row + j] != buffer[1 + 8 * row]) fault = "torn row";
      }
    }
  }
  // Ends the ticker also when a fault stopped the reader early.
  const int takenCount = taken.exchange(kWanted);
  ticker.join();
  EXPECT_EQ(fault, "");
  EXPECT_GE(takenCount, kWanted);
}

}  // namespace
}  // namespace wexlink::testing
