// The poll step: pipelined requests and replies, addressing, framing and the
// counting of missed replies.
#include "driver_fixture.h"
#include "frames.h"

namespace wexlink::testing {
namespace {

using PollTest = DriverTest;

using test_support::RequestFrame;
using test_support::ValuesFrom;

std::vector<uint16_t> ModuleValues(const Driver& driver, int module) {
  const auto& table = driver.State().ChannelValueTable;
  return {table.begin() + 8 * module, table.begin() + 8 * module + 8};
}

TEST_F(PollTest, OneModuleIsPipelinedOneStepBehind) {
  StartSnapshotRun(10, 8);
  AnswerModule(0, 32000);
  Tick();
  ASSERT_EQ(fake_.serial.writes.size(), 1u);
  EXPECT_EQ(fake_.serial.writes[0], RequestFrame(1, 0));
  EXPECT_EQ(fake_.serial.readCalls, 0) << "the first step reads nothing";
  EXPECT_EQ(driver_.State().ModuleIndex, 0);
  EXPECT_EQ(ModuleValues(driver_, 0), std::vector<uint16_t>(8, 0));
  Tick();
  EXPECT_EQ(fake_.serial.writes[1], RequestFrame(1, 0));
  EXPECT_EQ(ModuleValues(driver_, 0), ValuesFrom(32000));
  EXPECT_EQ(driver_.State().ModuleErrorCounts[0], 0);
}

TEST_F(PollTest, TwoModulesCompleteACycleBeforeTheLastReplyIsIn) {
  StartSnapshotRun(10, 16);
  AnswerModule(0, 31000);
  AnswerModule(1, 33000);
  Tick();
  EXPECT_EQ(fake_.serial.writes.back(), RequestFrame(1, 0));
  EXPECT_EQ(driver_.State().ModuleIndex, 1);
  EXPECT_EQ(driver_.State().ModuleErrorCounts[1], 1) << "module 1 counted before it was asked";
  Tick();
  EXPECT_EQ(fake_.serial.writes.back(), RequestFrame(1, 1));
  EXPECT_EQ(driver_.State().ModuleIndex, 0);
  EXPECT_EQ(ModuleValues(driver_, 0), ValuesFrom(31000));
  EXPECT_EQ(ModuleValues(driver_, 1), std::vector<uint16_t>(8, 0));
  Tick();
  EXPECT_EQ(fake_.serial.writes.back(), RequestFrame(1, 0));
  EXPECT_EQ(ModuleValues(driver_, 1), ValuesFrom(33000));
  EXPECT_EQ(driver_.State().ModuleErrorCounts[1], 0);
}

TEST_F(PollTest, AddressTableSuppliesTheRequestAddresses) {
  std::array<uint8_t, 8> pairs = {0x10, 0x20, 0x11, 0x21, 0x12, 0x22, 0x02, 0x07};
  ASSERT_EQ(driver_.IOCtl(8, pairs.data(), 0), 1);
  StartSnapshotRun(10, 64, 5, /*useTable=*/1);
  AnswerAs({0x02, 0x07}, ValuesFrom(32100));
  Tick(5);
  EXPECT_EQ(fake_.serial.writes[0], RequestFrame(0x10, 0x20));
  EXPECT_EQ(fake_.serial.writes[3], RequestFrame(0x02, 0x07));
  EXPECT_EQ(fake_.serial.writes[4], RequestFrame(0, 0)) << "pairs not loaded stay zero";
  EXPECT_EQ(ModuleValues(driver_, 3), ValuesFrom(32100));
}

TEST_F(PollTest, ThirtyTwoModulesWithoutTableAndTheLastPairWithTable) {
  StartSnapshotRun(10, 256);
  for (int m = 0; m < 32; ++m) AnswerModule(m, static_cast<uint16_t>(1000 * m));
  Tick(33);
  for (int m = 0; m < 32; ++m) {
    EXPECT_EQ(fake_.serial.writes[m], RequestFrame(1, static_cast<uint8_t>(m)));
    EXPECT_EQ(ModuleValues(driver_, m), ValuesFrom(static_cast<uint16_t>(1000 * m))) << m;
  }
  ASSERT_EQ(driver_.StopIntr(), 1);

  std::array<uint8_t, 62> table{};
  table.fill(9);
  ASSERT_EQ(driver_.IOCtl(62, table.data(), 0), 1);
  fake_.serial.writes.clear();
  ASSERT_GT(driver_.StartSnapshot(10, 1, 256, -1000), 0);
  Tick(32);
  EXPECT_EQ(fake_.serial.writes[30], RequestFrame(9, 9));
  EXPECT_EQ(fake_.serial.writes[31], RequestFrame(0, 0)) << "bytes 62 and 63 cannot be loaded";
}

TEST_F(PollTest, GoodReplyIsFramedByAaAnd55Only) {
  StartSnapshotRun(10, 8);
  Tick();
  auto reply = MakeReply(ValuesFrom(100));
  reply[1] = reply[2] = reply[3] = reply[4] = 0xEE;  // not looked at
  reply[5] = 0x10;
  reply[6] = 0x7D;
  fake_.serial.Deliver(reply);
  Tick();
  EXPECT_EQ(driver_.State().ChannelValueTable[0], 0x7D10);
  EXPECT_EQ(driver_.State().ChannelValueTable[7], 107);
}

struct BadReply {
  const char* name;
  std::vector<uint8_t> bytes;
};

class BadReplyTest : public DriverTest, public ::testing::WithParamInterface<BadReply> {};

TEST_P(BadReplyTest, IsReadInFullAndCountsAsAMiss) {
  StartSnapshotRun(10, 8, /*threshold=*/127);
  AnswerModule(0, 500);
  Tick(2);
  ASSERT_EQ(ModuleValues(driver_, 0), ValuesFrom(500));
  fake_.serial.onWrite = nullptr;
  fake_.serial.Deliver(GetParam().bytes);
  Tick();
  EXPECT_EQ(fake_.serial.Waiting(), 0u) << "everything waiting is consumed";
  EXPECT_EQ(driver_.State().ModuleErrorCounts[0], 1);
  EXPECT_EQ(ModuleValues(driver_, 0), ValuesFrom(500)) << "values kept below the threshold";
}

std::vector<uint8_t> Truncated(std::size_t n) {
  auto r = MakeReply(ValuesFrom(1));
  r.resize(n, 0x55);
  r.back() = 0x55;
  return r;
}
std::vector<uint8_t> Twice() {
  auto r = MakeReply(ValuesFrom(1));
  auto twice = r;
  twice.insert(twice.end(), r.begin(), r.end());
  return twice;
}
std::vector<uint8_t> WrongByte(std::size_t at) {
  auto r = MakeReply(ValuesFrom(1));
  r[at] = 0x00;
  return r;
}

INSTANTIATE_TEST_SUITE_P(Cases, BadReplyTest,
                         ::testing::Values(BadReply{"short21", Truncated(21)},
                                           BadReply{"long23", Truncated(23)},
                                           BadReply{"two_replies44", Twice()},
                                           BadReply{"wrong_start", WrongByte(0)},
                                           BadReply{"wrong_end", WrongByte(21)}),
                         [](const auto& param) { return std::string(param.param.name); });

// With threshold t a module's values survive t - 1 missed replies in a row
// and are zero from the t-th; 127 never zeroes; 0 and negative zero at once.
struct ThresholdCase {
  int8_t threshold;
  int missesSurvived;  // -1: never zeroed
};

class ThresholdTest : public DriverTest, public ::testing::WithParamInterface<ThresholdCase> {};

TEST_P(ThresholdTest, ValuesSurviveThresholdMinusOneMisses) {
  const auto [threshold, survived] = GetParam();
  StartSnapshotRun(10, 8, threshold);
  AnswerModule(0, 700);
  Tick(2);
  ASSERT_EQ(ModuleValues(driver_, 0), ValuesFrom(700));
  Silence({1, 0});
  Tick();  // takes in the reply to the last request before the silence
  ASSERT_EQ(ModuleValues(driver_, 0), ValuesFrom(700));
  const int misses = survived < 0 ? 200 : survived + 1;
  for (int miss = 1; miss <= misses; ++miss) {
    Tick();
    const bool zeroed = survived >= 0 && miss > survived;
    EXPECT_EQ(ModuleValues(driver_, 0), zeroed ? std::vector<uint16_t>(8, 0) : ValuesFrom(700))
        << "after miss " << miss;
  }
  EXPECT_LE(driver_.State().ModuleErrorCounts[0], kMissCountCeiling);
  // A good reply brings the values back at once.
  AnswerModule(0, 900);
  Tick(2);
  EXPECT_EQ(ModuleValues(driver_, 0), ValuesFrom(900));
  EXPECT_EQ(driver_.State().ModuleErrorCounts[0], 0);
}

INSTANTIATE_TEST_SUITE_P(Thresholds, ThresholdTest,
                         ::testing::Values(ThresholdCase{1, 0}, ThresholdCase{5, 4},
                                           ThresholdCase{0, 0}, ThresholdCase{-1, 0},
                                           ThresholdCase{-128, 0}, ThresholdCase{126, 125},
                                           ThresholdCase{127, -1}));

TEST_F(PollTest, SilentModuleStaysZeroAndItsCountStopsAt125) {
  StartSnapshotRun(10, 16, 127);
  AnswerModule(0, 3000);
  for (int i = 0; i < 400; ++i) Tick();
  EXPECT_EQ(driver_.State().ModuleErrorCounts[1], 125);
  EXPECT_EQ(ModuleValues(driver_, 1), std::vector<uint16_t>(8, 0));
  EXPECT_EQ(ModuleValues(driver_, 0), ValuesFrom(3000));
}

TEST_F(PollTest, SplitReplyCountsAsTwoMisses) {
  StartSnapshotRun(10, 16, 127);
  AnswerModule(0, 100);
  AnswerModule(1, 200);
  Tick(4);  // both modules answered once
  fake_.serial.onWrite = nullptr;
  const auto reply = MakeReply(ValuesFrom(111));
  // Module 0's next reply arrives in two pieces around the step that reads it.
  Tick();  // sends to module 0, reads nothing (module 1's reply was taken)
  fake_.serial.Deliver({reply.begin(), reply.begin() + 10});
  Tick();  // reads 10 bytes: miss of module 0
  EXPECT_EQ(driver_.State().ModuleErrorCounts[0], 1);
  fake_.serial.Deliver({reply.begin() + 10, reply.end()});
  fake_.serial.Deliver(MakeReply(ValuesFrom(222)));
  Tick();  // reads 12 + 22 bytes: miss of module 1
  EXPECT_EQ(driver_.State().ModuleErrorCounts[1], 1);
  EXPECT_EQ(ModuleValues(driver_, 0), ValuesFrom(100));
  EXPECT_EQ(ModuleValues(driver_, 1), ValuesFrom(200));
}

TEST_F(PollTest, BytesWaitingBeforeTheFirstStepSpoilTheFirstReply) {
  ASSERT_EQ(driver_.Initial(1, 127, 9600), 1);
  ASSERT_GT(driver_.StartSnapshot(10, 0, 8, -1000), 0);
  fake_.serial.Deliver({0x01, 0x02, 0x03});
  AnswerModule(0, 4000);
  Tick();
  EXPECT_EQ(fake_.serial.Waiting(), 25u) << "the first step reads nothing";
  Tick();
  EXPECT_EQ(ModuleValues(driver_, 0), std::vector<uint16_t>(8, 0));
  // One miss counted by the first step (nothing asked yet), one for the spoilt read.
  EXPECT_EQ(driver_.State().ModuleErrorCounts[0], 2);
  Tick();
  EXPECT_EQ(ModuleValues(driver_, 0), ValuesFrom(4000));
}

TEST_F(PollTest, ClosedPortStepDoesNothingButHoldTheCycleOpen) {
  StartSnapshotRun(10, 16);
  driver_.Port().Close();
  const auto writes = fake_.serial.writes.size();
  Tick(3);
  EXPECT_EQ(fake_.serial.writes.size(), writes);
  EXPECT_EQ(driver_.State().ModuleIndex, 1);
  EXPECT_EQ(driver_.State().FirstPollPending, 1);
  EXPECT_EQ(driver_.State().ModuleErrorCounts[1], 0);
  EXPECT_EQ(driver_.Snapshot().PublishedPosition(), 0u) << "no row stored";
}

TEST_F(PollTest, ReceiveBufferGrowsOnlyWhenMoreIsWaiting) {
  StartSnapshotRun(10, 8);
  AnswerModule(0, 1);
  Tick(2);
  EXPECT_EQ(driver_.State().ReadBufferSize, 32);
  const uint8_t* block = driver_.State().ReadBuffer.get();
  fake_.serial.Deliver(std::vector<uint8_t>(10, 0));  // 32 waiting with the reply
  Tick();
  EXPECT_EQ(driver_.State().ReadBufferSize, 32);
  EXPECT_EQ(driver_.State().ReadBuffer.get(), block);
  fake_.serial.Deliver(std::vector<uint8_t>(11, 0));  // 33 waiting
  Tick();
  EXPECT_EQ(driver_.State().ReadBufferSize, 43);
  ASSERT_EQ(driver_.StopIntr(), 1);
  ASSERT_GT(driver_.StartSnapshot(10, 0, 8, -1000), 0);
  EXPECT_EQ(driver_.State().ReadBufferSize, 43) << "kept from run to run";
}

TEST_F(PollTest, AFloodOfStrayBytesIsReadInBoundedPieces) {
  StartSnapshotRun(10, 8);
  Tick();
  fake_.serial.Deliver(std::vector<uint8_t>(100000, 0x55));
  Tick();
  EXPECT_LE(driver_.State().ReadBufferSize, 64 * 1024 + 10);
  EXPECT_EQ(fake_.serial.Waiting(), 100000u - 64 * 1024);
}

TEST_F(PollTest, ATickMakesAtMostFourDeviceCalls) {
  StartSnapshotRun(10, 8);
  AnswerModule(0, 42);
  Tick(3);
  const int before = fake_.serial.deviceCalls;
  Tick();
  EXPECT_LE(fake_.serial.deviceCalls - before, 4);
}

TEST_F(PollTest, ThresholdChangedDuringARunAppliesFromTheNextStep) {
  StartSnapshotRun(10, 8, 127);
  AnswerModule(0, 800);
  Tick(2);
  Silence({1, 0});
  Tick(4);  // the reply in flight, then three misses
  EXPECT_EQ(ModuleValues(driver_, 0), ValuesFrom(800));
  ASSERT_EQ(driver_.Initial(1, 4, 9600), 1);
  Tick();
  EXPECT_EQ(ModuleValues(driver_, 0), std::vector<uint16_t>(8, 0));
}

}  // namespace
}  // namespace wexlink::testing
