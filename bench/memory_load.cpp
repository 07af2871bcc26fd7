// The library's memory for a snapshot run of a 200-row ring of 256 channels:
// resident set and heap before and after Initial + StartSnapshot with the
// shared library on a pseudo-terminal, and, because the real timer stores at
// most one row per 700 ms, the same run of the core over a fake line ticked
// by hand until every row of the ring has been written once.
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "core/driver.h"
#include "figures.h"
#include "lean_platform.h"
#include "pty.h"
#include "wexlink.h"

namespace wexlink::bench {
namespace {

constexpr uint32_t kRows = 200;
constexpr uint32_t kChannels = 256;
constexpr int32_t kPeriodSetting = -700;

struct Reading {
  long residentKb = 0;
  long anonKb = 0;  // private memory; the rest of the resident set is mapped files
  long virtualKb = 0;
  long heapBytes = 0;  // malloc'd bytes in use, arena and mmap'd blocks
  int threads = 0;
};

long StatusField(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(key) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::atol(line.c_str() + prefix.size());
  }
  return -1;
}

Reading Read() {
  Reading r;
  long pages = 0, resident = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) pages = resident = 0;
    std::fclose(f);
  }
  const long pageKb = sysconf(_SC_PAGESIZE) / 1024;
  r.residentKb = resident * pageKb;
  r.virtualKb = pages * pageKb;
  const struct mallinfo2 m = mallinfo2();
  r.heapBytes = static_cast<long>(m.uordblks + m.hblkhd);
  r.threads = static_cast<int>(StatusField("Threads"));
  r.anonKb = StatusField("RssAnon");
  return r;
}

void Print(const char* step, const Reading& base, const Reading& now) {
  std::printf(
      "  %-42s resident %+5ld KiB (anonymous %+5ld KiB), heap %+7ld bytes, "
      "virtual %+6ld KiB, threads %+d\n",
      step, now.residentKb - base.residentKb, now.anonKb - base.anonKb,
      now.heapBytes - base.heapBytes, now.virtualKb - base.virtualKb, now.threads - base.threads);
}

}  // namespace
}  // namespace wexlink::bench

int main() {
  using namespace wexlink::bench;
  const long sampleBytes = 2L * kChannels * kRows + 2;
  std::printf("Snapshot run, %u rows of %u channels: sample buffer %ld bytes\n", kRows, kChannels,
              sampleBytes);

  // The shared library, as a caller uses it.
  wexlink::test_support::Pty line(1);
  if (!line.ok()) {
    std::fprintf(stderr, "no pseudo-terminal\n");
    return 1;
  }
  std::printf("Shared library, COM1 on %s:\n", line.slavePath().c_str());
  const Reading before = Read();
  if (Initial(1, 5, 9600, 0) != 1 ||
      StartSnapshot(1, kRows, 0, kChannels, kPeriodSetting, 0, 0, 0) <= 0) {
    std::fprintf(stderr, "start failed, code %d\n", static_cast<int>(GetLastADError()));
    return 1;
  }
  const Reading started = Read();
  Print("after Initial + StartSnapshot", before, started);
  StopIntr();
  const Reading stopped = Read();
  Print("after StopIntr (ring still held)", before, stopped);

  // The core over a fake line, every row of the ring written.
  std::printf("Core over a fake line, ticked by hand:\n");
  const Reading coreBefore = Read();
  long filledKb = 0;
  long filledAnonKb = 0;
  long coreHeap = 0;
  {
    LeanPlatform fake;
    wexlink::Driver driver(fake.platform());
    driver.Initial(1, 5, 9600);
    if (driver.StartSnapshot(kRows, 0, kChannels, kPeriodSetting) <= 0) return 1;
    const Reading coreStarted = Read();
    Print("after Initial + StartSnapshot", coreBefore, coreStarted);
    const uint32_t modules = kChannels / wexlink::kChannelsPerModule;
    for (uint32_t i = 0; i < (kRows + 1) * modules + 1; ++i) driver.RunTick();
    const Reading filled = Read();
    Print("after every row of the ring was written", coreBefore, filled);
    filledKb = filled.residentKb - coreBefore.residentKb;
    filledAnonKb = filled.anonKb - coreBefore.anonKb;
    coreHeap = filled.heapBytes - coreBefore.heapBytes;
    std::printf("  receive buffer %d bytes\n", static_cast<int>(driver.State().ReadBufferSize));
  }

  const long libHeap = started.heapBytes - before.heapBytes;
  PrintFigure("Memory, snapshot run of 200 rows x 256 channels, shared library: after the start",
              Format("resident %+ld KiB, of it anonymous %+ld KiB; heap %+ld bytes (sample buffer "
                     "%ld); %+d thread",
                     started.residentKb - before.residentKb, started.anonKb - before.anonKb,
                     libHeap, sampleBytes, started.threads - before.threads),
              "-", "-");
  PrintFigure("Memory, same run, core on a fake line: every row of the ring written",
              Format("resident %+ld KiB, of it anonymous %+ld KiB; heap %+ld bytes", filledKb,
                     filledAnonKb, coreHeap),
              "-", "-");
  return 0;
}
