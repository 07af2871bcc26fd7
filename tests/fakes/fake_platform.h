// Fakes of the platform interfaces: a scripted serial line, a timer the test
// steps by hand, a recording message poster and a recording I/O-port space.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/platform.h"

namespace wexlink::testing {

class FakeSerialDevice final : public SerialDevice {
 public:
  bool Open(const char* deviceName, const char* lineDefinition) override;
  void Close() override;
  void QueryQueues(int32_t& inputQueue, int32_t& outputQueue) override;
  int32_t Write(const uint8_t* data, int32_t count) override;
  int32_t Read(uint8_t* data, int32_t count) override;

  // Bytes that arrive on the line and wait in the input queue.
  void Deliver(const std::vector<uint8_t>& bytes);
  std::size_t Waiting() const { return incoming_.size(); }

  // Configuration.
  bool deviceExists = true;      // false: Open fails like a missing device
  bool acceptDefinition = true;  // false: the line definition is rejected
  int32_t writeResult = -1;      // -1: all bytes written; otherwise this count
  // Called after every write with the bytes written (a scripted module).
  std::function<void(const std::vector<uint8_t>&)> onWrite;

  // What happened.
  bool isOpen = false;
  int openCount = 0;
  int closeCount = 0;
  int deviceCalls = 0;  // every call into the device
  int readCalls = 0;
  std::string lastDeviceName;
  std::string lastDefinition;
  std::vector<std::vector<uint8_t>> writes;

 private:
  std::deque<uint8_t> incoming_;
};

class ManualTimer final : public PeriodicTimer {
 public:
  bool Start(uint32_t periodMs, uint32_t resolutionMs, Callback tick, void* context) override;
  void Kill() override;
  // One tick, as the timer thread would run it; false when not running.
  bool Fire();

  bool startResult = true;
  bool running = false;
  int startCount = 0;
  int killCount = 0;
  uint32_t periodMs = 0;
  uint32_t resolutionMs = 0;

 private:
  Callback tick_ = nullptr;
  void* context_ = nullptr;
};

struct PostedMessage {
  intptr_t window;
  uint32_t message;
  uint32_t wParam;
  uint32_t lParam;
  bool operator==(const PostedMessage&) const = default;
};

class RecordingPoster final : public MessagePoster {
 public:
  void Post(intptr_t window, uint32_t message, uint32_t wParam, uint32_t lParam) override {
    posted.push_back({window, message, wParam, lParam});
  }
  std::vector<PostedMessage> posted;
};

struct PortAccess {
  char kind;  // 'b', 'w' or 'd'
  uint16_t port;
  uint32_t value;
  bool operator==(const PortAccess&) const = default;
};

class RecordingPorts final : public IoPorts {
 public:
  uint8_t In8(uint16_t port) override;
  uint16_t In16(uint16_t port) override;
  uint32_t In32(uint16_t port) override;
  void Out8(uint16_t port, uint8_t value) override { writes.push_back({'b', port, value}); }
  void Out16(uint16_t port, uint16_t value) override { writes.push_back({'w', port, value}); }
  void Out32(uint16_t port, uint32_t value) override { writes.push_back({'d', port, value}); }

  std::map<uint16_t, uint32_t> readValues;
  std::vector<PortAccess> reads;
  std::vector<PortAccess> writes;
};

struct FakePlatform {
  FakeSerialDevice serial;
  ManualTimer timer;
  RecordingPoster poster;
  RecordingPorts ports;
  Platform platform() { return Platform{serial, timer, poster, ports}; }
};

// A 22-byte module reply carrying eight channel values.
std::vector<uint8_t> MakeReply(const std::vector<uint16_t>& values);
std::vector<uint8_t> MakeReply(uint16_t base);  // values base, base+1, ..., base+7

}  // namespace wexlink::testing
