#include "serial_port.h"

#include <algorithm>
#include <cstdio>

namespace wexlink {

void SerialPort::FormatDeviceName(int32_t port, char (&name)[16]) {
  std::snprintf(name, sizeof name, "COM%d:", static_cast<int>(port));
}

bool SerialPort::Open(const char* lineDefinition) {
  // A port is always reopened from scratch, so there is never a second handle.
  if (IsOpen()) Close();
  char name[16];
  FormatDeviceName(portNumber_, name);
  const bool opened = device_.Open(name, lineDefinition);
  if (opened) {
    // Clears whatever error state the line held when it was opened.
    int32_t in = 0, out = 0;
    device_.QueryQueues(in, out);
  }
  open_.store(opened, std::memory_order_release);
  return opened;
}

bool SerialPort::Close() {
  if (!IsOpen()) return false;
  device_.Close();
  open_.store(false, std::memory_order_release);
  return true;
}

bool SerialPort::QueryQueues(int32_t& inputQueue, int32_t& outputQueue) {
  if (!IsOpen()) return false;
  device_.QueryQueues(inputQueue, outputQueue);
  return true;
}

int32_t SerialPort::Write(const uint8_t* data, int32_t count) {
  if (!IsOpen()) return 0;
  return device_.Write(data, count);
}

int32_t SerialPort::ReadAvailable(uint8_t* data, int32_t wanted) {
  if (!IsOpen()) return 0;
  int32_t waiting = 0, outgoing = 0;
  QueryQueues(waiting, outgoing);
  const int32_t n = std::min(waiting, wanted);
  if (n <= 0) return 0;
  return device_.Read(data, n);
}

}  // namespace wexlink
