// The operating-system services the acquisition core needs, as small interfaces.
// Each back end (POSIX, Win32, and the fakes in the tests) implements them; the
// core never includes an OS header.
#pragma once

#include <cstdint>

namespace wexlink {

// One serial device. The core's SerialPort keeps the open/closed state and the
// port number; this interface only reaches the device.
class SerialDevice {
 public:
  virtual ~SerialDevice() = default;
  // Opens the device by its Windows-style name ("COM1:") with exclusive use and
  // applies the line definition ("9600,N,8,1"), raw, with no flow control, DTR
  // and RTS off and no break. Returns false, with nothing left open, when the
  // device cannot be opened or the definition is rejected.
  virtual bool Open(const char* deviceName, const char* lineDefinition) = 0;
  virtual void Close() = 0;
  // Bytes waiting in the input and output queues; leaves both untouched when
  // the device cannot say. Also clears any error state the line holds.
  virtual void QueryQueues(int32_t& inputQueue, int32_t& outputQueue) = 0;
  // Writes a block; returns the bytes written (0 when nothing moved).
  virtual int32_t Write(const uint8_t* data, int32_t count) = 0;
  // Reads up to count bytes that have already arrived; never waits.
  virtual int32_t Read(uint8_t* data, int32_t count) = 0;
};

// A periodic timer on a thread of its own.
class PeriodicTimer {
 public:
  using Callback = void (*)(void* context);
  virtual ~PeriodicTimer() = default;
  // Calls tick(context) every periodMs milliseconds, the first time one period
  // after the start. Returns false when the timer cannot be created.
  virtual bool Start(uint32_t periodMs, uint32_t resolutionMs, Callback tick, void* context) = 0;
  // Ends the ticking. Waits for a tick in progress; no tick starts after it
  // returns. Harmless when the timer is not running.
  virtual void Kill() = 0;
};

// Posts a notification to a window registered by the caller. Never waits for
// the receiver; a message that cannot be delivered is dropped.
class MessagePoster {
 public:
  virtual ~MessagePoster() = default;
  virtual void Post(intptr_t window, uint32_t message, uint32_t wParam, uint32_t lParam) = 0;
};

// Single accesses to the processor's I/O-port space.
class IoPorts {
 public:
  virtual ~IoPorts() = default;
  virtual uint8_t In8(uint16_t port) = 0;
  virtual uint16_t In16(uint16_t port) = 0;
  virtual uint32_t In32(uint16_t port) = 0;
  virtual void Out8(uint16_t port, uint8_t value) = 0;
  virtual void Out16(uint16_t port, uint16_t value) = 0;
  virtual void Out32(uint16_t port, uint32_t value) = 0;
};

// The value of a read from a port with nothing behind it: every bit of the
// access's width set, as a bus that nobody drives answers.
constexpr uint32_t AllOnes(unsigned width) {
  return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1u;
}

// Ports served alike at every width: the six calls become Read and Write of
// 1, 2 or 4 bytes (values little-endian, the x86 order).
class WidthIoPorts : public IoPorts {
 public:
  uint8_t In8(uint16_t port) final { return static_cast<uint8_t>(Read(port, 1)); }
  uint16_t In16(uint16_t port) final { return static_cast<uint16_t>(Read(port, 2)); }
  uint32_t In32(uint16_t port) final { return Read(port, 4); }
  void Out8(uint16_t port, uint8_t value) final { Write(port, value, 1); }
  void Out16(uint16_t port, uint16_t value) final { Write(port, value, 2); }
  void Out32(uint16_t port, uint32_t value) final { Write(port, value, 4); }

 protected:
  virtual uint32_t Read(uint16_t port, unsigned width) = 0;
  virtual void Write(uint16_t port, uint32_t value, unsigned width) = 0;
};

// Ports that hand every access on, unchanged, to the IoPorts that Target
// chooses for it.
class ForwardingIoPorts : public IoPorts {
 public:
  uint8_t In8(uint16_t port) final { return Target().In8(port); }
  uint16_t In16(uint16_t port) final { return Target().In16(port); }
  uint32_t In32(uint16_t port) final { return Target().In32(port); }
  void Out8(uint16_t port, uint8_t value) final { Target().Out8(port, value); }
  void Out16(uint16_t port, uint16_t value) final { Target().Out16(port, value); }
  void Out32(uint16_t port, uint32_t value) final { Target().Out32(port, value); }

 protected:
  virtual IoPorts& Target() = 0;
};

// No port access at all: writes do nothing and reads give all ones, as a bus
// with nothing behind the port answers.
class NoIoPorts final : public IoPorts {
 public:
  uint8_t In8(uint16_t /*port*/) override { return 0xFF; }
  uint16_t In16(uint16_t /*port*/) override { return 0xFFFF; }
  uint32_t In32(uint16_t /*port*/) override { return 0xFFFFFFFFu; }
  void Out8(uint16_t /*port*/, uint8_t /*value*/) override {}
  void Out16(uint16_t /*port*/, uint16_t /*value*/) override {}
  void Out32(uint16_t /*port*/, uint32_t /*value*/) override {}
};

struct Platform {
  SerialDevice& serial;
  PeriodicTimer& timer;
  MessagePoster& poster;
  IoPorts& ports;
};

// The back end linked into the shared library; defined once per platform.
Platform& DefaultPlatform();

}  // namespace wexlink
