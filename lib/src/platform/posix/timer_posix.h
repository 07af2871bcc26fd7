// The periodic timer on POSIX systems: a thread of its own that sleeps to
// absolute deadlines on the monotonic clock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/platform.h"

namespace wexlink::posix {

// Ticks one period after the start and then on every multiple of the period
// from it, so lateness never accumulates. A thread that falls behind by more
// than a period (a tick that ran long, a suspended machine) skips the deadlines
// it missed instead of making them up in a burst.
//
// The timer thread runs with all asynchronous signals blocked, so that signals
// meant for the process reach the caller's threads.
//
// Start and Kill are called from one thread at a time (the caller's thread).
// The tick must not call Start or Kill: Kill cannot wait for the tick that
// calls it. Should it happen anyway, Kill from inside a tick only stops the
// ticks that would follow, and Start from inside a tick fails.
class PosixPeriodicTimer final : public PeriodicTimer {
 public:
  PosixPeriodicTimer() = default;
  // Kills a running timer: the thread must be gone before the object is.
  ~PosixPeriodicTimer() override { Kill(); }
  PosixPeriodicTimer(const PosixPeriodicTimer&) = delete;
  PosixPeriodicTimer& operator=(const PosixPeriodicTimer&) = delete;

  // False when a timer is already running, for a period of 0, or when no
  // thread can be created. The resolution is not needed: the deadlines are
  // kept by the kernel's high-resolution timers.
  bool Start(uint32_t periodMs, uint32_t resolutionMs, Callback tick, void* context) override;
  // Wakes the timer thread at once, waits for a tick in progress and joins the
  // thread; no tick runs after it returns. Harmless when not running.
  void Kill() override;

  bool IsRunning() const { return running_.load(std::memory_order_relaxed); }

 private:
  void Run(std::chrono::steady_clock::time_point firstDeadline, std::chrono::nanoseconds period,
           Callback tick, void* context);

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopRequested_ = false;  // guarded by mutex_
  bool OnTimerThread() const;

  std::atomic<bool> running_{false};            // between a successful Start and Kill
  std::atomic<std::thread::id> timerThread_{};  // while Run is running
  std::thread thread_;                          // touched by the caller's thread only
};

}  // namespace wexlink::posix
