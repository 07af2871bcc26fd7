#include "platform/posix/timer_posix.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace wexlink::posix {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Records the time of every tick; optionally works for a while in one tick.
struct TickLog {
  std::mutex mutex;
  std::vector<Clock::time_point> times;
  std::atomic<int> count{0};
  std::atomic<int> inside{0};
  std::atomic<int> finished{0};
  int slowTick = -1;  // index of a tick that works for `slowFor`
  std::chrono::milliseconds slowFor{0};

  static void Tick(void* context) {
    auto* log = static_cast<TickLog*>(context);
    const int index = log->count.load();
    {
      std::lock_guard lock(log->mutex);
      log->times.push_back(Clock::now());
    }
    log->inside.store(1);
    if (index == log->slowTick) std::this_thread::sleep_for(log->slowFor);
    log->inside.store(0);
    log->finished.fetch_add(1);
    log->count.fetch_add(1);
  }

  bool WaitFor(int ticks, std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    while (count.load() < ticks && Clock::now() < end) std::this_thread::sleep_for(1ms);
    return count.load() >= ticks;
  }
  std::vector<Clock::time_point> Times() {
    std::lock_guard lock(mutex);
    return times;
  }
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

TEST(PosixTimer, FirstTickComesOnePeriodAfterTheStart) {
  PosixPeriodicTimer timer;
  TickLog log;
  const auto start = Clock::now();
  ASSERT_TRUE(timer.Start(100, 2, &TickLog::Tick, &log));
  ASSERT_TRUE(log.WaitFor(1, 2s));
  timer.Kill();
  const double first = Ms(log.Times()[0] - start);
  EXPECT_GE(first, 100.0);
  EXPECT_LT(first, 160.0);
}

TEST(PosixTimer, TicksOnMultiplesOfThePeriodWithoutDrift) {
  PosixPeriodicTimer timer;
  TickLog log;
  const auto start = Clock::now();
  ASSERT_TRUE(timer.Start(20, 2, &TickLog::Tick, &log));
  ASSERT_TRUE(log.WaitFor(25, 3s));
  timer.Kill();
  const auto times = log.Times();
  ASSERT_GE(times.size(), 25u);
  for (std::size_t k = 0; k < 25; ++k) {
    // Tick k is due at (k+1) periods; never early, and lateness does not add up.
    const double due = 20.0 * static_cast<double>(k + 1);
    const double at = Ms(times[k] - start);
    EXPECT_GE(at, due - 0.5) << "tick " << k;
    EXPECT_LT(at, due + 40.0) << "tick " << k;
  }
}

TEST(PosixTimer, KillWakesTheTimerAtOnce) {
  PosixPeriodicTimer timer;
  TickLog log;
  ASSERT_TRUE(timer.Start(100000, 2, &TickLog::Tick, &log));
  std::this_thread::sleep_for(20ms);
  const auto before = Clock::now();
  timer.Kill();
  EXPECT_LT(Ms(Clock::now() - before), 50.0);
  EXPECT_EQ(log.count.load(), 0);
  EXPECT_FALSE(timer.IsRunning());
}

TEST(PosixTimer, NoTickAfterKillReturns) {
  PosixPeriodicTimer timer;
  TickLog log;
  ASSERT_TRUE(timer.Start(5, 2, &TickLog::Tick, &log));
  ASSERT_TRUE(log.WaitFor(3, 2s));
  timer.Kill();
  const int atKill = log.count.load();
  EXPECT_EQ(log.inside.load(), 0);
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(log.count.load(), atKill);
}

TEST(PosixTimer, KillWaitsForTheTickInProgress) {
  PosixPeriodicTimer timer;
  TickLog log;
  log.slowTick = 0;
  log.slowFor = 150ms;
  ASSERT_TRUE(timer.Start(10, 2, &TickLog::Tick, &log));
  const auto end = Clock::now() + 2s;
  while (log.inside.load() == 0 && Clock::now() < end) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(log.inside.load(), 1);
  const auto before = Clock::now();
  timer.Kill();
  EXPECT_EQ(log.inside.load(), 0);
  EXPECT_EQ(log.finished.load(), 1);
  EXPECT_GT(Ms(Clock::now() - before), 80.0);
}

TEST(PosixTimer, FallingBehindSkipsMissedDeadlinesInsteadOfBursting) {
  PosixPeriodicTimer timer;
  TickLog log;
  log.slowTick = 0;
  log.slowFor = 110ms;  // five and a half periods
  const auto start = Clock::now();
  ASSERT_TRUE(timer.Start(20, 2, &TickLog::Tick, &log));
  ASSERT_TRUE(log.WaitFor(4, 2s));
  timer.Kill();
  const auto times = log.Times();
  // Tick 0 at 20 ms returns at about 130 ms. The deadline of 120 ms is due at
  // once; the ones of 40 to 100 ms are skipped; then 140 ms, 160 ms.
  const double second = Ms(times[1] - start);
  const double third = Ms(times[2] - start);
  const double fourth = Ms(times[3] - start);
  EXPECT_GE(second, 125.0);
  EXPECT_GE(third, 140.0 - 0.5);
  EXPECT_GE(fourth, 160.0 - 0.5);
}

TEST(PosixTimer, StartsAgainAfterKillAndRefusesBadStarts) {
  PosixPeriodicTimer timer;
  TickLog log;
  EXPECT_FALSE(timer.Start(0, 2, &TickLog::Tick, &log));
  EXPECT_FALSE(timer.Start(10, 2, nullptr, &log));
  timer.Kill();  // not running: harmless
  timer.Kill();

  ASSERT_TRUE(timer.Start(5, 2, &TickLog::Tick, &log));
  EXPECT_FALSE(timer.Start(5, 2, &TickLog::Tick, &log));  // already running
  ASSERT_TRUE(log.WaitFor(2, 2s));
  timer.Kill();

  const int before = log.count.load();
  ASSERT_TRUE(timer.Start(5, 2, &TickLog::Tick, &log));
  EXPECT_TRUE(log.WaitFor(before + 2, 2s));
  timer.Kill();
}

TEST(PosixTimer, DestructionStopsARunningTimer) {
  TickLog log;
  {
    PosixPeriodicTimer timer;
    ASSERT_TRUE(timer.Start(5, 2, &TickLog::Tick, &log));
    ASSERT_TRUE(log.WaitFor(1, 2s));
  }
  const int atEnd = log.count.load();
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(log.count.load(), atEnd);
}

struct SelfKill {
  PosixPeriodicTimer* timer = nullptr;
  std::atomic<int> ticks{0};
  std::atomic<bool> restartRefused{false};
  static void Tick(void* context) {
    auto* self = static_cast<SelfKill*>(context);
    self->ticks.fetch_add(1);
    self->timer->Kill();
    self->restartRefused.store(!self->timer->Start(5, 2, &SelfKill::Tick, self));
  }
};

TEST(PosixTimer, KillFromInsideATickStopsWithoutDeadlock) {
  PosixPeriodicTimer timer;
  SelfKill self;
  self.timer = &timer;
  ASSERT_TRUE(timer.Start(5, 2, &SelfKill::Tick, &self));
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(self.ticks.load(), 1);
  EXPECT_TRUE(self.restartRefused.load());
  // The caller's thread can still kill (joining the ended thread) and restart.
  timer.Kill();
  TickLog log;
  ASSERT_TRUE(timer.Start(5, 2, &TickLog::Tick, &log));
  EXPECT_TRUE(log.WaitFor(1, 2s));
  timer.Kill();
}

struct MaskProbe {
  std::atomic<int> seen{0};
  sigset_t mask{};
  static void Tick(void* context) {
    auto* probe = static_cast<MaskProbe*>(context);
    if (probe->seen.load() != 0) return;
    pthread_sigmask(SIG_SETMASK, nullptr, &probe->mask);
    probe->seen.store(1);
  }
};

TEST(PosixTimer, TimerThreadBlocksSignalsMeantForTheProgram) {
  PosixPeriodicTimer timer;
  MaskProbe probe;
  ASSERT_TRUE(timer.Start(5, 2, &MaskProbe::Tick, &probe));
  const auto end = Clock::now() + 2s;
  while (probe.seen.load() == 0 && Clock::now() < end) std::this_thread::sleep_for(1ms);
  timer.Kill();
  ASSERT_EQ(probe.seen.load(), 1);
  for (const int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGALRM, SIGCHLD, SIGUSR1}) {
    EXPECT_EQ(sigismember(&probe.mask, sig), 1) << "signal " << sig;
  }
  EXPECT_EQ(sigismember(&probe.mask, SIGSEGV), 0);
  // The caller's own mask is as it was.
  sigset_t mine;
  pthread_sigmask(SIG_SETMASK, nullptr, &mine);
  EXPECT_EQ(sigismember(&mine, SIGINT), 0);
  EXPECT_EQ(sigismember(&mine, SIGPIPE), 0);
}

}  // namespace
}  // namespace wexlink::posix
