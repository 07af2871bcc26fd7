// SerialPort over a fake device: naming, reopening, the never-waiting read,
// and harmless calls on a closed port.
#include "core/serial_port.h"

#include <gtest/gtest.h>

#include "fake_platform.h"

namespace wexlink::testing {
namespace {

TEST(SerialPort, DeviceNameFromPortNumber) {
  char name[16];
  SerialPort::FormatDeviceName(1, name);
  EXPECT_STREQ(name, "COM1:");
  SerialPort::FormatDeviceName(12, name);
  EXPECT_STREQ(name, "COM12:");
  SerialPort::FormatDeviceName(65535, name);
  EXPECT_STREQ(name, "COM65535:");
}

TEST(SerialPort, OpenOnAnOpenPortClosesItFirst) {
  FakeSerialDevice device;
  SerialPort port(device);
  port.SetPortNumber(12);
  ASSERT_TRUE(port.Open("9600,N,8,1"));
  EXPECT_EQ(device.lastDeviceName, "COM12:");
  ASSERT_TRUE(port.Open("19200,N,8,1"));
  EXPECT_EQ(device.openCount, 2);
  EXPECT_EQ(device.closeCount, 1);
  EXPECT_EQ(device.lastDefinition, "19200,N,8,1");
  EXPECT_TRUE(port.IsOpen());
}

TEST(SerialPort, RejectedDefinitionOrMissingDeviceLeavesItClosed) {
  FakeSerialDevice device;
  SerialPort port(device);
  port.SetPortNumber(1);
  device.acceptDefinition = false;
  EXPECT_FALSE(port.Open("bogus"));
  EXPECT_FALSE(port.IsOpen());
  device.acceptDefinition = true;
  device.deviceExists = false;
  EXPECT_FALSE(port.Open("9600,N,8,1"));
  EXPECT_FALSE(port.IsOpen());
}

TEST(SerialPort, ReadAvailableNeverAsksForMoreThanIsWaiting) {
  FakeSerialDevice device;
  SerialPort port(device);
  port.SetPortNumber(1);
  ASSERT_TRUE(port.Open("9600,N,8,1"));
  std::vector<uint8_t> bytes(30);
  for (int i = 0; i < 30; ++i) bytes[i] = static_cast<uint8_t>(i);
  device.Deliver(bytes);
  uint8_t buffer[64] = {};
  EXPECT_EQ(port.ReadAvailable(buffer, 22), 22);
  EXPECT_EQ(buffer[21], 21);
  EXPECT_EQ(device.Waiting(), 8u);
  EXPECT_EQ(port.ReadAvailable(buffer, 0), 0);
  EXPECT_EQ(port.ReadAvailable(buffer, -5), 0);
  EXPECT_EQ(port.ReadAvailable(buffer, 64), 8);
  const int readsBefore = device.readCalls;
  EXPECT_EQ(port.ReadAvailable(buffer, 22), 0);
  EXPECT_EQ(device.readCalls, readsBefore) << "no read call with nothing waiting";
}

TEST(SerialPort, ClosedPortIsHarmless) {
  FakeSerialDevice device;
  SerialPort port(device);
  uint8_t buffer[8] = {1, 2, 3};
  int32_t in = 77, out = 88;
  EXPECT_FALSE(port.Close());
  EXPECT_FALSE(port.QueryQueues(in, out));
  EXPECT_EQ(in, 77);
  EXPECT_EQ(out, 88);
  EXPECT_EQ(port.Write(buffer, 3), 0);
  EXPECT_EQ(port.ReadAvailable(buffer, 8), 0);
  EXPECT_EQ(device.deviceCalls, 0) << "no device call on a closed port";
  port.SetPortNumber(1);
  ASSERT_TRUE(port.Open("9600,N,8,1"));
  EXPECT_TRUE(port.Close());
  EXPECT_FALSE(port.Close());
  EXPECT_EQ(device.closeCount, 1);
}

TEST(SerialPort, DestructorClosesAnOpenPort) {
  FakeSerialDevice device;
  {
    SerialPort port(device);
    port.SetPortNumber(1);
    ASSERT_TRUE(port.Open("9600,N,8,1"));
  }
  EXPECT_FALSE(device.isOpen);
  EXPECT_EQ(device.closeCount, 1);
}

}  // namespace
}  // namespace wexlink::testing
