#include "platform/posix/serial_posix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix/termios2_speed.h"
#include "wexlink_com_device.h"

namespace wexlink::posix {
namespace {

// Retries a system call that a signal interrupted before it did anything.
template <typename Call>
auto RetryOnInterrupt(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

// Sets the fixed line definition, then the speed. A speed that the driver
// refuses is left as it was: the port still opens, as it does on Windows, where
// the result of applying the settings is not examined.
void ConfigureLine(int fd, const LineSettings& settings) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) std::memset(&t, 0, sizeof t);
  ApplyLineSettings(t, settings);
  const auto standard = StandardSpeed(settings.baudRate);
  if (standard) {
    cfsetispeed(&t, *standard);
    cfsetospeed(&t, *standard);
  }
  tcsetattr(fd, TCSANOW, &t);
  // Rate 0 would hang the line up (B0 drops DTR), so it keeps the old speed.
  if (!standard && settings.baudRate != 0) SetArbitraryBaudRate(fd, settings.baudRate);
}

}  // namespace

std::optional<std::string> SerialDevicePath(std::string_view deviceName) {
  if (deviceName.size() < 5) return std::nullopt;
  for (std::size_t i = 0; i < 3; ++i) {
    if (std::toupper(static_cast<unsigned char>(deviceName[i])) != "COM"[i]) return std::nullopt;
  }
  if (deviceName.back() != ':') return std::nullopt;
  const std::string_view digits = deviceName.substr(3, deviceName.size() - 4);
  if (digits.empty() || digits.size() > 9 || digits[0] == '0') return std::nullopt;
  unsigned long number = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<unsigned long>(c - '0');
  }
  return ComDevicePath(number);
}

std::optional<speed_t> StandardSpeed(uint32_t baud) {
  struct Entry {
    uint32_t baud;
    speed_t speed;
  };
  static constexpr Entry kSpeeds[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},
      {150, B150},         {200, B200},         {300, B300},         {600, B600},
      {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
      {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
      {115200, B115200},   {230400, B230400},
#ifdef B460800
      {460800, B460800},
#endif
#ifdef B500000
      {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
      {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
      {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
  };
  for (const auto& entry : kSpeeds) {
    if (entry.baud == baud) return entry.speed;
  }
  return std::nullopt;
}

void ApplyLineSettings(termios& t, const LineSettings& settings) {
  // Raw: no translation, no echo, no signals, no line editing.
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF | IXANY | INPCK | IMAXBEL);
#ifdef IUCLC
  t.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);

  tcflag_t clear = CSIZE | PARENB | PARODD | CSTOPB;
#ifdef CRTSCTS
  clear |= CRTSCTS;
#endif
#ifdef CMSPAR
  clear |= CMSPAR;
#endif
  t.c_cflag &= ~clear;
  t.c_cflag |= CLOCAL | CREAD;
  switch (settings.dataBits) {
    case 5:
      t.c_cflag |= CS5;
      break;
    case 6:
      t.c_cflag |= CS6;
      break;
    case 7:
      t.c_cflag |= CS7;
      break;
    default:
      t.c_cflag |= CS8;
      break;
  }
  switch (settings.parity) {
    case Parity::None:
      break;
    case Parity::Even:
      t.c_cflag |= PARENB;
      break;
    case Parity::Odd:
      t.c_cflag |= PARENB | PARODD;
      break;
#ifdef CMSPAR
    // Stick parity: with CMSPAR, PARODD selects a parity bit of 1 (mark).
    case Parity::Mark:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case Parity::Space:
      t.c_cflag |= PARENB | CMSPAR;
      break;
#else
    case Parity::Mark:
    case Parity::Space:
      break;
#endif
  }
  // A UART sends 1.5 stop bits for 5-bit characters when asked for 2; Linux
  // has no other way to ask for 1.5.
  if (settings.stopBits != StopBits::One) t.c_cflag |= CSTOPB;

  // A read returns at once with what has arrived.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
}

bool PosixSerialDevice::Open(const char* deviceName, const char* lineDefinition) {
  Close();
  if (deviceName == nullptr || lineDefinition == nullptr) return false;
  const auto path = SerialDevicePath(deviceName);
  const auto settings = ParseLineDefinition(lineDefinition);
  if (!path || !settings) return false;

  const int fd = RetryOnInterrupt(
      [&] { return ::open(path->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
  if (fd < 0) return false;
  // Only a terminal is a serial line; a plain file or a pipe is refused.
  // Exclusive use: the lock keeps out every other opener that locks too (this
  // library in another process included, root or not); TIOCEXCL keeps out
  // other programs that are not root. The exclusive mode is set only once the
  // lock is ours, since it belongs to the device, not to this descriptor.
  if (!isatty(fd) || RetryOnInterrupt([&] { return flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
    ::close(fd);
    return false;
  }
  ioctl(fd, TIOCEXCL);

  ConfigureLine(fd, *settings);
  // DTR and RTS off, no break. Pseudo-terminals have no modem lines and refuse
  // these requests; that is no reason to fail.
  int modemLines = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd, TIOCMBIC, &modemLines);
  ioctl(fd, TIOCCBRK);
  // What reached the line while it was closed (a late reply to the previous
  // run's last request) answers no request of this run: taken in with the
  // first reply, it would make that reply a miss.
  tcflush(fd, TCIOFLUSH);

  fd_.store(fd, std::memory_order_release);
  return true;
}

void PosixSerialDevice::Close() {
  const int fd = fd_.exchange(-1, std::memory_order_acq_rel);
  if (fd < 0) return;
  ioctl(fd, TIOCNXCL);
  // The lock goes with the descriptor. close is not retried: on Linux the
  // descriptor is gone even when close reports EINTR.
  ::close(fd);
}

void PosixSerialDevice::QueryQueues(int32_t& inputQueue, int32_t& outputQueue) {
  const int fd = NativeHandle();
  if (fd < 0) return;
  // Each count is left as it was when the device cannot give it (a line that
  // has hung up answers EIO).
  int waiting = 0;
  if (ioctl(fd, FIONREAD, &waiting) == 0) inputQueue = waiting;
  int pending = 0;
  if (ioctl(fd, TIOCOUTQ, &pending) == 0) outputQueue = pending;
}

int32_t PosixSerialDevice::Write(const uint8_t* data, int32_t count) {
  const int fd = NativeHandle();
  if (fd < 0 || data == nullptr || count <= 0) return 0;
  // A terminal never raises SIGPIPE; a line that has gone away answers EIO.
  const ssize_t n =
      RetryOnInterrupt([&] { return ::write(fd, data, static_cast<std::size_t>(count)); });
  return n > 0 ? static_cast<int32_t>(n) : 0;
}

int32_t PosixSerialDevice::Read(uint8_t* data, int32_t count) {
  const int fd = NativeHandle();
  if (fd < 0 || data == nullptr || count <= 0) return 0;
  // Non-blocking descriptor and VMIN = VTIME = 0: never waits.
  const ssize_t n =
      RetryOnInterrupt([&] { return ::read(fd, data, static_cast<std::size_t>(count)); });
  return n > 0 ? static_cast<int32_t>(n) : 0;
}

}  // namespace wexlink::posix
