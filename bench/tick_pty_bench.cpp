// One tick over the real POSIX serial device on a pseudo-terminal, with a
// module reply waiting: what the four serial calls of a tick cost as system
// calls. The reply is written on the master side and the request read back
// outside the timed span; only RunTick is timed. The device's queue query is
// also timed on its own, since a tick makes it twice.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "core/driver.h"
#include "frames.h"
#include "lean_platform.h"
#include "platform/posix/serial_posix.h"
#include "pty.h"
#include "summary_reporter.h"

namespace wexlink::bench {
namespace {

using Clock = std::chrono::steady_clock;

const std::vector<uint8_t> kReply =
    test_support::ReplyFrame(0x01, 0x00, test_support::ValuesFrom(0x7D10));

struct PtyRig {
  explicit PtyRig(int com) : line(com) {}
  wexlink::test_support::Pty line;
  posix::PosixSerialDevice serial;
  IdleTimer timer;
  NullPoster poster;
  NoIoPorts ports;
  Driver driver{Platform{serial, timer, poster, ports}};
};

void BM_TickOnPty(benchmark::State& state) {
  PtyRig rig(1);
  Driver& d = rig.driver;
  if (!rig.line.ok() || d.Initial(1, 5, 9600) != 1 || d.StartSnapshot(200, 0, 8, -1000) <= 0) {
    state.SkipWithError("no pty, or the start failed");
    return;
  }
  uint8_t request[64];
  d.RunTick();  // the first tick reads nothing
  rig.line.Read(request, sizeof request, 1000);
  uint64_t good = 0;
  for (auto _ : state) {
    rig.line.Send(kReply);
    if (!rig.line.WaitDelivered(1000)) {
      state.SkipWithError("reply not delivered");
      break;
    }
    const auto before = Clock::now();
    d.RunTick();
    const auto after = Clock::now();
    state.SetIterationTime(std::chrono::duration<double>(after - before).count());
    rig.line.Read(request, sizeof request, 1000);
    if (d.State().ModuleErrorCounts[0] == 0) ++good;
  }
  state.counters["good_replies"] =
      static_cast<double>(good) / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
  d.StopIntr();
}
BENCHMARK(BM_TickOnPty)->UseManualTime();

void BM_QueryQueuesOnPty(benchmark::State& state) {
  wexlink::test_support::Pty line(2);
  posix::PosixSerialDevice device;
  if (!line.ok() || !device.Open("COM2:", "9600,N,8,1")) {
    state.SkipWithError("no pty");
    return;
  }
  for (auto _ : state) {
    int32_t in = 0, out = 0;
    device.QueryQueues(in, out);
    benchmark::DoNotOptimize(in);
  }
  device.Close();
}
BENCHMARK(BM_QueryQueuesOnPty);

void ReportFigures(SummaryReporter& reporter) {
  const auto* tick = reporter.Find("BM_TickOnPty/manual_time");
  const auto* query = reporter.Find("BM_QueryQueuesOnPty");
  if (tick == nullptr || query == nullptr) return;
  PrintFigure(
      "Tick over the POSIX serial device on a pty, reply waiting (6 system calls)",
      Format("%.2f us, of which one queue query (2 ioctls) %.2f us; %.0f %% good replies",
             tick->realNs / 1000, query->cpuNs / 1000, 100 * tick->counters.at("good_replies")),
      "-", "-");
}

}  // namespace
}  // namespace wexlink::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  wexlink::bench::SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  wexlink::bench::ReportFigures(reporter);
  benchmark::Shutdown();
  return 0;
}
