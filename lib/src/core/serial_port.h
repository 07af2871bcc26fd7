// The library's one serial port: its open state and port number, and the
// operations the poll cycle uses, over a platform SerialDevice.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform.h"

namespace wexlink {

class SerialPort {
 public:
  explicit SerialPort(SerialDevice& device) : device_(device) {}
  ~SerialPort() { Close(); }
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  bool IsOpen() const { return open_.load(std::memory_order_acquire); }
  // Opens COM<PortNumber()>: with a line definition; an open port is closed first.
  bool Open(const char* lineDefinition);
  bool Close();
  bool QueryQueues(int32_t& inputQueue, int32_t& outputQueue);
  int32_t Write(const uint8_t* data, int32_t count);
  // Reads at most `wanted` bytes, and never more than are already waiting.
  int32_t ReadAvailable(uint8_t* data, int32_t wanted);

  int32_t PortNumber() const { return portNumber_; }
  void SetPortNumber(int32_t port) { portNumber_ = port; }

  // "COM%d:" for a port number, into a buffer of at least 16 bytes.
  static void FormatDeviceName(int32_t port, char (&name)[16]);

 private:
  SerialDevice& device_;
  std::atomic<bool> open_{false};
  int32_t portNumber_ = 0;
};

}  // namespace wexlink
