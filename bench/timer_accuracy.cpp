// Accuracy of the POSIX periodic timer, side by side with a loop that sleeps
// one period each time (std::this_thread::sleep_for). Both run at the same
// time, in two threads of this process, first on an idle machine and then
// with every core kept busy by a spinning child process.
//
// Timer: the lateness of tick i is its time minus (t0 + i * period), t0 being
// taken just before Start. Sleep loop: the lateness of step i is how much
// longer than a period that step took, and its drift is the sum of them.
//
//   timer_accuracy [--ticks N] [--period-ms P] [--only idle|loaded]
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "figures.h"
#include "platform/posix/timer_posix.h"

namespace wexlink::bench {
namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Options {
  int ticks = 1000;
  int periodMs = 20;
  bool idle = true;
  bool loaded = true;
};

struct TickLog {
  explicit TickLog(int n) : stamps(static_cast<std::size_t>(n)) {}
  std::vector<Clock::time_point> stamps;
  std::atomic<int> count{0};
  std::mutex mutex;
  std::condition_variable done;
};

void OnTick(void* context) {
  auto* log = static_cast<TickLog*>(context);
  const auto now = Clock::now();
  const int i = log->count.load(std::memory_order_relaxed);
  if (i >= static_cast<int>(log->stamps.size())) return;
  log->stamps[static_cast<std::size_t>(i)] = now;
  log->count.store(i + 1, std::memory_order_release);
  if (i + 1 == static_cast<int>(log->stamps.size())) {
    std::lock_guard lock(log->mutex);
    log->done.notify_all();
  }
}

struct Series {
  std::vector<double> latenessMs;  // per tick
  double driftMs = 0;              // last tick against t0 + N periods
  double maxMs = 0;
};

Series Summarise(const std::vector<double>& lateness, double drift) {
  Series s;
  s.latenessMs = lateness;
  s.driftMs = drift;
  for (double v : lateness) s.maxMs = std::max(s.maxMs, v);
  return s;
}

// Median lateness of the last tenth of the ticks minus that of the first tenth:
// how far the schedule moved during the run.
double Trend(const std::vector<double>& lateness) {
  const std::size_t tenth = std::max<std::size_t>(lateness.size() / 10, 1);
  const std::vector<double> head(lateness.begin(), lateness.begin() + static_cast<long>(tenth));
  const std::vector<double> tail(lateness.end() - static_cast<long>(tenth), lateness.end());
  return Quantile(tail, 0.5) - Quantile(head, 0.5);
}

// Keeps every core busy with a spinning child process until destroyed.
class CpuLoad {
 public:
  explicit CpuLoad(int processes) {
    for (int i = 0; i < processes; ++i) {
      const pid_t pid = fork();
      if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the benchmark
        volatile unsigned long spin = 0;
        for (;;) spin = spin + 1;
      }
      if (pid > 0) children_.push_back(pid);
    }
  }
  ~CpuLoad() {
    for (const pid_t pid : children_) kill(pid, SIGKILL);
    for (const pid_t pid : children_) waitpid(pid, nullptr, 0);
  }
  CpuLoad(const CpuLoad&) = delete;
  CpuLoad& operator=(const CpuLoad&) = delete;
  std::size_t Count() const { return children_.size(); }

 private:
  std::vector<pid_t> children_;
};

struct Outcome {
  Series timer;
  Series sleeper;
  bool timerStarted = false;
};

Outcome RunSideBySide(const Options& o) {
  const auto period = std::chrono::milliseconds(o.periodMs);
  const auto n = static_cast<std::size_t>(o.ticks);
  Outcome out;

  std::vector<Clock::time_point> sleepStamps(n);
  Clock::time_point sleepStart;
  std::thread sleeper([&] {
    sleepStart = Clock::now();
    for (std::size_t i = 0; i < n; ++i) {
      std::this_thread::sleep_for(period);
      sleepStamps[i] = Clock::now();
    }
  });

  TickLog log(o.ticks);
  posix::PosixPeriodicTimer timer;
  const auto t0 = Clock::now();
  out.timerStarted = timer.Start(static_cast<uint32_t>(o.periodMs), 2, &OnTick, &log);
  if (out.timerStarted) {
    std::unique_lock lock(log.mutex);
    log.done.wait(lock, [&] { return log.count.load(std::memory_order_acquire) >= o.ticks; });
  }
  timer.Kill();
  sleeper.join();
  if (!out.timerStarted) return out;

  std::vector<double> lateness(n);
  for (std::size_t i = 0; i < n; ++i) {
    lateness[i] = Ms(log.stamps[i] - (t0 + period * static_cast<long>(i + 1)));
  }
  out.timer = Summarise(lateness, lateness.back());

  std::vector<double> overshoot(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto before = (i == 0) ? sleepStart : sleepStamps[i - 1];
    overshoot[i] = Ms(sleepStamps[i] - before - period);
  }
  out.sleeper = Summarise(overshoot, Ms(sleepStamps.back() - sleepStart - period * o.ticks));
  return out;
}

void Report(const char* condition, const Options& o, const Outcome& r) {
  const auto& t = r.timer;
  const auto& s = r.sleeper;
  const double median = Quantile(t.latenessMs, 0.5);
  const double trend = Trend(t.latenessMs);
  std::printf("\n%s, %d ticks of %d ms, side by side:\n", condition, o.ticks, o.periodMs);
  std::printf(
      "  posix timer:     lateness median %.3f ms, p99 %.3f ms, max %.3f ms; "
      "drift after the last tick %.3f ms (last tick's lateness %.3f ms); "
      "trend %+.3f ms\n",
      median, Quantile(t.latenessMs, 0.99), t.maxMs, t.driftMs, t.latenessMs.back(), trend);
  std::printf(
      "  sleep_for loop:  per-step overshoot median %.3f ms, p99 %.3f ms, max %.3f ms; "
      "drift after the last step %.3f ms\n",
      Quantile(s.latenessMs, 0.5), Quantile(s.latenessMs, 0.99), s.maxMs, s.driftMs);

  const std::string what =
      Format("Timer, %d ms period, %d ticks, %s", o.periodMs, o.ticks, condition);
  const bool idle = std::strcmp(condition, "idle") == 0;
  PrintFigure(what + ": lateness median / p99 / max",
              Format("%.3f / %.3f / %.3f ms", median, Quantile(t.latenessMs, 0.99), t.maxMs),
              idle ? "median < 0.5 ms" : "-", idle ? Met(median < 0.5) : "-");
  // No accumulation: the end of the run is no later than its worst single
  // tick, and the lateness of the last tenth of the ticks is that of the first.
  PrintFigure(what + ": drift after the last tick (trend first to last tenth)",
              Format("%.3f ms (%+.3f ms); sleep_for loop: %.3f ms", t.driftMs, trend, s.driftMs),
              "no accumulated drift", Met(t.driftMs <= t.maxMs && trend < 0.5));
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = (i + 1 < argc) ? argv[i + 1] : nullptr;
    if (arg == "--ticks" && value != nullptr) {
      o.ticks = std::max(std::atoi(value), 2);
      ++i;
    } else if (arg == "--period-ms" && value != nullptr) {
      o.periodMs = std::max(std::atoi(value), 1);
      ++i;
    } else if (arg == "--only" && value != nullptr) {
      o.idle = std::strcmp(value, "idle") == 0;
      o.loaded = std::strcmp(value, "loaded") == 0;
      ++i;
    } else {
      std::fprintf(stderr, "usage: %s [--ticks N] [--period-ms P] [--only idle|loaded]\n", argv[0]);
      std::exit(2);
    }
  }
  return o;
}

}  // namespace
}  // namespace wexlink::bench

int main(int argc, char** argv) {
  using namespace wexlink::bench;
  const Options o = Parse(argc, argv);
  bool ok = true;
  if (o.idle) {
    const Outcome r = RunSideBySide(o);
    ok = ok && r.timerStarted;
    if (r.timerStarted) Report("idle", o, r);
  }
  if (o.loaded) {
    const auto cores = std::max(1u, std::thread::hardware_concurrency());
    CpuLoad load(static_cast<int>(cores));
    const std::string condition =
        Format("loaded (%zu busy processes, %u cores)", load.Count(), cores);
    const Outcome r = RunSideBySide(o);
    ok = ok && r.timerStarted;
    if (r.timerStarted) Report(condition.c_str(), o, r);
  }
  if (!ok) std::fprintf(stderr, "the timer could not be started\n");
  return ok ? 0 : 1;
}
