// A lean fake platform for the benchmarks: a serial line whose module answers
// every request at once with a ready 22-byte reply, without allocating, and a
// timer, poster and port space that do nothing. The line counts every call the
// core makes into it, so a benchmark can report serial calls per tick.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "core/platform.h"

namespace wexlink::bench {

inline constexpr int32_t kReplyBytes = 22;

class LeanSerialDevice final : public SerialDevice {
 public:
  LeanSerialDevice() {
    reply_.fill(0);
    reply_[0] = 0xAA;
    reply_[1] = 0x03;
    for (int j = 0; j < 8; ++j) {
      reply_[static_cast<std::size_t>(5 + 2 * j)] = static_cast<uint8_t>(0x10 + j);
      reply_[static_cast<std::size_t>(6 + 2 * j)] = 0x7D;
    }
    reply_[21] = 0x55;
  }

  bool Open(const char* /*deviceName*/, const char* /*lineDefinition*/) override {
    ++calls;
    return true;
  }
  void Close() override { ++calls; }
  void QueryQueues(int32_t& inputQueue, int32_t& outputQueue) override {
    ++calls;
    inputQueue = pending_;
    outputQueue = 0;
  }
  // Every request is answered at once: the reply is waiting by the next query.
  int32_t Write(const uint8_t* /*data*/, int32_t count) override {
    ++calls;
    pending_ = kReplyBytes;
    return count;
  }
  int32_t Read(uint8_t* data, int32_t count) override {
    ++calls;
    const int32_t n = std::min(count, pending_);
    if (n <= 0) return 0;
    std::memcpy(data, reply_.data() + (kReplyBytes - pending_), static_cast<std::size_t>(n));
    pending_ -= n;
    return n;
  }

  uint64_t calls = 0;

 private:
  std::array<uint8_t, kReplyBytes> reply_{};
  int32_t pending_ = 0;
};

// Starts nothing: the benchmark calls RunTick itself.
class IdleTimer final : public PeriodicTimer {
 public:
  bool Start(uint32_t /*periodMs*/, uint32_t /*resolutionMs*/, Callback /*tick*/,
             void* /*context*/) override {
    return true;
  }
  void Kill() override {}
};

class NullPoster final : public MessagePoster {
 public:
  void Post(intptr_t /*window*/, uint32_t /*message*/, uint32_t /*wParam*/,
            uint32_t /*lParam*/) override {}
};

struct LeanPlatform {
  LeanSerialDevice serial;
  IdleTimer timer;
  NullPoster poster;
  NoIoPorts ports;
  Platform platform() { return Platform{serial, timer, poster, ports}; }
};

}  // namespace wexlink::bench
