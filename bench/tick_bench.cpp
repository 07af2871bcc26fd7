// The cost of one timer tick (poll step and row store) on a fake line that
// answers every request at once: time per tick, calls into the serial device
// per tick, and heap allocations per tick once the receive buffer has grown.
// The fake line's own cost for the same four calls is measured alongside, so
// the core's share of a tick is the difference of the two.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "core/driver.h"
#include "fake_line_calls.h"
#include "frames.h"
#include "lean_platform.h"
#include "summary_reporter.h"

namespace wexlink::bench {
namespace {

constexpr int32_t kPeriodSetting = -1000;
constexpr uint32_t kSnapshotRows = 200;
constexpr uint32_t kContinuousBuffers = 4;
constexpr uint32_t kContinuousRows = 1000;
constexpr int kModuleCounts[] = {1, 8, 32};

// The four calls a tick makes into the line when a reply is waiting.
void BM_FakeLineAlone(benchmark::State& state) {
  LeanSerialDevice device;
  const std::vector<uint8_t> request = test_support::RequestFrame(0x01, 0x00);
  std::array<uint8_t, 32> received{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(MakeTickCalls(device, request.data(), received.data()));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FakeLineAlone);

struct TickRig {
  LeanPlatform fake;
  Driver driver{fake.platform()};
  std::vector<uint8_t> drained;
};

std::unique_ptr<TickRig> StartRig(RunKind kind, int modules) {
  auto rig = std::make_unique<TickRig>();
  const auto channels = static_cast<uint32_t>(modules * kChannelsPerModule);
  rig->driver.Initial(1, 5, 9600);
  int32_t bytes = 0;
  if (kind == RunKind::Continuous) {
    bytes = rig->driver.StartIntr(kContinuousBuffers, kContinuousRows, 0, channels, kPeriodSetting);
  } else {
    bytes = rig->driver.StartSnapshot(kSnapshotRows, 0, channels, kPeriodSetting);
  }
  if (bytes <= 0) return nullptr;
  rig->drained.resize(static_cast<std::size_t>(bytes));
  return rig;
}

template <RunKind kKind>
void BM_Tick(benchmark::State& state) {
  const int modules = static_cast<int>(state.range(0));
  auto rig = StartRig(kKind, modules);
  if (!rig) {
    state.SkipWithError("start failed");
    return;
  }
  Driver& driver = rig->driver;
  const DriverState& s = driver.State();
  const ContinuousRing& ring = driver.Continuous();
  // Two poll cycles: every module has answered and the receive buffer has grown.
  for (int i = 0; i < 2 * modules + 1; ++i) driver.RunTick();
  const int32_t bufferBefore = s.ReadBufferSize;

  uint16_t lastWrite = ring.WriteIndex();
  const uint64_t callsBefore = rig->fake.serial.calls;
  uint64_t allocations = 0;
  AllocCounts mark = CurrentAllocCounts();
  uint64_t callsPaused = 0;
  for (auto _ : state) {
    driver.RunTick();
    if (kKind == RunKind::Continuous && ring.WriteIndex() != lastWrite) {
      // A buffer is complete: take it out, untimed, so the ring never fills
      // and every tick stores its row.
      state.PauseTiming();
      const AllocCounts now = CurrentAllocCounts();
      allocations += (now - mark).Total();
      const uint64_t calls = rig->fake.serial.calls;
      driver.ADResult(rig->drained.data());
      lastWrite = ring.WriteIndex();
      callsPaused += rig->fake.serial.calls - calls;
      mark = CurrentAllocCounts();
      state.ResumeTiming();
    }
  }
  allocations += (CurrentAllocCounts() - mark).Total();

  const auto ticks = static_cast<double>(state.iterations());
  state.counters["serial_calls"] =
      static_cast<double>(rig->fake.serial.calls - callsBefore - callsPaused) / ticks;
  state.counters["allocs"] = static_cast<double>(allocations) / ticks;
  state.counters["rxbuf_grew"] = (s.ReadBufferSize != bufferBefore) ? 1 : 0;
  state.counters["rxbuf_bytes"] = s.ReadBufferSize;
}
BENCHMARK_TEMPLATE(BM_Tick, RunKind::Continuous)
    ->Name("BM_TickContinuous")
    ->Arg(1)
    ->Arg(8)
    ->Arg(32);
BENCHMARK_TEMPLATE(BM_Tick, RunKind::Snapshot)->Name("BM_TickSnapshot")->Arg(1)->Arg(8)->Arg(32);

// The allocations of a run's first ticks, before and while the receive buffer
// is first sized: the one the core is allowed to make.
void ReportFirstTicks() {
  auto rig = StartRig(RunKind::Snapshot, 1);
  if (!rig) return;
  const AllocCounts before = CurrentAllocCounts();
  rig->driver.RunTick();  // sends, reads nothing
  const AllocCounts afterFirst = CurrentAllocCounts();
  rig->driver.RunTick();  // reads the first reply into a new receive buffer
  const AllocCounts afterSecond = CurrentAllocCounts();
  const AllocCounts first = afterFirst - before;
  const AllocCounts second = afterSecond - afterFirst;
  std::printf(
      "First tick of a run: %llu allocations; second tick (first reply): %llu "
      "allocation(s) of %zu bytes; receive buffer now %d bytes\n",
      static_cast<unsigned long long>(first.Total()),
      static_cast<unsigned long long>(second.Total()), second.lastSize,
      static_cast<int>(rig->driver.State().ReadBufferSize));
  PrintFigure("Tick: allocations while the receive buffer is first sized (first reply of the run)",
              Format("%llu on tick 1, %llu on tick 2 (%zu bytes)",
                     static_cast<unsigned long long>(first.Total()),
                     static_cast<unsigned long long>(second.Total()), second.lastSize),
              "one, of reply + 10 bytes", Met(first.Total() == 0 && second.Total() == 1));
}

// A tick makes the four serial calls measured alone and more besides, so the
// fake line's time / the tick's time stays below 1; 1.5 leaves room for noise.
constexpr double kSanityBound = 1.5;

// Prints the figures; false when one breaks its sanity bound.
bool ReportFigures(SummaryReporter& reporter) {
  const auto* fake = reporter.Find("BM_FakeLineAlone");
  if (fake == nullptr) return true;
  bool sane = true;
  PrintFigure("Tick: the fake line alone (the 4 serial calls of a tick)",
              Format("%.1f ns", fake->cpuNs), "-", "-");
  for (const char* kind : {"Continuous", "Snapshot"}) {
    for (const int modules : kModuleCounts) {
      const std::string name = Format("BM_Tick%s/%d", kind, modules);
      const auto* tick = reporter.Find(name);
      if (tick == nullptr) continue;
      const double core = tick->cpuNs - fake->cpuNs;
      const double calls = tick->counters.at("serial_calls");
      const double allocs = tick->counters.at("allocs");
      const bool grew = tick->counters.at("rxbuf_grew") != 0;
      const std::string what = Format(
          "Tick, %s run, %d module%s (%d channels): CPU beside the serial calls / "
          "serial calls / allocations, per tick",
          kind[0] == 'C' ? "continuous" : "snapshot", modules, modules == 1 ? "" : "s",
          modules * kChannelsPerModule);
      PrintFigure(what,
                  Format("%.0f ns (tick %.0f - fake line %.0f) / %.2f / %.3g (receive buffer %.0f "
                         "bytes, %s)",
                         core, tick->cpuNs, fake->cpuNs, calls, allocs,
                         tick->counters.at("rxbuf_bytes"), grew ? "grew" : "constant"),
                  Format("< 2 us / <= 4 / 0 (sane: line / tick <= %.1f)", kSanityBound),
                  Met(core < 2000.0 && calls <= 4.0 && allocs == 0 && !grew));
      sane = CheckSanity(what + ": fake line time / tick time", fake->cpuNs / tick->cpuNs,
                         kSanityBound) &&
             sane;
    }
  }
  return sane;
}

}  // namespace
}  // namespace wexlink::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  wexlink::bench::ReportFirstTicks();
  wexlink::bench::SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const bool sane = wexlink::bench::ReportFigures(reporter);
  benchmark::Shutdown();
  return sane ? 0 : 1;
}
