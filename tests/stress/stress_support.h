// Test doubles for stress tests that run the driver with a real timer thread:
// a periodic timer that ticks from its own thread much faster than the run's
// period, and a thread-safe serial line with modules that answer every request
// with a fresh count. Both record what a run must never do once it is stopped.
#pragma once

#include <pthread.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "core/platform.h"

namespace wexlink::stress {

// Ticks every `interval` from a thread of its own, whatever period the run asks
// for, so that thousands of runs fit in seconds. Honours the timer contract:
// Kill waits for a tick in progress and no tick starts after it returns.
class ThreadTimer final : public PeriodicTimer {
 public:
  explicit ThreadTimer(std::chrono::microseconds interval) : interval_(interval) {}
  ~ThreadTimer() override { Kill(); }

  bool Start(uint32_t /*periodMs*/, uint32_t /*resolutionMs*/, Callback tick,
             void* context) override {
    if (thread_.joinable()) return false;
    stop_.store(false);
    thread_ = std::thread([this, tick, context] {
      while (!stop_.load(std::memory_order_acquire)) {
        tick(context);
        if (interval_.count() > 0) {
          std::this_thread::sleep_for(interval_);
        } else {
          std::this_thread::yield();
        }
      }
    });
    return true;
  }

  void Kill() override {
    stop_.store(true, std::memory_order_release);
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::chrono::microseconds interval_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Wraps another timer: starts it with a fixed short period instead of the
// run's, counts the ticks, and tells whether a tick is at work, so that a test
// can stop a run in the middle of one and catch a tick that outlives the stop.
class WatchedTimer final : public PeriodicTimer {
 public:
  WatchedTimer(PeriodicTimer& inner, uint32_t periodMs) : inner_(inner), periodMs_(periodMs) {}

  bool Start(uint32_t periodMs, uint32_t resolutionMs, Callback tick, void* context) override {
    requestedPeriodMs = periodMs;
    tick_ = tick;
    context_ = context;
    return inner_.Start(periodMs_, resolutionMs, &WatchedTimer::Tick, this);
  }
  void Kill() override { inner_.Kill(); }

  // Set by the test right after StopIntr returns, cleared before the next start.
  std::atomic<bool> stopped{true};
  std::atomic<uint64_t> ticks{0};
  std::atomic<bool> inTick{false};
  // Ticks that began, or were still at work, once `stopped` was set.
  std::atomic<uint64_t> lateTicks{0};
  // The thread that ran the last tick (0 before the first).
  std::atomic<pthread_t> tickThread{0};
  uint32_t requestedPeriodMs = 0;

 private:
  static void Tick(void* self) {
    auto& t = *static_cast<WatchedTimer*>(self);
    t.tickThread.store(pthread_self(), std::memory_order_release);
    if (t.stopped.load(std::memory_order_acquire)) t.lateTicks.fetch_add(1);
    t.inTick.store(true, std::memory_order_release);
    t.tick_(t.context_);
    t.inTick.store(false, std::memory_order_release);
    if (t.stopped.load(std::memory_order_acquire)) t.lateTicks.fetch_add(1);
    t.ticks.fetch_add(1, std::memory_order_acq_rel);
  }

  PeriodicTimer& inner_;
  uint32_t periodMs_;
  Callback tick_ = nullptr;
  void* context_ = nullptr;
};

// A serial line with up to 32 modules behind it. Each well-formed request is
// answered with all eight channels set to that module's reply count, starting
// at 1. The reply arrives after the step that sent the request has looked for
// input, as on a real line, and before the next step sends: it is queued when
// the next request is written. Any use of the line while it is closed is
// counted as a fault.
class ModuleLine final : public SerialDevice {
 public:
  bool Open(const char* /*deviceName*/, const char* /*lineDefinition*/) override {
    std::lock_guard lock(mutex_);
    incoming_.clear();
    pending_.clear();
    counts_.fill(0);
    open_ = true;
    return true;
  }

  void Close() override {
    std::lock_guard lock(mutex_);
    open_ = false;
  }

  void QueryQueues(int32_t& inputQueue, int32_t& outputQueue) override {
    std::lock_guard lock(mutex_);
    CheckOpen();
    inputQueue = static_cast<int32_t>(incoming_.size());
    outputQueue = 0;
  }

  int32_t Write(const uint8_t* data, int32_t count) override {
    std::lock_guard lock(mutex_);
    CheckOpen();
    writes.fetch_add(1, std::memory_order_relaxed);
    incoming_.insert(incoming_.end(), pending_.begin(), pending_.end());
    pending_.clear();
    if (count == 6 && data[0] == 0xAA && data[5] == 0x55 && data[3] < counts_.size()) {
      const uint16_t value = ++counts_[data[3]];
      pending_.push_back(0xAA);
      for (int i = 1; i <= 4; ++i) pending_.push_back(data[i]);  // echoes the request's middle
      for (int j = 0; j < 8; ++j) {
        pending_.push_back(static_cast<uint8_t>(value & 0xFF));
        pending_.push_back(static_cast<uint8_t>(value >> 8));
      }
      pending_.push_back(0x55);
    }
    return count;
  }

  int32_t Read(uint8_t* data, int32_t count) override {
    std::lock_guard lock(mutex_);
    CheckOpen();
    int32_t n = 0;
    while (n < count && !incoming_.empty()) {
      data[n++] = incoming_.front();
      incoming_.pop_front();
    }
    return n;
  }

  std::atomic<uint64_t> writes{0};
  std::atomic<uint64_t> usedWhileClosed{0};

 private:
  void CheckOpen() {
    if (!open_) usedWhileClosed.fetch_add(1, std::memory_order_relaxed);
  }

  std::mutex mutex_;
  bool open_ = false;
  std::deque<uint8_t> incoming_;
  std::vector<uint8_t> pending_;
  std::array<uint16_t, 32> counts_{};
};

class QuietPoster final : public MessagePoster {
 public:
  void Post(intptr_t, uint32_t, uint32_t, uint32_t) override {
    posts.fetch_add(1, std::memory_order_relaxed);
  }
  std::atomic<uint64_t> posts{0};
};

// Spins until `done` or the deadline; true when done.
template <typename Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

}  // namespace wexlink::stress
