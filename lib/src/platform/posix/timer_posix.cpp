#include "platform/posix/timer_posix.h"

#include <pthread.h>
#include <signal.h>

#include <system_error>

namespace wexlink::posix {
namespace {

// Blocks every signal that can be blocked and is not raised by a fault of the
// thread itself, and restores the previous mask when it goes. A thread created
// meanwhile starts with that mask, so it never runs a handler meant for the
// program's own threads.
class AsyncSignalsBlocked {
 public:
  AsyncSignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) {
      sigdelset(&all, fault);
    }
    pthread_sigmask(SIG_BLOCK, &all, &previous_);
  }
  ~AsyncSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  AsyncSignalsBlocked(const AsyncSignalsBlocked&) = delete;
  AsyncSignalsBlocked& operator=(const AsyncSignalsBlocked&) = delete;

 private:
  sigset_t previous_{};
};

}  // namespace

bool PosixPeriodicTimer::Start(uint32_t periodMs, uint32_t /*resolutionMs*/, Callback tick,
                               void* context) {
  // From inside a tick the timer thread cannot be replaced: it is still running.
  if (OnTimerThread() || running_.load() || periodMs == 0 || tick == nullptr) return false;
  // A timer that was killed from inside its own tick has ended, or is about to.
  if (thread_.joinable()) thread_.join();
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = false;
  }
  const std::chrono::nanoseconds period = std::chrono::milliseconds(periodMs);
  // The first deadline counts from the call, not from the thread's start-up.
  const auto firstDeadline = std::chrono::steady_clock::now() + period;
  try {
    AsyncSignalsBlocked blocked;
    thread_ = std::thread(&PosixPeriodicTimer::Run, this, firstDeadline, period, tick, context);
  } catch (const std::system_error&) {
    return false;
  }
#if defined(__GLIBC__)
  pthread_setname_np(thread_.native_handle(), "wexlink-timer");
#endif
  running_.store(true);
  return true;
}

void PosixPeriodicTimer::Kill() {
  running_.store(false);
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
  }
  wake_.notify_all();
  // From inside a tick: no further tick starts; the thread is joined later, by
  // the next Start or Kill on the caller's thread.
  if (OnTimerThread()) return;
  if (thread_.joinable()) thread_.join();
}

bool PosixPeriodicTimer::OnTimerThread() const {
  return timerThread_.load() == std::this_thread::get_id();
}

void PosixPeriodicTimer::Run(std::chrono::steady_clock::time_point firstDeadline,
                             std::chrono::nanoseconds period, Callback tick, void* context) {
  // Known before the first tick, forgotten before the thread can be joined (a
  // joined thread's identity may be given to a new thread).
  timerThread_.store(std::this_thread::get_id());
  auto deadline = firstDeadline;
  std::unique_lock lock(mutex_);
  for (;;) {
    // Waits on the monotonic clock to an absolute deadline; Kill wakes it.
    if (wake_.wait_until(lock, deadline, [this] { return stopRequested_; })) break;
    lock.unlock();
    tick(context);
    lock.lock();
    deadline += period;
    const auto behind = std::chrono::steady_clock::now() - deadline;
    if (behind >= period) deadline += (behind / period) * period;
  }
  timerThread_.store(std::thread::id{});
}

}  // namespace wexlink::posix
