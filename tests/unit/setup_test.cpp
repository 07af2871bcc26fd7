// Set-up, information and control calls, and the last-error code.
#include <cmath>

#include "driver_fixture.h"

namespace wexlink::testing {
namespace {

using SetupTest = DriverTest;

TEST_F(SetupTest, InitialChecksPortAndBaudRate) {
  EXPECT_EQ(driver_.Initial(0, 5, 9600), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_BAD_SETUP);
  EXPECT_EQ(driver_.Initial(1, 5, 9), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_BAD_SETUP);
  EXPECT_EQ(driver_.State().Initialized, 0);
  EXPECT_EQ(driver_.Initial(1, 5, 10), 1);
  EXPECT_EQ(driver_.GetLastADError(), 0);
  EXPECT_EQ(driver_.State().Initialized, 1);
  // Only the low 16 bits name the port: 0x10000 is port 0.
  EXPECT_EQ(driver_.Initial(0x10000, 5, 9600), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_BAD_SETUP);
  EXPECT_EQ(driver_.State().Initialized, 1) << "a refused Initial keeps the earlier set-up";
}

TEST_F(SetupTest, RefusedInitialStillRecordsPortSoTheNextStartFailsOnIt) {
  ASSERT_EQ(driver_.Initial(3, 5, 9600), 1);
  EXPECT_EQ(driver_.Initial(7, 5, 5), 0);
  EXPECT_EQ(driver_.State().PortNumber, 7);
  EXPECT_EQ(driver_.State().BaudRate, 5);
  fake_.serial.deviceExists = false;
  EXPECT_EQ(driver_.StartSnapshot(200, 0, 8, -1000), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_PORT);
  EXPECT_EQ(fake_.serial.lastDeviceName, "COM7:");
  EXPECT_EQ(fake_.serial.lastDefinition, "5,N,8,1");
}

TEST_F(SetupTest, MissThresholdIsTheLowByteAsSignedValue) {
  ASSERT_EQ(driver_.Initial(1, 0x1FF, 9600), 1);
  EXPECT_EQ(driver_.State().MissThreshold.load(), -1);
  ASSERT_EQ(driver_.Initial(1, 0x17F, 9600), 1);
  EXPECT_EQ(driver_.State().MissThreshold.load(), 127);
}

TEST_F(SetupTest, InitialDuringARunOnlyChangesTheThreshold) {
  StartSnapshotRun(200, 8, 5);
  EXPECT_EQ(driver_.Initial(1, 9, 9600), 1);
  EXPECT_EQ(driver_.State().MissThreshold.load(), 9);
  EXPECT_EQ(driver_.Initial(2, 3, 9600), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_BUSY);
  EXPECT_EQ(driver_.Initial(1, 3, 19200), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_BUSY);
  EXPECT_EQ(driver_.State().PortNumber, 1);
  EXPECT_EQ(driver_.State().BaudRate, 9600);
  EXPECT_EQ(driver_.State().MissThreshold.load(), 9);
  // After the stop another port is accepted again.
  ASSERT_EQ(driver_.StopIntr(), 1);
  EXPECT_EQ(driver_.Initial(2, 3, 19200), 1);
}

TEST_F(SetupTest, RegisterNotifySlots) {
  EXPECT_EQ(driver_.RegisterNotify(4, 10, 20, 30, 40), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_SLOT);
  EXPECT_EQ(driver_.RegisterNotify(3, 10, 20, 30, 40), 1);
  EXPECT_EQ(driver_.GetLastADError(), 0);
  const auto& slot = driver_.State().NotifySlots[3];
  EXPECT_EQ(slot.window.load(), 10);
  EXPECT_EQ(slot.message.load(), 20u);
  EXPECT_EQ(slot.wParam.load(), 30u);
  EXPECT_EQ(slot.lParam.load(), 40u);
  EXPECT_EQ(driver_.RegisterNotify(0xFFFFFFFFu, 1, 1, 1, 1), 0);
}

struct IoctlCase {
  int32_t length;
  int32_t code;
  bool accepted;
};

class IoctlTest : public DriverTest, public ::testing::WithParamInterface<IoctlCase> {};

TEST_P(IoctlTest, LengthAndControlCode) {
  std::array<uint8_t, 64> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i + 1);
  const auto [length, code, accepted] = GetParam();
  EXPECT_EQ(driver_.IOCtl(length, bytes.data(), code), accepted ? 1 : 0);
  EXPECT_EQ(driver_.GetLastADError(), accepted ? 0 : WEXLINK_E_IOCTL);
  for (int i = 0; i < kAddressTableBytes; ++i) {
    const uint8_t expected = (accepted && i < length) ? static_cast<uint8_t>(i + 1) : 0;
    EXPECT_EQ(driver_.State().ModuleAddressTable[i].load(), expected) << "byte " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, IoctlTest,
                         ::testing::Values(IoctlCase{62, 0, true}, IoctlCase{2, 0, true},
                                           IoctlCase{64, 0, false}, IoctlCase{0, 0, false},
                                           IoctlCase{-2, 0, false}, IoctlCase{3, 0, false},
                                           IoctlCase{63, 0, false}, IoctlCase{4, 1, false}));

TEST_F(SetupTest, IoctlKeepsTheRestOfTheTable) {
  const uint8_t first[6] = {9, 9, 9, 9, 9, 9};
  const uint8_t second[2] = {2, 7};
  ASSERT_EQ(driver_.IOCtl(6, first, 0), 1);
  ASSERT_EQ(driver_.IOCtl(2, second, 0), 1);
  EXPECT_EQ(driver_.State().ModuleAddressTable[0].load(), 2);
  EXPECT_EQ(driver_.State().ModuleAddressTable[1].load(), 7);
  EXPECT_EQ(driver_.State().ModuleAddressTable[2].load(), 9);
  EXPECT_EQ(driver_.State().ModuleAddressTable[5].load(), 9);
}

TEST_F(SetupTest, ConfigInfoFillsEveryOutputAndLeavesTheErrorAlone) {
  ASSERT_EQ(driver_.StopIntr(), 0);  // leaves code 3
  char model[8];
  std::memset(model, 'x', sizeof model);
  int32_t limit = 0, c1 = 0, c10a = 0, c10b = 0, c0 = 99;
  float half = 0, span = 0;
  Driver::ConfigInfo(model, &limit, &c1, &c10a, &c10b, &half, &span, &c0);
  EXPECT_STREQ(model, "W316");
  EXPECT_EQ(model[5], 'x') << "five bytes written, no more";
  EXPECT_EQ(limit, 256);
  EXPECT_EQ(c1, 1);
  EXPECT_EQ(c10a, 10);
  EXPECT_EQ(c10b, 10);
  EXPECT_EQ(c0, 0);
  uint32_t halfBits = 0, spanBits = 0;
  std::memcpy(&halfBits, &half, 4);
  std::memcpy(&spanBits, &span, 4);
  EXPECT_EQ(halfBits, 0x47000000u);
  EXPECT_EQ(spanBits, 0x47800000u);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NOT_INITIALIZED);
}

TEST_F(SetupTest, NullPointersAreRefusedWithoutChangingAnything) {
  int32_t limit = -1, c = -1;
  float f = -1;
  char model[8] = "abc";
  Driver::ConfigInfo(model, &limit, &c, &c, &c, &f, &f, nullptr);
  EXPECT_STREQ(model, "abc");
  EXPECT_EQ(limit, -1);
  Driver::ConfigInfo(nullptr, &limit, &c, &c, &c, &f, &f, &c);
  EXPECT_EQ(limit, -1);

  EXPECT_EQ(Driver::GetADPropString(nullptr), 0);

  const uint8_t pair[2] = {5, 5};
  ASSERT_EQ(driver_.IOCtl(2, pair, 0), 1);
  EXPECT_EQ(driver_.IOCtl(2, nullptr, 0), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NULL_POINTER);
  EXPECT_EQ(driver_.State().ModuleAddressTable[0].load(), 5);
  // A bad length is still reported as such, whatever the pointer.
  EXPECT_EQ(driver_.IOCtl(3, nullptr, 0), 0);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_IOCTL);
}

TEST_F(SetupTest, PropertyString) {
  EXPECT_EQ(Driver::GetADPropStrSize(), 82);
  char buffer[100];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(Driver::GetADPropString(buffer), 1);
  EXPECT_EQ(buffer[82], '\0');
  EXPECT_EQ(buffer[83], 'x');
  EXPECT_EQ(std::strlen(buffer), 82u);
  EXPECT_EQ(std::strncmp(buffer, "Quorix: ", 8), 0);
  const char* newline = std::strchr(buffer, '\n');
  ASSERT_NE(newline, nullptr);
  EXPECT_STREQ(newline + 1, "NumChn:8~32, SW:0, FrqSamp:1");
  // The description line is GBK: "数" is CA FD.
  EXPECT_EQ(static_cast<uint8_t>(buffer[8]), 0xCA);
  EXPECT_EQ(static_cast<uint8_t>(buffer[9]), 0xFD);
}

TEST(ChannelFrq, ComputesTheRatePerChannel) {
  EXPECT_EQ(Driver::ChannelFrq(8, -1000), 1.0);
  EXPECT_EQ(Driver::ChannelFrq(16, -1000), 0.5);
  EXPECT_EQ(Driver::ChannelFrq(8, -700), 1.4285714285714286);
  EXPECT_EQ(Driver::ChannelFrq(24, -700), 0.4761904761904762);
  EXPECT_TRUE(std::isinf(Driver::ChannelFrq(8, 0)));
}

TEST_F(SetupTest, LastErrorIsKeptUntilAClearingCall) {
  EXPECT_EQ(driver_.QueryBuf(), 0u);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NOT_INITIALIZED);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NOT_INITIALIZED);
  // Calls that do not touch the code leave it.
  char buffer[90];
  Driver::GetADPropString(buffer);
  Driver::ChannelFrq(8, -1000);
  EXPECT_EQ(driver_.GetLastADError(), WEXLINK_E_NOT_INITIALIZED);
  EXPECT_EQ(driver_.RegisterNotify(0, 0, 0, 0, 0), 1);
  EXPECT_EQ(driver_.GetLastADError(), 0);
}

TEST_F(SetupTest, PortFunctionsGoToThePortSpace) {
  fake_.ports.readValues[0x300] = 0x12345678;
  EXPECT_EQ(driver_.Ports().In8(0x300), 0x78);
  EXPECT_EQ(driver_.Ports().In16(0x300), 0x5678);
  EXPECT_EQ(driver_.Ports().In32(0x300), 0x12345678u);
  driver_.Ports().Out8(256, 5);
  EXPECT_EQ(fake_.ports.writes.back(), (PortAccess{'b', 256, 5}));
}

}  // namespace
}  // namespace wexlink::testing
