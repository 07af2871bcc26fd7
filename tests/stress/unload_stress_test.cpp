// The shared library loaded, set up, started and unloaded again and again,
// with the run still active at every unload: the unload must stop the timer
// thread and close the port, so that nothing crashes, threads and descriptors
// do not pile up, and (under LeakSanitizer or valgrind) nothing leaks. The
// serial port is a pseudo-terminal named to the library through WEXLINK_COM1;
// without a back end that can open it the test is skipped.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "pty.h"
#include "wexlink.h"

namespace {

using namespace std::chrono_literals;

int FromEnvironment(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return (text != nullptr && std::atoi(text) > 0) ? std::atoi(text) : fallback;
}

std::size_t CountEntries(const char* folder) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++n;
  return n;
}

// Waits a little for exited threads to leave /proc/self/task.
std::size_t SettledThreadCount(std::size_t expected) {
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  std::size_t n = CountEntries("/proc/self/task");
  while (n != expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
    n = CountEntries("/proc/self/task");
  }
  return n;
}

// The calls the test makes, bound by name as an application binds them.
struct Library {
  explicit Library(const char* path) : handle(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {
    if (handle == nullptr) return;
    initial = reinterpret_cast<decltype(initial)>(dlsym(handle, "Initial"));
    startSnapshot = reinterpret_cast<decltype(startSnapshot)>(dlsym(handle, "StartSnapshot"));
    getSnapshot = reinterpret_cast<decltype(getSnapshot)>(dlsym(handle, "GetSnapshot"));
    lastError = reinterpret_cast<decltype(lastError)>(dlsym(handle, "GetLastADError"));
  }
  bool Bound() const { return handle && initial && startSnapshot && getSnapshot && lastError; }

  void* handle;
  decltype(&::Initial) initial = nullptr;
  decltype(&::StartSnapshot) startSnapshot = nullptr;
  decltype(&::GetSnapshot) getSnapshot = nullptr;
  decltype(&::GetLastADError) lastError = nullptr;
};

TEST(UnloadStress, UnloadingWithARunActiveStopsItCleanly) {
  const int cycles = FromEnvironment("WEXLINK_STRESS_UNLOAD_CYCLES", 200);
  // Every this many cycles the run lives long enough for ticks (the shortest
  // period is 700 ms), and the unload meets a timer that is at work.
  const int tickingEvery = 50;
  wexlink::test_support::Pty pty;
  ASSERT_FALSE(pty.slavePath().empty()) << "no pseudo-terminal";
  ASSERT_EQ(setenv("WEXLINK_COM1", pty.slavePath().c_str(), 1), 0);

  // Counted after the first cycle: a sanitizer's run-time starts a helper
  // thread of its own when the process creates its first thread.
  const std::size_t threadsAtStart = CountEntries("/proc/self/task");
  std::size_t threadsBefore = 0;
  std::size_t descriptorsBefore = 0;
  int tickingRuns = 0;
  std::size_t requestBytes = 0;

  for (int cycle = 0; cycle < cycles; ++cycle) {
    Library lib(WEXLINK_LIBRARY_PATH);
    ASSERT_TRUE(lib.Bound()) << dlerror();
    ASSERT_EQ(lib.initial(1, 5, 9600, 0), 1);
    const int32_t bytes = lib.startSnapshot(1, 200, 0, 8, -700, 0, 0, 0);
    if (bytes == 0 && cycle == 0) {
      const int32_t error = lib.lastError();
      dlclose(lib.handle);
      if (error == WEXLINK_E_PORT || error == WEXLINK_E_TIMER) {
        GTEST_SKIP() << "the library's back end cannot run on a pseudo-terminal (error " << error
                     << ")";
      }
      FAIL() << "StartSnapshot failed with " << error;
    }
    ASSERT_EQ(bytes, 3202) << "cycle " << cycle << ", error " << lib.lastError();
    EXPECT_GT(CountEntries("/proc/self/task"), std::max(threadsBefore, threadsAtStart))
        << "no timer thread during the run";

    if (cycle % tickingEvery == tickingEvery - 1) {
      // Around the first tick (due 700 ms after the start): the unload then
      // meets a timer that is about to tick, is at work or has just ticked.
      static constexpr std::chrono::milliseconds kWaits[] = {699ms, 700ms, 702ms, 750ms};
      std::this_thread::sleep_for(kWaits[tickingRuns % 4]);
      std::vector<uint16_t> record(8 * 10 + 3);
      EXPECT_EQ(lib.getSnapshot(record.data(), 10, nullptr), 1);
      ++tickingRuns;
    }

    ASSERT_EQ(dlclose(lib.handle), 0) << dlerror();
    // Really unloaded: the library is no longer in the process.
    void* still = dlopen(WEXLINK_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (still != nullptr) {
      dlclose(still);
      FAIL() << "the library stayed loaded after dlclose (cycle " << cycle << ")";
    }
    if (cycle == 0) {
      std::this_thread::sleep_for(50ms);
      threadsBefore = CountEntries("/proc/self/task");
      descriptorsBefore = CountEntries("/proc/self/fd");
      ASSERT_LE(threadsBefore, threadsAtStart + 1)
          << "the first unload left the timer thread behind";
    }
    ASSERT_EQ(SettledThreadCount(threadsBefore), threadsBefore)
        << "threads pile up (cycle " << cycle << ")";
    ASSERT_EQ(CountEntries("/proc/self/fd"), descriptorsBefore)
        << "descriptors pile up (cycle " << cycle << ")";
    requestBytes += pty.Drain().size();
  }
  // The long runs really polled: each tick writes one 6-byte request.
  if (tickingRuns >= 4) {
    EXPECT_GE(requestBytes, 6u);
  }
  std::printf("%d load/start/unload cycles, %d of them with ticks, %zu request bytes written\n",
              cycles, tickingRuns, requestBytes);
  RecordProperty("cycles", cycles);
}

}  // namespace
