// How long StopIntr takes during a run with a 100-second period (period
// setting -100000), that is while the timer thread sleeps towards a deadline
// far away: StopIntr has to wake it and wait for it to end.
//
// Two set-ups, side by side: the core over the real POSIX timer with a lean
// fake serial line, and the shared library itself with a pseudo-terminal as
// COM port 1.
//
//   stop_latency [--runs N]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/driver.h"
#include "figures.h"
#include "lean_platform.h"
#include "platform/posix/timer_posix.h"
#include "pty.h"
#include "wexlink.h"

namespace wexlink::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kLongestPeriod = -100000;

struct Calls {
  int32_t (*start)(void* self);
  int32_t (*stop)(void* self);
  void* self;
};

// Starts a run, lets it sit for a few milliseconds, and times StopIntr.
std::vector<double> TimeStops(const Calls& calls, int runs, std::mt19937& random) {
  std::uniform_int_distribution<int> pause(2, 30);
  std::vector<double> stops;
  for (int i = 0; i < runs; ++i) {
    if (calls.start(calls.self) <= 0) {
      std::fprintf(stderr, "start failed\n");
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
    const auto before = Clock::now();
    const int32_t stopped = calls.stop(calls.self);
    const auto after = Clock::now();
    if (stopped != 1) {
      std::fprintf(stderr, "StopIntr returned %d\n", static_cast<int>(stopped));
      break;
    }
    stops.push_back(std::chrono::duration<double, std::milli>(after - before).count());
  }
  return stops;
}

void Report(const char* setup, const std::vector<double>& stops, int runs) {
  if (stops.size() != static_cast<std::size_t>(runs)) {
    PrintFigure(Format("StopIntr latency, 100 s period, %s", setup), "did not run", "< 5 ms", "no");
    return;
  }
  const double median = Quantile(stops, 0.5);
  const double max = Quantile(stops, 1.0);
  std::printf("%s: %d stops, median %.3f ms, p99 %.3f ms, max %.3f ms\n", setup, runs, median,
              Quantile(stops, 0.99), max);
  PrintFigure(Format("StopIntr latency, 100 s period, %s (%d stops)", setup, runs),
              Format("median %.3f ms, max %.3f ms", median, max), "< 5 ms", Met(max < 5.0));
}

struct CoreRig {
  LeanSerialDevice serial;
  posix::PosixPeriodicTimer timer;
  NullPoster poster;
  NoIoPorts ports;
  Driver driver{Platform{serial, timer, poster, ports}};
};

}  // namespace
}  // namespace wexlink::bench

int main(int argc, char** argv) {
  using namespace wexlink::bench;
  int runs = 100;
  if (argc == 3 && std::string(argv[1]) == "--runs") {
    runs = std::max(1, std::atoi(argv[2]));
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: %s [--runs N]\n", argv[0]);
    return 2;
  }
  std::mt19937 random(316);
  bool ok = true;

  {
    CoreRig rig;
    rig.driver.Initial(1, 5, 9600);
    const Calls calls{
        [](void* self) {
          return static_cast<CoreRig*>(self)->driver.StartSnapshot(200, 0, 8, kLongestPeriod);
        },
        [](void* self) { return static_cast<CoreRig*>(self)->driver.StopIntr(); }, &rig};
    const auto stops = TimeStops(calls, runs, random);
    Report("core + POSIX timer + fake line", stops, runs);
    ok = ok && stops.size() == static_cast<std::size_t>(runs);
  }

  {
    wexlink::test_support::Pty line(1);
    if (!line.ok() || Initial(1, 5, 9600, 0) != 1) {
      std::fprintf(stderr, "no pseudo-terminal, or Initial failed\n");
      return 1;
    }
    const Calls calls{[](void*) { return StartSnapshot(1, 200, 0, 8, kLongestPeriod, 0, 0, 0); },
                      [](void*) { return StopIntr(); }, nullptr};
    const auto stops = TimeStops(calls, runs, random);
    Report("shared library + pty", stops, runs);
    ok = ok && stops.size() == static_cast<std::size_t>(runs);
  }
  return ok ? 0 : 1;
}
