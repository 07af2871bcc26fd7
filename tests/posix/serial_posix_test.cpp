#include "platform/posix/serial_posix.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/serial_port.h"
#include "platform/posix/termios2_speed.h"
#include "posix_test_util.h"

namespace wexlink::posix {
namespace {

using namespace std::chrono_literals;
using testing::Pty;
using testing::ScopedEnv;
using testing::TempDir;

// ---- Device names -----------------------------------------------------------

struct NameCase {
  const char* name;
  const char* path;  // nullptr: the name is refused
};

class DeviceName : public ::testing::TestWithParam<NameCase> {};

TEST_P(DeviceName, MapsToTheSerialDeviceOrIsRefused) {
  // Without the variables, the n-th COM port is the (n-1)-th 8250 port.
  ScopedEnv com1("WEXLINK_COM1", std::nullopt);
  ScopedEnv com12("WEXLINK_COM12", std::nullopt);
  const auto path = SerialDevicePath(GetParam().name);
  if (GetParam().path == nullptr) {
    EXPECT_FALSE(path.has_value()) << *path;
  } else {
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(*path, GetParam().path);
  }
}

INSTANTIATE_TEST_SUITE_P(Names, DeviceName,
                         ::testing::Values(NameCase{"COM1:", "/dev/ttyS0"},
                                           NameCase{"COM12:", "/dev/ttyS11"},
                                           NameCase{"com3:", "/dev/ttyS2"},
                                           NameCase{"COM65535:", "/dev/ttyS65534"},
                                           NameCase{"COM0:", nullptr}, NameCase{"COM01:", nullptr},
                                           NameCase{"COM1", nullptr}, NameCase{"COM:", nullptr},
                                           NameCase{"COMx:", nullptr}, NameCase{"LPT1:", nullptr},
                                           NameCase{"COM1:x", nullptr}, NameCase{"COM-1:", nullptr},
                                           NameCase{"COM1234567890:", nullptr},
                                           NameCase{"", nullptr}, NameCase{"/dev/ttyS0", nullptr}));

TEST(DeviceNameEnvironment, VariableOfThatPortNamesTheDevice) {
  ScopedEnv com1("WEXLINK_COM1", "/dev/serial/by-id/usb-adapter-if00-port0");
  ScopedEnv com12("WEXLINK_COM12", "/dev/ttyUSB3");
  EXPECT_EQ(SerialDevicePath("COM1:"), "/dev/serial/by-id/usb-adapter-if00-port0");
  EXPECT_EQ(SerialDevicePath("COM12:"), "/dev/ttyUSB3");
  // COM12's variable is not COM1's, and vice versa.
  EXPECT_EQ(SerialDevicePath("COM2:"), "/dev/ttyS1");
}

TEST(DeviceNameEnvironment, EmptyVariableCountsAsUnset) {
  ScopedEnv com4("WEXLINK_COM4", "");
  EXPECT_EQ(SerialDevicePath("COM4:"), "/dev/ttyS3");
}

// ---- Line settings ----------------------------------------------------------

struct TermiosCase {
  LineSettings settings;
  tcflag_t size;
  tcflag_t parityBits;  // of PARENB | PARODD | CMSPAR
  bool twoStopBits;
};

class LineSettingsToTermios : public ::testing::TestWithParam<TermiosCase> {};

TEST_P(LineSettingsToTermios, RawWithoutFlowControl) {
  // Start from a line with every option on, as another program may leave it.
  termios t{};
  std::memset(&t, 0xFF, sizeof t);
  ApplyLineSettings(t, GetParam().settings);

  EXPECT_EQ(t.c_cflag & CSIZE, GetParam().size);
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), GetParam().parityBits);
  EXPECT_EQ((t.c_cflag & CSTOPB) != 0, GetParam().twoStopBits);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD);
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | BRKINT |
                         PARMRK | IGNBRK),
            0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ECHONL | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, LineSettingsToTermios,
    ::testing::Values(
        TermiosCase{{9600, Parity::None, 8, StopBits::One}, CS8, 0, false},
        TermiosCase{{9600, Parity::Even, 7, StopBits::Two}, CS7, PARENB, true},
        TermiosCase{{300, Parity::Odd, 5, StopBits::OnePointFive}, CS5, PARENB | PARODD, true},
        TermiosCase{{1200, Parity::Mark, 6, StopBits::One}, CS6, PARENB | PARODD | CMSPAR, false},
        TermiosCase{{1200, Parity::Space, 8, StopBits::One}, CS8, PARENB | CMSPAR, false}));

TEST(StandardSpeed, KnowsTheFixedRatesOnly) {
  EXPECT_EQ(StandardSpeed(9600), B9600);
  EXPECT_EQ(StandardSpeed(115200), B115200);
  EXPECT_FALSE(StandardSpeed(12345).has_value());
  EXPECT_FALSE(StandardSpeed(0).has_value());
}

// ---- The device on a pseudo-terminal ------------------------------------------

class SerialOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    env.emplace("WEXLINK_COM7", pty.slavePath());
  }

  // Waits until the slave's input queue holds `count` bytes.
  void WaitForInput(PosixSerialDevice& device, int32_t count) {
    const auto end = std::chrono::steady_clock::now() + 1s;
    int32_t in = -1, out = -1;
    while (std::chrono::steady_clock::now() < end) {
      device.QueryQueues(in, out);
      if (in >= count) return;
      std::this_thread::sleep_for(1ms);
    }
    FAIL() << "input queue holds " << in << " bytes, expected " << count;
  }

  Pty pty;
  std::optional<ScopedEnv> env;
};

TEST_F(SerialOnPty, OpensRawNonBlockingAt9600) {
  PosixSerialDevice device;
  ASSERT_TRUE(device.Open("COM7:", "9600,N,8,1"));
  const int fd = device.NativeHandle();
  ASSERT_GE(fd, 0);
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);

  termios t{};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B9600);
  EXPECT_EQ(cfgetispeed(&t), B9600);
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), CS8);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);

  // Exclusive mode on the device while it is open, and off after the close.
  int exclusive = 0;
  ASSERT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  device.Close();
  const int other = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  ::close(other);
}

TEST_F(SerialOnPty, SecondOpenFailsWhileOpenAndSucceedsAfterClose) {
  PosixSerialDevice first, second;
  ASSERT_TRUE(first.Open("COM7:", "9600,N,8,1"));
  EXPECT_FALSE(second.Open("COM7:", "9600,N,8,1"));
  EXPECT_EQ(second.NativeHandle(), -1);

  // The same device under another name is the same device.
  TempDir dir;
  const std::string link = dir.File("com-link");
  ASSERT_EQ(symlink(pty.slavePath().c_str(), link.c_str()), 0);
  ScopedEnv com8("WEXLINK_COM8", link);
  EXPECT_FALSE(second.Open("COM8:", "9600,N,8,1"));

  first.Close();
  EXPECT_TRUE(second.Open("COM8:", "9600,N,8,1"));
}

TEST_F(SerialOnPty, RejectedDefinitionLeavesNothingOpen) {
  PosixSerialDevice device;
  EXPECT_FALSE(device.Open("COM7:", "9600,N,9,1"));
  EXPECT_EQ(device.NativeHandle(), -1);
  // Nor a lock that would keep the next opener out.
  PosixSerialDevice other;
  EXPECT_TRUE(other.Open("COM7:", "9600,N,8,1"));
}

TEST_F(SerialOnPty, OpenReplacesAnOpenDevice) {
  PosixSerialDevice device;
  ASSERT_TRUE(device.Open("COM7:", "9600,N,8,1"));
  // Opening again must not trip over its own lock.
  ASSERT_TRUE(device.Open("COM7:", "19200,N,8,1"));
  termios t{};
  ASSERT_EQ(tcgetattr(device.NativeHandle(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B19200);
}

TEST_F(SerialOnPty, RefusesWhatIsNoSerialLine) {
  PosixSerialDevice device;
  EXPECT_FALSE(device.Open("COM0:", "9600,N,8,1"));
  EXPECT_FALSE(device.Open(nullptr, "9600,N,8,1"));
  EXPECT_FALSE(device.Open("COM7:", nullptr));

  TempDir dir;
  ScopedEnv missing("WEXLINK_COM9", dir.File("no-such-device"));
  EXPECT_FALSE(device.Open("COM9:", "9600,N,8,1"));

  const std::string plain = dir.File("plain-file");
  std::ofstream(plain) << "not a terminal";
  ScopedEnv file("WEXLINK_COM9", plain);
  EXPECT_FALSE(device.Open("COM9:", "9600,N,8,1"));
  EXPECT_EQ(device.NativeHandle(), -1);
}

TEST_F(SerialOnPty, SpeedsBeyondTheFixedRates) {
  PosixSerialDevice device;
  ASSERT_TRUE(device.Open("COM7:", "12345,N,8,1"));
  EXPECT_EQ(ReadBaudRate(device.NativeHandle()), 12345u);
  ASSERT_TRUE(device.Open("COM7:", "96,N,8,1"));
  EXPECT_EQ(ReadBaudRate(device.NativeHandle()), 9600u);
  ASSERT_TRUE(device.Open("COM7:", "baud=250000"));
  EXPECT_EQ(ReadBaudRate(device.NativeHandle()), 250000u);
}

TEST_F(SerialOnPty, RateZeroDoesNotHangTheLineUp) {
  PosixSerialDevice device;
  ASSERT_TRUE(device.Open("COM7:", "4800,N,8,1"));
  ASSERT_TRUE(device.Open("COM7:", "0,N,8,1"));
  termios t{};
  ASSERT_EQ(tcgetattr(device.NativeHandle(), &t), 0);
  EXPECT_NE(cfgetospeed(&t), B0);
  // The line keeps the speed it had: no rate of 0 reaches the driver.
  EXPECT_EQ(ReadBaudRate(device.NativeHandle()), 4800u);
}

TEST_F(SerialOnPty, WritesReachTheOtherEnd) {
  PosixSerialDevice device;
  ASSERT_TRUE(device.Open("COM7:", "9600,N,8,1"));
  // Bytes that a cooked line would change: CR, LF, XON, XOFF, ^C.
  const std::vector<uint8_t> request{0xAA, 0x03, 0x0D, 0x0A, 0x11, 0x13, 0x03, 0x55};
  EXPECT_EQ(device.Write(request.data(), static_cast<int32_t>(request.size())), 8);
  EXPECT_EQ(pty.Receive(8), request);
  EXPECT_EQ(device.Write(request.data(), 0), 0);
  EXPECT_EQ(device.Write(nullptr, 4), 0);
}

TEST_F(SerialOnPty, ReadTakesWhatHasArrivedAndNeverWaits) {
  PosixSerialDevice device;
  ASSERT_TRUE(device.Open("COM7:", "9600,N,8,1"));
  uint8_t buffer[64];

  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(device.Read(buffer, sizeof buffer), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 50ms);

  std::vector<uint8_t> sent(30);
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(0xF0 - i);
  sent[3] = 0x0D;  // must arrive unchanged
  pty.Send(sent);
  WaitForInput(device, 30);

  ASSERT_EQ(device.Read(buffer, 22), 22);
  EXPECT_TRUE(std::equal(sent.begin(), sent.begin() + 22, buffer));
  int32_t in = -1, out = -1;
  device.QueryQueues(in, out);
  EXPECT_EQ(in, 8);
  EXPECT_EQ(out, 0);
  ASSERT_EQ(device.Read(buffer, sizeof buffer), 8);
  EXPECT_TRUE(std::equal(sent.begin() + 22, sent.end(), buffer));
}

TEST_F(SerialOnPty, CorePortReadsNoMoreThanWanted) {
  PosixSerialDevice device;
  SerialPort port(device);
  port.SetPortNumber(7);
  ASSERT_TRUE(port.Open("9600,N,8,1"));
  pty.Send(std::vector<uint8_t>(30, 0x5A));
  WaitForInput(device, 30);
  uint8_t buffer[64];
  EXPECT_EQ(port.ReadAvailable(buffer, 22), 22);
  EXPECT_EQ(port.ReadAvailable(buffer, 0), 0);
  EXPECT_EQ(port.ReadAvailable(buffer, 64), 8);
  EXPECT_EQ(port.ReadAvailable(buffer, 64), 0);
  EXPECT_TRUE(port.Close());
  EXPECT_EQ(device.NativeHandle(), -1);
}

TEST_F(SerialOnPty, ClosedDeviceDoesNothing) {
  PosixSerialDevice device;
  uint8_t buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(device.Write(buffer, 8), 0);
  EXPECT_EQ(device.Read(buffer, 8), 0);
  int32_t in = 1234, out = 5678;
  device.QueryQueues(in, out);
  EXPECT_EQ(in, 1234);
  EXPECT_EQ(out, 5678);
  device.Close();
  device.Close();
}

TEST_F(SerialOnPty, LineThatGoesAwayReportsNothingMovedAndStillCloses) {
  PosixSerialDevice device;
  SerialPort port(device);
  port.SetPortNumber(7);
  ASSERT_TRUE(port.Open("9600,N,8,1"));
  pty.Send({1, 2, 3});
  WaitForInput(device, 3);
  pty.CloseMaster();  // the adapter is pulled

  const auto before = std::chrono::steady_clock::now();
  uint8_t buffer[32] = {};
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(port.Write(buffer, 6), 0);
    EXPECT_EQ(port.ReadAvailable(buffer, 22), 0);
    int32_t in = -7, out = -7;
    port.QueryQueues(in, out);
    EXPECT_EQ(in, -7);  // the device cannot tell: left as it was
    EXPECT_EQ(out, -7);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
  EXPECT_TRUE(port.Close());
  // The pseudo-terminal is gone for good; a real adapter would come back.
  EXPECT_FALSE(port.Open("9600,N,8,1"));
  EXPECT_FALSE(port.IsOpen());
}

TEST_F(SerialOnPty, ReopensAfterClose) {
  PosixSerialDevice device;
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(device.Open("COM7:", "9600,N,8,1")) << "round " << round;
    const uint8_t byte = static_cast<uint8_t>(0x40 + round);
    ASSERT_EQ(device.Write(&byte, 1), 1);
    EXPECT_EQ(pty.Receive(1), std::vector<uint8_t>{byte});
    device.Close();
    EXPECT_EQ(device.NativeHandle(), -1);
  }
}

// Bytes that reached the line while nobody had it open (a reply to the last
// request of a run stopped just before) belong to no request of the new run:
// taken with its first reply they would make that reply a miss.
TEST_F(SerialOnPty, OpenDiscardsWhatArrivedWhileClosed) {
  PosixSerialDevice device;
  ASSERT_TRUE(device.Open("COM7:", "9600,N,8,1"));
  device.Close();
  pty.Send({0xAA, 1, 2, 3});
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(device.Open("COM7:", "9600,N,8,1"));
  int32_t in = -1, out = -1;
  device.QueryQueues(in, out);
  EXPECT_EQ(in, 0);
  pty.Send({0x55});
  WaitForInput(device, 1);
  uint8_t byte = 0;
  EXPECT_EQ(device.Read(&byte, 1), 1);
  EXPECT_EQ(byte, 0x55);
}

}  // namespace
}  // namespace wexlink::posix
