// Starting and stopping runs, the tick, and how rows are stored.
#include "driver_fixture.h"

namespace wexlink::testing {
namespace {

using RunTest = DriverTest;

TEST_F(RunTest, WexmonSnapshotStart) {
  ASSERT_EQ(driver_.Initial(1, 5, 9600), 1);
  EXPECT_EQ(driver_.StartSnapshot(200, 0, 8, -1000), 3202);
  EXPECT_EQ(driver_.GetLastADError(), 0);
  EXPECT_EQ(fake_.serial.lastDeviceName, "COM1:");
  EXPECT_EQ(fake_.serial.lastDefinition, "9600,N,8,1");
  EXPECT_EQ(fake_.timer.periodMs, 1000u);
  EXPECT_EQ(fake_.timer.resolutionMs, 2u);
  EXPECT_EQ(driver_.State().RunMode.load(), 2);
  EXPECT_EQ(driver_.State().BufferMode, 2);
  AnswerModule(0, 32400);
  Tick(3);
  // One module: a row per tick; the first row holds zeros.
  EXPECT_EQ(driver_.Snapshot().PublishedPosition(), 24u);
  const auto record = Snapshot(3);
  EXPECT_EQ(record[1], 0);
  EXPECT_EQ(record[9], 32400);
  EXPECT_EQ(record[24], 32407);
  EXPECT_EQ(lastRowPosition_, 2);
}

TEST_F(RunTest, TwoModulesStoreARowEverySecondTick) {
  StartSnapshotRun(10, 16);
  AnswerModule(0, 100);
  AnswerModule(1, 200);
  Tick();
  EXPECT_EQ(driver_.Snapshot().PublishedPosition(), 0u);
  Tick();
  EXPECT_EQ(driver_.Snapshot().PublishedPosition(), 16u);
  Tick();
  EXPECT_EQ(driver_.Snapshot().PublishedPosition(), 16u);
  Tick();
  EXPECT_EQ(driver_.Snapshot().PublishedPosition(), 32u);
  const auto record = Snapshot(2);
  // Row 0: module 0 answered, module 1 not yet. Row 1: both.
  EXPECT_EQ(record[1], 100);
  EXPECT_EQ(record[9], 0);
  EXPECT_EQ(record[17], 100);
  EXPECT_EQ(record[25], 200);
}

struct StartCase {
  const char* name;
  bool continuous;
  uint32_t buffers, rows, channels;
  int32_t period;
  int32_t code;  // 0: accepted
};

class StartArgumentsTest : public DriverTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartArgumentsTest, AreCheckedInOrder) {
  const auto& c = GetParam();
  ASSERT_EQ(driver_.Initial(1, 5, 9600), 1);
  const int32_t result = c.continuous
                             ? driver_.StartIntr(c.buffers, c.rows, 0, c.channels, c.period)
                             : driver_.StartSnapshot(c.rows, 0, c.channels, c.period);
  EXPECT_EQ(driver_.GetLastADError(), c.code);
  if (c.code == 0) {
    const uint32_t values = (c.channels & 0xFFFF) * c.rows;
    EXPECT_EQ(result, static_cast<int32_t>(2 * values + 2));
  } else {
    EXPECT_EQ(result, 0);
    EXPECT_EQ(driver_.State().RunMode.load(), 0);
    EXPECT_EQ(fake_.timer.startCount, 0);
    EXPECT_EQ(fake_.serial.openCount, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartArgumentsTest,
    ::testing::Values(
        StartCase{"buffers0", true, 0, 10, 8, -1000, WEXLINK_E_BUFFER_COUNT},
        StartCase{"buffers0x10000", true, 0x10000, 10, 8, -1000, WEXLINK_E_BUFFER_COUNT},
        StartCase{"snapshot_ignores_buffers", false, 0, 10, 8, -1000, 0},
        StartCase{"rows4", true, 1, 4, 8, -1000, WEXLINK_E_ROWS},
        StartCase{"rows5", true, 1, 5, 8, -1000, 0},
        StartCase{"channels12", false, 1, 10, 12, -1000, WEXLINK_E_CHANNELS},
        StartCase{"channels0", false, 1, 10, 0, -1000, WEXLINK_E_CHANNELS},
        StartCase{"channels264", false, 1, 10, 264, -1000, WEXLINK_E_TOO_MANY_CHANNELS},
        StartCase{"channels256", false, 1, 10, 256, -1000, 0},
        StartCase{"channels_low16", false, 1, 10, 0x10008, -1000, 0},
        StartCase{"period_minus699", false, 1, 10, 8, -699, WEXLINK_E_PERIOD_TOO_SHORT},
        StartCase{"period_plus1000", false, 1, 10, 8, 1000, WEXLINK_E_PERIOD_TOO_SHORT},
        StartCase{"period_minus700", false, 1, 10, 8, -700, 0},
        StartCase{"period_minus100000", false, 1, 10, 8, -100000, 0},
        StartCase{"period_minus100001", false, 1, 10, 8, -100001, WEXLINK_E_PERIOD_TOO_LONG},
        // The earlier check wins.
        StartCase{"rows_before_channels", true, 1, 4, 12, 5, WEXLINK_E_ROWS},
        StartCase{"channels_before_period", true, 1, 5, 264, 5, WEXLINK_E_TOO_MANY_CHANNELS},
        StartCase{"channels_before_long_period", true, 1, 5, 264, -100001,
                  WEXLINK_E_TOO_MANY_CHANNELS}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(RunTest, StartsAndStopRefusedBeforeInitial) {
  EXPECT_EQ(driver_.StartIntr(0, 0, 0, 0, 0), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NOT_INITIALIZED);
  EXPECT_EQ(driver_.StartSnapshot(200, 0, 8, -1000), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NOT_INITIALIZED);
  EXPECT_EQ(driver_.StopIntr(), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NOT_INITIALIZED);
}

TEST_F(RunTest, StartDuringARunIsRefusedAndTheRunGoesOn) {
  StartSnapshotRun(10, 8);
  AnswerModule(0, 5);
  Tick(2);
  EXPECT_EQ(driver_.StartIntr(1, 4, 0, 8, -1000), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_ROWS);
  EXPECT_EQ(driver_.StartIntr(2, 20, 0, 16, -700), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_BUSY);
  EXPECT_EQ(driver_.State().RowsPerBuffer, 10u);
  EXPECT_EQ(driver_.State().ModuleCount, 1);
  EXPECT_EQ(fake_.timer.startCount, 1);
  Tick();
  EXPECT_EQ(driver_.Snapshot().PublishedPosition(), 24u);
}

TEST_F(RunTest, StopTwiceKeepsTheBuffersReadable) {
  StartSnapshotRun(10, 8);
  AnswerModule(0, 77);
  Tick(2);
  EXPECT_EQ(driver_.StopIntr(), 1);
  EXPECT_EQ(fake_.timer.killCount, 1);
  EXPECT_FALSE(fake_.serial.isOpen);
  EXPECT_FALSE(fake_.timer.Fire()) << "no tick after the stop";
  EXPECT_EQ(driver_.StopIntr(), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NOT_RUNNING);
  const auto first = Snapshot(2);
  const auto second = Snapshot(2);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first[9], 77);
}

TEST_F(RunTest, PortThatCannotOpenFailsWith106AndHoldsNoBuffers) {
  StartContinuousRun(2, 5, 8);
  ASSERT_EQ(driver_.StopIntr(), 1);
  fake_.serial.deviceExists = false;
  EXPECT_EQ(driver_.StartIntr(2, 5, 0, 8, -1000), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_PORT);
  EXPECT_EQ(driver_.State().BufferMode, 0);
  EXPECT_EQ(driver_.State().RunMode.load(), 0);
  EXPECT_EQ(driver_.ADResult(nullptr), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NO_CONTINUOUS);
}

TEST_F(RunTest, TimerThatCannotStartFailsWith105AndClosesThePort) {
  ASSERT_EQ(driver_.Initial(1, 5, 9600), 1);
  fake_.timer.startResult = false;
  EXPECT_EQ(driver_.StartSnapshot(200, 0, 8, -1000), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_TIMER);
  EXPECT_FALSE(fake_.serial.isOpen);
  EXPECT_EQ(driver_.State().RunMode.load(), 0);
  EXPECT_EQ(driver_.State().BufferMode, 0);
  // The next start works.
  fake_.timer.startResult = true;
  EXPECT_EQ(driver_.StartSnapshot(200, 0, 8, -1000), 3202);
}

TEST_F(RunTest, SizesThatOverflow32BitsAreRefusedAsAllocationFailures) {
  ASSERT_EQ(driver_.Initial(1, 5, 9600), 1);
  // 256 channels x 2^24 rows is 2^32 values: a 32-bit size would wrap to 2.
  EXPECT_EQ(driver_.StartSnapshot(1u << 24, 0, 256, -1000), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_ALLOC);
  EXPECT_EQ(driver_.StartIntr(65535, 100000, 0, 256, -1000), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_ALLOC);
  EXPECT_EQ(driver_.State().BufferMode, 0);
  EXPECT_EQ(fake_.serial.openCount, 0);
  EXPECT_EQ(driver_.GetSnapshot(nullptr, 1), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NO_SNAPSHOT);
}

TEST_F(RunTest, NewStartReleasesTheHeldBuffersAndResetsThePollState) {
  StartSnapshotRun(10, 16);
  AnswerModule(0, 10);
  AnswerModule(1, 20);
  Tick(5);
  ASSERT_EQ(driver_.StopIntr(), 1);
  ASSERT_GT(driver_.StartIntr(2, 5, 0, 8, -1000), 0);
  const auto& s = driver_.State();
  EXPECT_EQ(s.BufferMode, 1);
  EXPECT_EQ(s.ModuleIndex, 0);
  EXPECT_EQ(s.FirstPollPending, 1);
  EXPECT_EQ(s.ChannelValueTable[0], 0);
  EXPECT_EQ(s.ModuleErrorCounts[0], 0);
  EXPECT_EQ(driver_.Continuous().SequenceCount(), 0);
  EXPECT_EQ(driver_.GetSnapshot(nullptr, 1), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NO_SNAPSHOT);
}

TEST_F(RunTest, SnapshotRingWrapsAndCountsPasses) {
  StartSnapshotRun(5, 8);
  AnswerModule(0, 1);
  Tick(5);
  EXPECT_EQ(driver_.Snapshot().FillCount(), 0u);
  EXPECT_EQ(driver_.Snapshot().PublishedPosition(), 0u);
  EXPECT_EQ(driver_.Snapshot().SequenceCount(), 1);
  Tick();
  EXPECT_EQ(driver_.Snapshot().FillCount(), 8u);
  EXPECT_EQ(driver_.Snapshot().PublishedPosition(), 8u);
  EXPECT_EQ(driver_.Snapshot().SequenceCount(), 1);
  // The head word holds the pass count as it stood when the pass began.
  EXPECT_EQ(driver_.Snapshot().Buffer()[0], 1);
}

TEST_F(RunTest, ContinuousBuffersCarrySequenceHeadWordsAndNotify) {
  ASSERT_EQ(driver_.RegisterNotify(0, 11, 0x400, 1, 2), 1);
  ASSERT_EQ(driver_.RegisterNotify(2, 33, 0x401, 3, 4), 1);
  ASSERT_EQ(driver_.RegisterNotify(1, 0, 0x402, 5, 6), 1);  // empty: no window
  StartContinuousRun(4, 5, 8);
  AnswerModule(0, 9000);
  for (uint16_t expectedHead = 0; expectedHead < 6; ++expectedHead) {
    Tick(5);
    const auto buffer = TakeBuffer();
    ASSERT_EQ(buffer.size(), 41u);
    EXPECT_EQ(buffer[0], expectedHead);
  }
  ASSERT_EQ(fake_.poster.posted.size(), 12u);
  EXPECT_EQ(fake_.poster.posted[0], (PostedMessage{11, 0x400, 1, 2}));
  EXPECT_EQ(fake_.poster.posted[1], (PostedMessage{33, 0x401, 3, 4}));
}

TEST_F(RunTest, SnapshotRunPostsNothing) {
  ASSERT_EQ(driver_.RegisterNotify(0, 11, 0x400, 1, 2), 1);
  StartSnapshotRun(5, 8);
  Tick(20);
  EXPECT_TRUE(fake_.poster.posted.empty());
}

TEST_F(RunTest, SingleBufferRingIsFullAtOnceAndDropsUntilRead) {
  StartContinuousRun(1, 5, 8);
  AnswerModule(0, 300);
  Tick(5);
  EXPECT_EQ(driver_.Continuous().OverflowCount(), 1);
  EXPECT_EQ(driver_.QueryBuf(), 1u);
  Tick(3);  // dropped
  EXPECT_EQ(driver_.Continuous().OverflowCount(), 4);
  const auto buffer = TakeBuffer();
  ASSERT_FALSE(buffer.empty());
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(buffer[1], 0) << "first row of a run holds zeros";
  EXPECT_EQ(buffer[9], 300);
  EXPECT_EQ(driver_.QueryBuf(), 0u);
  Tick(5);
  const auto next = TakeBuffer();
  ASSERT_FALSE(next.empty());
  EXPECT_EQ(next[0], 1);
  EXPECT_EQ(next[1], 300);
}

TEST_F(RunTest, FullRingAdvancesTheSequenceOncePerBufferValuesDroppedRows) {
  ASSERT_EQ(driver_.RegisterNotify(0, 5, 6, 7, 8), 1);
  StartContinuousRun(3, 5, 8);  // BufferValues 40
  Tick(15);
  EXPECT_EQ(fake_.poster.posted.size(), 3u);
  EXPECT_EQ(driver_.Continuous().SequenceCount(), 3);
  EXPECT_EQ(driver_.QueryBuf(), 3u);
  Tick(39);
  EXPECT_EQ(driver_.Continuous().SequenceCount(), 3);
  EXPECT_EQ(driver_.Continuous().OverflowCount(), 40);
  Tick();
  EXPECT_EQ(driver_.Continuous().SequenceCount(), 4);
  EXPECT_EQ(driver_.Continuous().OverflowCount(), 1);
  EXPECT_EQ(fake_.poster.posted.size(), 3u) << "no notification for dropped rows";
  // The next buffer after a read-out carries the advanced sequence.
  ASSERT_FALSE(TakeBuffer().empty());
  Tick(5);
  EXPECT_EQ(driver_.QueryBuf(), 3u);
}

TEST_F(RunTest, UnloadStopsAnActiveRunAndClosesThePort) {
  auto platform = std::make_unique<FakePlatform>();
  {
    Driver driver(platform->platform());
    ASSERT_EQ(driver.Initial(1, 5, 9600), 1);
    ASSERT_GT(driver.StartSnapshot(200, 0, 8, -1000), 0);
    ASSERT_TRUE(platform->serial.isOpen);
  }
  EXPECT_EQ(platform->timer.killCount, 1);
  EXPECT_FALSE(platform->timer.running);
  EXPECT_FALSE(platform->serial.isOpen);
  EXPECT_EQ(platform->serial.closeCount, 1);
}

TEST_F(RunTest, UnloadWithoutARunTouchesNothing) {
  auto platform = std::make_unique<FakePlatform>();
  { Driver driver(platform->platform()); }
  EXPECT_EQ(platform->timer.killCount, 0);
  EXPECT_EQ(platform->serial.deviceCalls, 0);
}

}  // namespace
}  // namespace wexlink::testing
