// The serial device on POSIX systems: a terminal device opened raw, with
// exclusive use, non-blocking.
#pragma once

#include <termios.h>

#include <atomic>
#include <optional>
#include <string>
#include <string_view>

#include "core/platform.h"
#include "platform/posix/line_definition.h"

namespace wexlink::posix {

// The device file behind a Windows-style device name "COM<n>:", by the rule in
// wexlink_com_device.h (WEXLINK_COM<n>, else /dev/ttyS<n-1>). Nothing for a
// name of another form (n is 1 or more, written without leading zeros).
std::optional<std::string> SerialDevicePath(std::string_view deviceName);

// Puts `settings` into `t`: raw bytes both ways, receiver on, modem status
// lines ignored, no hardware or software flow control, reads that never wait.
// The speed is set separately.
void ApplyLineSettings(termios& t, const LineSettings& settings);

// The Bxxx constant for a standard rate.
std::optional<speed_t> StandardSpeed(uint32_t baud);

class PosixSerialDevice final : public SerialDevice {
 public:
  PosixSerialDevice() = default;
  ~PosixSerialDevice() override { Close(); }
  PosixSerialDevice(const PosixSerialDevice&) = delete;
  PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

  bool Open(const char* deviceName, const char* lineDefinition) override;
  void Close() override;
  void QueryQueues(int32_t& inputQueue, int32_t& outputQueue) override;
  int32_t Write(const uint8_t* data, int32_t count) override;
  int32_t Read(uint8_t* data, int32_t count) override;

  // The open file descriptor, -1 when closed.
  int NativeHandle() const { return fd_.load(std::memory_order_acquire); }

 private:
  // Opened and closed on the caller's thread, used on the timer thread; the
  // timer is stopped before the device is closed.
  std::atomic<int> fd_{-1};
};

}  // namespace wexlink::posix
