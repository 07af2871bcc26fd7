#include "fake_platform.h"

#include <algorithm>

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
  std::vector<uint8_t> reply(22, 0);
  reply[0] = 0xAA;
  reply[1] = 0x03;
  reply[2] = 0x01;
  reply[3] = 0x00;
  reply[4] = 0x10;
  for (std::size_t j = 0; j < 8 && j < values.size(); ++j) {
    reply[5 + 2 * j] = static_cast<uint8_t>(values[j] & 0xFF);
    reply[6 + 2 * j] = static_cast<uint8_t>(values[j] >> 8);
  }
  reply[21] = 0x55;
  return reply;
}

std::vector<uint8_t> MakeReply(uint16_t base) {
  std::vector<uint16_t> values;
  for (uint16_t j = 0; j < 8; ++j) values.push_back(static_cast<uint16_t>(base + j));
  return MakeReply(values);
}

}  // namespace wexlink::testing
