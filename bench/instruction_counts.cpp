// Fixed numbers of ticks and read-outs over the lean fake line, for counting
// instructions instead of timing them: instruction counts do not depend on
// what else the machine is doing. Each measured loop is a function of its own
// that is never inlined; run the program under callgrind and divide each
// function's inclusive count by the calls it makes (printed at the end):
//
//   valgrind --tool=callgrind --callgrind-out-file=counts.out bench/wexlink_bench_counts
//   callgrind_annotate --inclusive=yes --threshold=100 counts.out | grep Count_
//
// It goes through the card interface only, so the same source measures any
// version of the core.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/driver.h"
#include "lean_platform.h"

namespace wexlink::bench {

constexpr int kTicks = 3000;
constexpr int kSmallSnapshots = 1000;
constexpr int kWholeRings = 100;
constexpr int kQueries = 1000;
constexpr int kSmallBuffers = 199;
constexpr int kLargeBuffers = 7;

// The counted loops, with plain names that callgrind_annotate shows as they are.
#define COUNTED extern "C" [[gnu::noinline]]

// clang-format off
COUNTED void Count_TicksContinuous1(Driver& d) { for (int i = 0; i < kTicks; ++i) d.RunTick(); }
COUNTED void Count_TicksContinuous8(Driver& d) { for (int i = 0; i < kTicks; ++i) d.RunTick(); }
COUNTED void Count_TicksContinuous32(Driver& d) { for (int i = 0; i < kTicks; ++i) d.RunTick(); }
COUNTED void Count_TicksSnapshot1(Driver& d) { for (int i = 0; i < kTicks; ++i) d.RunTick(); }
COUNTED void Count_TicksSnapshot8(Driver& d) { for (int i = 0; i < kTicks; ++i) d.RunTick(); }
COUNTED void Count_TicksSnapshot32(Driver& d) { for (int i = 0; i < kTicks; ++i) d.RunTick(); }
// clang-format on

COUNTED int Count_GetSnapshot10x8(Driver& d, void* out) {
  int taken = 0;
  for (int i = 0; i < kSmallSnapshots; ++i) taken += d.GetSnapshot(out, 10);
  return taken;
}
COUNTED int Count_GetSnapshot200x256(Driver& d, void* out) {
  int taken = 0;
  for (int i = 0; i < kWholeRings; ++i) taken += d.GetSnapshot(out, 200);
  return taken;
}
COUNTED uint32_t Count_QueryBuf(Driver& d) {
  uint32_t sum = 0;
  for (int i = 0; i < kQueries; ++i) sum += d.QueryBuf();
  return sum;
}
COUNTED int Count_ADResult5x8(Driver& d, void* out) {
  int taken = 0;
  for (int i = 0; i < kSmallBuffers; ++i) taken += d.ADResult(out);
  return taken;
}
COUNTED int Count_ADResult1000x256(Driver& d, void* out) {
  int taken = 0;
  for (int i = 0; i < kLargeBuffers; ++i) taken += d.ADResult(out);
  return taken;
}

namespace {

struct Rig {
  LeanPlatform fake;
  Driver driver{fake.platform()};
};

// A run whose every module has answered; continuous rings are large enough
// that no buffer completes during the counted ticks.
void CountTicks(RunKind kind, int modules, void (*counted)(Driver&)) {
  Rig rig;
  const auto channels = static_cast<uint32_t>(modules * kChannelsPerModule);
  rig.driver.Initial(1, 5, 9600);
  const int32_t bytes = kind == RunKind::Continuous
                            ? rig.driver.StartIntr(4, 1000, 0, channels, -1000)
                            : rig.driver.StartSnapshot(200, 0, channels, -1000);
  if (bytes <= 0) std::abort();
  for (int i = 0; i < 2 * modules + 1; ++i) rig.driver.RunTick();
  counted(rig.driver);
}

// A snapshot ring a third of the way into its second pass, so that a record
// is copied in two pieces (as in the read-out benchmark).
int CountSnapshots(uint32_t channels, uint32_t rows, int (*counted)(Driver&, void*)) {
  Rig rig;
  rig.driver.Initial(1, 5, 9600);
  if (rig.driver.StartSnapshot(200, 0, channels, -1000) <= 0) std::abort();
  const uint32_t modules = channels / kChannelsPerModule;
  for (uint32_t i = 0; i < (200 + 200 / 3 + 1) * modules; ++i) rig.driver.RunTick();
  std::vector<uint8_t> out(2u * channels * rows + 6u);
  return counted(rig.driver, out.data());
}

// A continuous ring with `buffers` - 1 complete buffers waiting.
int CountBuffers(uint16_t buffers, uint32_t rows, uint32_t channels, int (*counted)(Driver&, void*),
                 bool queries) {
  Rig rig;
  rig.driver.Initial(1, 5, 9600);
  const int32_t bytes = rig.driver.StartIntr(buffers, rows, 0, channels, -1000);
  if (bytes <= 0) std::abort();
  while (rig.driver.QueryBuf() < buffers - 1u) rig.driver.RunTick();
  if (queries && Count_QueryBuf(rig.driver) != kQueries * (buffers - 1u)) std::abort();
  std::vector<uint8_t> out(static_cast<std::size_t>(bytes));
  return counted(rig.driver, out.data());
}

}  // namespace
}  // namespace wexlink::bench

int main() {
  using namespace wexlink;
  using namespace wexlink::bench;
  CountTicks(RunKind::Continuous, 1, Count_TicksContinuous1);
  CountTicks(RunKind::Continuous, 8, Count_TicksContinuous8);
  CountTicks(RunKind::Continuous, 32, Count_TicksContinuous32);
  CountTicks(RunKind::Snapshot, 1, Count_TicksSnapshot1);
  CountTicks(RunKind::Snapshot, 8, Count_TicksSnapshot8);
  CountTicks(RunKind::Snapshot, 32, Count_TicksSnapshot32);
  const int snapshots = CountSnapshots(8, 10, Count_GetSnapshot10x8) +
                        CountSnapshots(256, 200, Count_GetSnapshot200x256);
  const int buffers = CountBuffers(200, 5, 8, Count_ADResult5x8, true) +
                      CountBuffers(8, 1000, 256, Count_ADResult1000x256, false);
  if (snapshots != kSmallSnapshots + kWholeRings || buffers != kSmallBuffers + kLargeBuffers) {
    std::fprintf(stderr, "a read-out was refused\n");
    return 1;
  }
  std::printf("Calls per counted function:\n");
  std::printf("  Count_Ticks*: %d ticks each (every module answered before)\n", kTicks);
  std::printf("  Count_GetSnapshot10x8: %d; Count_GetSnapshot200x256: %d\n", kSmallSnapshots,
              kWholeRings);
  std::printf("  Count_QueryBuf: %d; Count_ADResult5x8: %d; Count_ADResult1000x256: %d\n", kQueries,
              kSmallBuffers, kLargeBuffers);
  return 0;
}
