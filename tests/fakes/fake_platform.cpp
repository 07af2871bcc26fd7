#include "fake_platform.h"

#include <algorithm>

#include "frames.h"

namespace wexlink::testing {

bool FakeSerialDevice::Open(const char* deviceName, const char* lineDefinition) {
  ++deviceCalls;
  lastDeviceName = deviceName;
  lastDefinition = lineDefinition;
  if (!deviceExists || !acceptDefinition) return false;
  isOpen = true;
  ++openCount;
  return true;
}

void FakeSerialDevice::Close() {
  ++deviceCalls;
  isOpen = false;
  ++closeCount;
}

void FakeSerialDevice::QueryQueues(int32_t& inputQueue, int32_t& outputQueue) {
  ++deviceCalls;
  inputQueue = static_cast<int32_t>(incoming_.size());
  outputQueue = 0;
}

int32_t FakeSerialDevice::Write(const uint8_t* data, int32_t count) {
  ++deviceCalls;
  std::vector<uint8_t> bytes(data, data + count);
  writes.push_back(bytes);
  if (onWrite) onWrite(bytes);
  return writeResult < 0 ? count : std::min(writeResult, count);
}

int32_t FakeSerialDevice::Read(uint8_t* data, int32_t count) {
  ++deviceCalls;
  ++readCalls;
  const auto n =
      std::min<std::size_t>(static_cast<std::size_t>(std::max(count, 0)), incoming_.size());
  std::copy_n(incoming_.begin(), n, data);
  incoming_.erase(incoming_.begin(), incoming_.begin() + static_cast<std::ptrdiff_t>(n));
  return static_cast<int32_t>(n);
}

void FakeSerialDevice::Deliver(const std::vector<uint8_t>& bytes) {
  incoming_.insert(incoming_.end(), bytes.begin(), bytes.end());
}

bool ManualTimer::Start(uint32_t period, uint32_t resolution, Callback tick, void* context) {
  ++startCount;
  periodMs = period;
  resolutionMs = resolution;
  if (!startResult) return false;
  tick_ = tick;
  context_ = context;
  running = true;
  return true;
}

void ManualTimer::Kill() {
  ++killCount;
  running = false;
}

bool ManualTimer::Fire() {
  if (!running || tick_ == nullptr) return false;
  tick_(context_);
  return true;
}

uint8_t RecordingPorts::In8(uint16_t port) {
  const uint32_t v = readValues.count(port) ? readValues[port] : 0xFFFFFFFFu;
  reads.push_back({'b', port, v & 0xFFu});
  return static_cast<uint8_t>(v);
}

uint16_t RecordingPorts::In16(uint16_t port) {
  const uint32_t v = readValues.count(port) ? readValues[port] : 0xFFFFFFFFu;
  reads.push_back({'w', port, v & 0xFFFFu});
  return static_cast<uint16_t>(v);
}

uint32_t RecordingPorts::In32(uint16_t port) {
  const uint32_t v = readValues.count(port) ? readValues[port] : 0xFFFFFFFFu;
  reads.push_back({'d', port, v});
  return v;
}

std::vector<uint8_t> MakeReply(const std::vector<uint16_t>& values) {
  return test_support::ReplyFrame(0x01, 0x00, values);
}

std::vector<uint8_t> MakeReply(uint16_t base) { return MakeReply(test_support::ValuesFrom(base)); }

}  // namespace wexlink::testing
