// Read-out speed against a plain copy of the same bytes: GetSnapshot of the
// last 10 rows of an 8-channel ring (what Wexmon asks for every second),
// GetSnapshot of a whole 200-row ring of 256 channels, and ADResult of a
// 1000-row buffer of 256 channels. Each call and its baselines run in the same
// process; the ratio baseline time / call time is printed at the end (1.0: as
// fast as the baseline).
//
// The baseline is the faster of two plain copies: glibc's memcpy, and a loop of
// 16-byte loads and stores (the stores GetSnapshot makes). memcpy alone is not
// a bound: for a copy of 8 KiB to 512 KiB glibc may take `rep movsb`, whose
// speed on some processors depends on how source and destination are placed
// (on an AMD EPYC VM, 3.5 to 120 us for the same 102406 bytes), so a memcpy
// baseline can measure that one path rather than what copying the bytes costs.
// No read-out can beat the faster plain copy of its bytes by more than noise:
// a ratio above kSanityBound fails the program.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/driver.h"
#include "lean_platform.h"
#include "summary_reporter.h"

namespace wexlink {
// Reaches the continuous ring's shared word, to mark the ring full again.
struct ContinuousRingPeer {
  static std::atomic<uint32_t>& ReadAndOverflow(ContinuousRing& ring) {
    return ring.readAndOverflow_;
  }
};
}  // namespace wexlink

namespace wexlink::bench {
namespace {

constexpr int32_t kPeriodSetting = -1000;

// A call writes the same bytes as its baseline and more besides (the record's
// head and tail, a consistency check), so baseline time / call time stays at
// about 1 or below; 1.5 leaves room for timing noise on a shared machine.
constexpr double kSanityBound = 1.5;

struct ReadoutCase {
  const char* name;
  const char* what;
  RunKind kind;
  uint32_t rowsPerBuffer;
  uint32_t channels;
  uint32_t rowsRead;  // GetSnapshot only
};

// 10 rows of 8 channels: Wexmon's once-a-second call.
constexpr ReadoutCase kSmallSnapshot{
    "GetSnapshot_10x8", "GetSnapshot, 10 rows of 8 channels", RunKind::Snapshot, 200, 8, 10};
constexpr ReadoutCase kWholeRing{"GetSnapshot_200x256",
                                 "GetSnapshot, whole 200-row ring of 256 channels",
                                 RunKind::Snapshot,
                                 200,
                                 256,
                                 200};
constexpr ReadoutCase kBigBuffer{"ADResult_1000x256",
                                 "ADResult, 1000-row buffer of 256 channels",
                                 RunKind::Continuous,
                                 1000,
                                 256,
                                 0};

struct ReadoutRig {
  LeanPlatform fake;
  Driver driver{fake.platform()};
  std::vector<uint8_t> destination;
};

// A run whose ring holds real rows: the snapshot ring has wrapped once and
// stands part-way through its second pass (so a record is copied in two
// pieces), the continuous run has one complete buffer.
std::unique_ptr<ReadoutRig> PrepareRig(const ReadoutCase& c) {
  auto rig = std::make_unique<ReadoutRig>();
  Driver& d = rig->driver;
  d.Initial(1, 5, 9600);
  const uint32_t modules = c.channels / kChannelsPerModule;
  if (c.kind == RunKind::Snapshot) {
    if (d.StartSnapshot(c.rowsPerBuffer, 0, c.channels, kPeriodSetting) <= 0) return nullptr;
    const uint32_t rows = c.rowsPerBuffer + c.rowsPerBuffer / 3;
    for (uint32_t i = 0; i < (rows + 1) * modules; ++i) d.RunTick();
    rig->destination.resize(2u * c.channels * c.rowsRead + 6u);
  } else {
    const int32_t bytes = d.StartIntr(1, c.rowsPerBuffer, 0, c.channels, kPeriodSetting);
    if (bytes <= 0) return nullptr;
    while (d.QueryBuf() == 0) d.RunTick();
    rig->destination.resize(static_cast<std::size_t>(bytes));
  }
  return rig;
}

void BM_Call(benchmark::State& state, const ReadoutCase* c) {
  auto rig = PrepareRig(*c);
  if (!rig) {
    state.SkipWithError("start failed");
    return;
  }
  Driver& d = rig->driver;
  void* out = rig->destination.data();
  if (c->kind == RunKind::Snapshot) {
    for (auto _ : state) {
      benchmark::DoNotOptimize(d.GetSnapshot(out, c->rowsRead));
      benchmark::ClobberMemory();
    }
  } else {
    // The one buffer is full and unread; ADResult hands it out and frees the
    // ring. Marking the ring full again is a single 32-bit store.
    auto& word = ContinuousRingPeer::ReadAndOverflow(d.Continuous());
    const uint32_t full = word.load();
    for (auto _ : state) {
      benchmark::DoNotOptimize(d.ADResult(out));
      benchmark::ClobberMemory();
      word.store(full, std::memory_order_release);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(rig->destination.size()));
}

int64_t RecordBytes(const ReadoutCase& c) {
  if (c.kind == RunKind::Snapshot) return 2 * int64_t{c.channels} * c.rowsRead + 6;
  return 2 * int64_t{c.channels} * c.rowsPerBuffer + 2;
}

// Copies `bytes` from `source` to `out` 16 bytes at a time; the empty asm keeps
// the compiler from turning the loop back into a memcpy call.
void CopyBy16(uint8_t* out, const uint8_t* source, std::size_t bytes) {
  using Block [[gnu::vector_size(16)]] = uint8_t;
  std::size_t i = 0;
  for (; i + sizeof(Block) <= bytes; i += sizeof(Block)) {
    Block block;
    std::memcpy(&block, source + i, sizeof block);
    asm volatile("" : "+x"(block));
    std::memcpy(out + i, &block, sizeof block);
  }
  if (i < bytes) std::memcpy(out + i, source + i, bytes - i);
}

enum class Baseline { Memcpy, Loop16 };

// A plain copy of as many bytes as the call writes, from the run's own sample
// buffer into the same destination. A record of the whole ring is 4 bytes
// longer than the ring; those come from the ring's start again.
void BM_Copy(benchmark::State& state, const ReadoutCase* c, Baseline how) {
  auto rig = PrepareRig(*c);
  if (!rig) {
    state.SkipWithError("start failed");
    return;
  }
  const Driver& d = rig->driver;
  const auto* source = reinterpret_cast<const uint8_t*>(
      c->kind == RunKind::Snapshot ? d.Snapshot().Buffer() : d.Continuous().Buffer(0));
  const std::size_t bytes = rig->destination.size();
  const std::size_t first = std::min<std::size_t>(bytes, d.State().BufferBytes);
  uint8_t* out = rig->destination.data();
  for (auto _ : state) {
    if (how == Baseline::Memcpy) {
      std::memcpy(out, source, first);
      if (first < bytes) std::memcpy(out + first, source, bytes - first);
    } else {
      CopyBy16(out, source, first);
      if (first < bytes) CopyBy16(out + first, source, bytes - first);
    }
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

constexpr const ReadoutCase* kCases[] = {&kSmallSnapshot, &kWholeRing, &kBigBuffer};

void RegisterAll() {
  for (const ReadoutCase* c : kCases) {
    benchmark::RegisterBenchmark(c->name, BM_Call, c);
    benchmark::RegisterBenchmark((std::string("memcpy_") + c->name).c_str(), BM_Copy, c,
                                 Baseline::Memcpy);
    benchmark::RegisterBenchmark((std::string("loop16_") + c->name).c_str(), BM_Copy, c,
                                 Baseline::Loop16);
  }
}

// Prints each ratio; false when one breaks its sanity bound.
bool ReportFigures(SummaryReporter& reporter) {
  bool sane = true;
  for (const ReadoutCase* c : kCases) {
    const auto* call = reporter.Find(c->name);
    const auto* memcpyCopy = reporter.Find(std::string("memcpy_") + c->name);
    const auto* loopCopy = reporter.Find(std::string("loop16_") + c->name);
    if (call == nullptr || memcpyCopy == nullptr || loopCopy == nullptr) continue;
    // CPU time: on a shared machine it leaves out the time the thread waited.
    const double baseline = std::min(memcpyCopy->cpuNs, loopCopy->cpuNs);
    const double ratio = baseline / call->cpuNs;
    const std::string what = Format("%s (%lld bytes): plain copy time / call time", c->what,
                                    static_cast<long long>(RecordBytes(*c)));
    PrintFigure(what,
                Format("%.2f (call %.0f ns; faster of memcpy %.0f ns, 16-byte loop %.0f ns)", ratio,
                       call->cpuNs, memcpyCopy->cpuNs, loopCopy->cpuNs),
                Format(">= 0.5 (sane: <= %.1f)", kSanityBound), Met(ratio >= 0.5));
    sane = CheckSanity(what, ratio, kSanityBound) && sane;
  }
  return sane;
}

}  // namespace
}  // namespace wexlink::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  wexlink::bench::RegisterAll();
  wexlink::bench::SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const bool sane = wexlink::bench::ReportFigures(reporter);
  benchmark::Shutdown();
  return sane ? 0 : 1;
}
