// Fuzzes the card interface as a caller sees it: arbitrary sequences of calls
// with arbitrary arguments, timer ticks with arbitrary bytes on the line, and a
// serial device or timer that may refuse to start. Every destination is a heap
// block of exactly the size the interface documents (the start's result for
// ADResult*, 2 * channels * rows + 6 for GetSnapshot, 83 for the property
// string, 5 for the model name), so AddressSanitizer reports any write beyond.
//
// Checked after every call:
//   - the last error is one that the call may report, and the result agrees;
//   - a refused call changes no state but the last error (Initial's 103 records
//     the refused port and baud rate by design);
//   - calls that never touch the last error leave it alone;
//   - QueryBuf never exceeds BufferCount; GetSnapshot's row position lies in
//     0..RowsPerBuffer-1 and its rows are the ring's rows ending there;
//     ADResult* copy the buffer the ring state names;
//   - a start that must fail with 109 allocates nothing large.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include "core/driver.h"
#include "fake_platform.h"
#include "fuzz_check.h"
#include "wexlink.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WEXLINK_FUZZ_ALLOCATOR_HOOKS 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define WEXLINK_FUZZ_ALLOCATOR_HOOKS 1
#endif
#ifdef WEXLINK_FUZZ_ALLOCATOR_HOOKS
// From the sanitizer runtime (clang's and gcc's); gcc ships no header for it.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, std::size_t),
                                                         void (*free_hook)(const volatile void*));
#endif

namespace {

using wexlink::Driver;
using wexlink::DriverState;
using wexlink::testing::FakePlatform;

// Runs are kept below this many bytes of sample buffers so that an input runs
// in milliseconds; larger valid shapes are scaled down. Shapes beyond the
// library's own limit are passed as they are: they must fail with 109.
constexpr uint64_t kFuzzSampleCap = 1u << 20;
// The largest destination the fuzzer allocates for GetSnapshot; a larger
// request is refused by the library, which then must not write at all.
constexpr uint64_t kLargestRecord = 16u << 20;
// An allocation this large during a start that fails with 109 is a fault.
constexpr std::size_t kLargeAllocation = 64u << 20;

#ifdef WEXLINK_FUZZ_ALLOCATOR_HOOKS
std::size_t g_largestAllocation = 0;
void OnMalloc(const volatile void*, std::size_t size) {
  g_largestAllocation = std::max(g_largestAllocation, size);
}
void OnFree(const volatile void*) {}
#endif

// A heap block of exactly `size` bytes (at least one, so that a zero-size
// destination still has an address).
struct Destination {
  explicit Destination(std::size_t n) : size(n), bytes(new uint8_t[std::max<std::size_t>(n, 1)]) {
    std::memset(bytes.get(), 0xEE, std::max<std::size_t>(n, 1));
  }
  std::size_t size;
  std::unique_ptr<uint8_t[]> bytes;
};

// Everything the calls may change, as plain values.
struct Observed {
  int32_t initialized;
  uint16_t portNumber;
  int32_t baudRate;
  int8_t missThreshold;
  std::array<intptr_t, 4> windows;
  std::array<uint32_t, 12> slotValues;
  std::array<uint8_t, wexlink::kAddressTableBytes> addressTable;
  std::array<uint8_t, 6> requestFrame;
  uint32_t useAddressTable;
  uint16_t moduleCount;
  int32_t moduleIndex;
  int32_t firstPollPending;
  std::array<int8_t, wexlink::kMaxModules> counts;
  std::array<uint16_t, wexlink::kMaxChannels> values;
  uint16_t runMode, bufferMode;
  bool timerActive;
  uint16_t bufferCount;
  uint32_t rowsPerBuffer;
  uint16_t channelCount;
  int32_t samplePeriod;
  uint32_t bufferValues, bufferBytes;
  // The continuous ring.
  const void* continuousBuffers;
  uint64_t continuousDigest;
  uint16_t continuousSequence, writeIndex, readIndex, overflow;
  const void* fillBuffer;
  uint32_t continuousFill;
  // The snapshot ring.
  const void* snapshotBuffer;
  uint64_t snapshotDigest;
  uint16_t snapshotSequence;
  uint32_t snapshotFill, published, rowsStored;
  // The fakes: the device and the timer.
  bool deviceOpen;
  int openCount, closeCount;
  bool timerRunning;
  int timerStarts, timerKills;

  bool operator==(const Observed&) const = default;
};

// A hash of the sample buffers: all of them when small, else both ends, which
// keeps a call's check cheap on the largest shapes the fuzzer starts.
uint64_t Digest(const uint16_t* words, std::size_t count) {
  constexpr std::size_t kEnd = 4 * 1024;
  uint64_t h = 1469598103934665603ull;
  auto mix = [&](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) h = (h ^ words[i]) * 1099511628211ull;
  };
  if (count <= 2 * kEnd) {
    mix(0, count);
  } else {
    mix(0, kEnd);
    mix(count - kEnd, count);
  }
  return h;
}

class CardHarness {
 public:
  explicit CardHarness(FuzzedDataProvider& in) : in_(in) {}

  void Run() {
    int calls = 0;
    while (in_.remaining_bytes() > 0 && calls++ < 512) {
      switch (in_.ConsumeIntegralInRange<int>(0, 19)) {
        case 0: CallInitial(); break;
        case 1: CallIOCtl(); break;
        case 2: CallRegisterNotify(); break;
        case 3:
        case 4: CallStart(/*snapshot=*/false); break;
        case 5:
        case 6: CallStart(/*snapshot=*/true); break;
        case 7: CallStopIntr(); break;
        case 8: CallQueryBuf(); break;
        case 9: CallADResult(/*recent=*/false); break;
        case 10: CallADResult(/*recent=*/true); break;
        case 11:
        case 12: CallGetSnapshot(); break;
        case 13:
        case 14:
        case 15: Ticks(); break;
        case 16: CallInformation(); break;
        case 17:
          fake_.serial.deviceExists = in_.ConsumeBool();
          FuzzTrace("device %s", fake_.serial.deviceExists ? "present" : "missing");
          break;
        case 18:
          fake_.timer.startResult = in_.ConsumeBool();
          FuzzTrace("timer %s", fake_.timer.startResult ? "starts" : "fails");
          break;
        default: CallNullDestination(); break;
      }
    }
  }

 private:
  Observed Observe() const {
    const DriverState& s = driver_.State();
    Observed o{};
    o.initialized = s.Initialized;
    o.portNumber = s.PortNumber;
    o.baudRate = s.BaudRate;
    o.missThreshold = s.MissThreshold.load();
    for (std::size_t i = 0; i < 4; ++i) {
      o.windows[i] = s.NotifySlots[i].window.load();
      o.slotValues[3 * i] = s.NotifySlots[i].message.load();
      o.slotValues[3 * i + 1] = s.NotifySlots[i].wParam.load();
      o.slotValues[3 * i + 2] = s.NotifySlots[i].lParam.load();
    }
    for (std::size_t i = 0; i < o.addressTable.size(); ++i) o.addressTable[i] = s.ModuleAddressTable[i].load();
    o.requestFrame = s.RequestFrame;
    o.useAddressTable = s.UseAddressTable;
    o.moduleCount = s.ModuleCount;
    o.moduleIndex = s.ModuleIndex;
    o.firstPollPending = s.FirstPollPending;
    o.counts = s.ModuleErrorCounts;
    o.values = s.ChannelValueTable;
    o.runMode = s.RunMode.load();
    o.bufferMode = s.BufferMode;
    o.timerActive = s.TimerActive;
    o.bufferCount = s.BufferCount;
    o.rowsPerBuffer = s.RowsPerBuffer;
    o.channelCount = s.ChannelCount;
    o.samplePeriod = s.SamplePeriod;
    o.bufferValues = s.BufferValues;
    o.bufferBytes = s.BufferBytes;
    const wexlink::ContinuousRing& c = driver_.Continuous();
    o.continuousBuffers = c.Held() ? c.Buffer(0) : nullptr;
    if (c.Held()) {
      o.continuousDigest =
          Digest(c.Buffer(0), std::size_t{c.BufferCount()} * (c.BufferValues() + 1u));
    }
    o.continuousSequence = c.SequenceCount();
    o.writeIndex = c.WriteIndex();
    o.readIndex = c.ReadIndex();
    o.overflow = c.OverflowCount();
    o.fillBuffer = c.FillBuffer();
    o.continuousFill = c.FillCount();
    const wexlink::SnapshotRing& r = driver_.Snapshot();
    o.snapshotBuffer = r.Held() ? r.Buffer() : nullptr;
    if (r.Held()) o.snapshotDigest = Digest(r.Buffer(), r.BufferValues() + 1u);
    o.snapshotSequence = r.SequenceCount();
    o.snapshotFill = r.FillCount();
    o.published = r.PublishedPosition();
    o.rowsStored = r.RowsStored();
    o.deviceOpen = fake_.serial.isOpen;
    o.openCount = fake_.serial.openCount;
    o.closeCount = fake_.serial.closeCount;
    o.timerRunning = fake_.timer.running;
    o.timerStarts = fake_.timer.startCount;
    o.timerKills = fake_.timer.killCount;
    return o;
  }

  int32_t Error() const { return driver_.GetLastADError(); }

  static bool OneOf(int32_t code, std::initializer_list<int32_t> codes) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  }

  // A call that returned 0 with `code` changed nothing but the last error.
  void ExpectUnchanged(const Observed& before, const char* call) const {
    FUZZ_CHECK(Observe() == before, "%s refused with %d but changed the driver state", call, Error());
  }

  void CallInitial() {
    const auto port = in_.ConsumeIntegral<uint32_t>();
    const auto threshold = in_.ConsumeIntegral<int32_t>();
    const int32_t baud = in_.ConsumeBool() ? in_.ConsumeIntegralInRange<int32_t>(0, 20) : in_.ConsumeIntegral<int32_t>();
    const Observed before = Observe();
    const int32_t result = driver_.Initial(port, threshold, baud);
    FuzzTrace("Initial(%u, %d, %d) = %d, error %d", port, threshold, baud, result, Error());
    const int32_t code = Error();
    FUZZ_CHECK(OneOf(code, {0, WEXLINK_E_BUSY, WEXLINK_E_BAD_SETUP}), "Initial: code %d", code);
    FUZZ_CHECK((result == 1) == (code == 0) && (result == 0 || result == 1), "Initial: %d with code %d", result, code);
    if (code == WEXLINK_E_BUSY) {
      FUZZ_CHECK(before.runMode != 0, "Initial: 102 without a run");
      ExpectUnchanged(before, "Initial");
    } else if (code == WEXLINK_E_BAD_SETUP) {
      // The refused port and baud rate are recorded (outside a run); nothing else changes.
      Observed expected = before;
      if (before.initialized == 0 || before.runMode == 0) {
        expected.portNumber = static_cast<uint16_t>(port);
        expected.baudRate = baud;
      }
      FUZZ_CHECK(Observe() == expected, "Initial: 103 changed more than the port and baud rate");
    } else {
      FUZZ_CHECK(driver_.State().MissThreshold.load() == static_cast<int8_t>(threshold & 0xFF), "threshold");
      FUZZ_CHECK(driver_.State().Initialized == 1, "not initialised after success");
    }
  }

  void CallIOCtl() {
    const int32_t length = in_.ConsumeBool() ? in_.ConsumeIntegralInRange<int32_t>(-2, 66) : in_.ConsumeIntegral<int32_t>();
    const int32_t control = in_.ConsumeBool() ? 0 : in_.ConsumeIntegral<int32_t>();
    // The source is exactly as long as the length says (when that is sane).
    const std::size_t size = (length > 0 && length < 64) ? static_cast<std::size_t>(length) : 1;
    std::vector<uint8_t> source = in_.ConsumeBytes<uint8_t>(size);
    source.resize(size, 0x5A);
    Destination exact(size);
    std::memcpy(exact.bytes.get(), source.data(), size);
    const Observed before = Observe();
    const int32_t result = driver_.IOCtl(length, exact.bytes.get(), control);
    FuzzTrace("IOCtl(%d, ..., %d) = %d, error %d", length, control, result, Error());
    const int32_t code = Error();
    FUZZ_CHECK(OneOf(code, {0, WEXLINK_E_IOCTL}), "IOCtl: code %d", code);
    FUZZ_CHECK((result == 1) == (code == 0), "IOCtl: %d with code %d", result, code);
    if (code != 0) {
      ExpectUnchanged(before, "IOCtl");
      return;
    }
    Observed expected = before;
    std::copy(source.begin(), source.end(), expected.addressTable.begin());
    FUZZ_CHECK(Observe() == expected, "IOCtl: table not loaded as given");
  }

  void CallRegisterNotify() {
    const uint32_t slot = in_.ConsumeBool() ? in_.ConsumeIntegralInRange<uint32_t>(0, 5) : in_.ConsumeIntegral<uint32_t>();
    const auto window = static_cast<intptr_t>(in_.ConsumeIntegralInRange<int32_t>(0, 3));
    const auto message = in_.ConsumeIntegralInRange<uint32_t>(0, 2);
    const auto w = in_.ConsumeIntegral<uint32_t>();
    const auto l = in_.ConsumeIntegral<uint32_t>();
    const Observed before = Observe();
    const int32_t result = driver_.RegisterNotify(slot, window, message, w, l);
    FuzzTrace("RegisterNotify(%u, %ld, %u, %u, %u) = %d, error %d", slot, static_cast<long>(window), message, w, l,
              result, Error());
    const int32_t code = Error();
    FUZZ_CHECK(OneOf(code, {0, WEXLINK_E_SLOT}), "RegisterNotify: code %d", code);
    FUZZ_CHECK((result == 1) == (code == 0), "RegisterNotify: %d with code %d", result, code);
    FUZZ_CHECK((code == 0) == (slot <= 3), "RegisterNotify: slot %u gave %d", slot, code);
    if (code != 0) ExpectUnchanged(before, "RegisterNotify");
  }

  // Start arguments: sane shapes, anything at all, or shapes beyond the
  // library's limit. Valid shapes above the fuzzing cap are scaled down.
  void CallStart(bool snapshot) {
    uint32_t buffers = 0, rows = 0, channels = 0;
    int32_t period = 0;
    switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
      case 1:
        buffers = in_.ConsumeIntegralInRange<uint32_t>(0, 6);
        rows = in_.ConsumeIntegralInRange<uint32_t>(3, 40);
        channels = in_.ConsumeIntegralInRange<uint32_t>(0, 33) * 8 + (in_.ConsumeIntegralInRange<uint32_t>(0, 7) == 0 ? 4 : 0);
        period = -in_.ConsumeIntegralInRange<int32_t>(690, 100010);
        break;
      case 2:
        buffers = in_.ConsumeIntegral<uint32_t>();
        rows = in_.ConsumeIntegral<uint32_t>();
        channels = in_.ConsumeIntegral<uint32_t>();
        period = in_.ConsumeIntegral<int32_t>();
        break;
      default:
        // Beyond 1 GiB of sample buffers whatever the other arguments.
        buffers = in_.ConsumeIntegralInRange<uint32_t>(1, 0xFFFF);
        rows = in_.ConsumeIntegralInRange<uint32_t>(70'000'000u, UINT32_MAX);
        channels = 8 * in_.ConsumeIntegralInRange<uint32_t>(1, 32);
        period = -in_.ConsumeIntegralInRange<int32_t>(700, 100000);
        break;
    }
    const uint32_t b16 = snapshot ? 1 : (buffers & 0xFFFFu);
    const uint32_t c16 = channels & 0xFFFFu;
    const bool shapeValid = b16 >= 1 && rows >= 5 && c16 >= 8 && c16 % 8 == 0 && c16 <= 256;
    if (shapeValid) {
      uint64_t bufferBytes = 2ull * c16 * rows + 2;
      const uint64_t total = bufferBytes * b16;
      if (total > kFuzzSampleCap && total <= WEXLINK_MAX_SAMPLE_BYTES) {
        rows = 5 + rows % 32;
        bufferBytes = 2ull * c16 * rows + 2;
        if (bufferBytes * b16 > kFuzzSampleCap) {
          buffers = (buffers & 0xFFFF0000u) | static_cast<uint32_t>(kFuzzSampleCap / bufferBytes);
        }
      }
    }
    const bool beyondLimit =
        shapeValid && (2ull * c16 * rows + 2) * (snapshot ? 1 : (buffers & 0xFFFFu)) > WEXLINK_MAX_SAMPLE_BYTES;

    const Observed before = Observe();
#ifdef WEXLINK_FUZZ_ALLOCATOR_HOOKS
    g_largestAllocation = 0;
#endif
    const uint32_t table = in_.ConsumeIntegral<uint32_t>();
    const int32_t result = snapshot ? driver_.StartSnapshot(rows, table, channels, period)
                                    : driver_.StartIntr(buffers, rows, table, channels, period);
    FuzzTrace("%s(%u, %u, %u, %u, %d) = %d, error %d", snapshot ? "StartSnapshot" : "StartIntr", buffers, rows, table,
              channels, period, result, Error());
    const int32_t code = Error();
    const DriverState& s = driver_.State();
    FUZZ_CHECK(OneOf(code, {0, WEXLINK_E_NOT_INITIALIZED, WEXLINK_E_BUFFER_COUNT, WEXLINK_E_ROWS, WEXLINK_E_CHANNELS,
                            WEXLINK_E_TOO_MANY_CHANNELS, WEXLINK_E_PERIOD_TOO_LONG, WEXLINK_E_PERIOD_TOO_SHORT,
                            WEXLINK_E_BUSY, WEXLINK_E_TIMER, WEXLINK_E_PORT, WEXLINK_E_ALLOC}),
               "start: code %d", code);
    FUZZ_CHECK(!(snapshot && code == WEXLINK_E_BUFFER_COUNT), "StartSnapshot reported 10");
    FUZZ_CHECK((result != 0) == (code == 0), "start: %d with code %d", result, code);
    switch (code) {
      case 0:
        FUZZ_CHECK(result == static_cast<int32_t>(2 * c16 * rows + 2), "start returned %d", result);
        FUZZ_CHECK(s.RunMode.load() == (snapshot ? 2 : 1) && s.BufferMode == s.RunMode.load(), "run mode");
        FUZZ_CHECK(fake_.serial.isOpen && fake_.timer.running, "run without an open port or a timer");
        bufferBytes_ = static_cast<uint32_t>(result);
        channels_ = static_cast<uint16_t>(c16);
        break;
      case WEXLINK_E_ALLOC:
#ifdef WEXLINK_FUZZ_ALLOCATOR_HOOKS
        FUZZ_CHECK(g_largestAllocation < kLargeAllocation, "a start refused with 109 allocated %zu bytes",
                   g_largestAllocation);
#endif
        [[fallthrough]];
      case WEXLINK_E_PORT:
      case WEXLINK_E_TIMER:
        FUZZ_CHECK(s.RunMode.load() == 0 && s.BufferMode == 0 && !driver_.Continuous().Held() &&
                       !driver_.Snapshot().Held(),
                   "failed start holds a run");
        FUZZ_CHECK(!fake_.serial.isOpen && !fake_.timer.running, "failed start left the port or timer on");
        break;
      default:
        ExpectUnchanged(before, "start");
        break;
    }
    if (beyondLimit && code != WEXLINK_E_NOT_INITIALIZED && code != WEXLINK_E_PERIOD_TOO_LONG &&
        code != WEXLINK_E_PERIOD_TOO_SHORT && code != WEXLINK_E_BUSY) {
      FUZZ_CHECK(code == WEXLINK_E_ALLOC, "a start beyond the size limit gave %d", code);
    }
  }

  void CallStopIntr() {
    const Observed before = Observe();
    const int32_t result = driver_.StopIntr();
    FuzzTrace("StopIntr() = %d, error %d", result, Error());
    const int32_t code = Error();
    FUZZ_CHECK(OneOf(code, {0, WEXLINK_E_NOT_INITIALIZED, WEXLINK_E_NOT_RUNNING}), "StopIntr: code %d", code);
    FUZZ_CHECK((result == 1) == (code == 0), "StopIntr: %d with code %d", result, code);
    if (code != 0) {
      ExpectUnchanged(before, "StopIntr");
      return;
    }
    FUZZ_CHECK(driver_.State().RunMode.load() == 0 && !fake_.timer.running && !fake_.serial.isOpen,
               "StopIntr left the run on");
    const Observed after = Observe();
    FUZZ_CHECK(after.bufferMode == before.bufferMode &&
                   after.continuousBuffers == before.continuousBuffers &&
                   after.snapshotBuffer == before.snapshotBuffer,
               "StopIntr released the buffers");
  }

  void CallQueryBuf() {
    const Observed before = Observe();
    const uint32_t result = driver_.QueryBuf();
    FuzzTrace("QueryBuf() = %u, error %d", result, Error());
    const int32_t code = Error();
    FUZZ_CHECK(OneOf(code, {0, WEXLINK_E_NOT_INITIALIZED, WEXLINK_E_NO_CONTINUOUS}), "QueryBuf: code %d", code);
    FUZZ_CHECK(code == 0 || result == 0, "QueryBuf: %u with code %d", result, code);
    FUZZ_CHECK(result <= driver_.State().BufferCount, "QueryBuf %u above BufferCount %u", result,
               driver_.State().BufferCount);
    ExpectUnchanged(before, "QueryBuf");
  }

  void CallADResult(bool recent) {
    // The caller's buffer: the last successful start's result, exactly.
    Destination out(bufferBytes_);
    const Observed before = Observe();
    const wexlink::ContinuousRing& ring = driver_.Continuous();
    const uint16_t read = before.readIndex;
    const bool full = before.overflow != 0;
    uint16_t chosen = read;
    if (recent && !full) chosen = before.writeIndex == 0 ? static_cast<uint16_t>(before.bufferCount - 1)
                                                         : static_cast<uint16_t>(before.writeIndex - 1);
    const int32_t result = recent ? driver_.ADResultRecent(out.bytes.get()) : driver_.ADResult(out.bytes.get());
    FuzzTrace("%s(%zu bytes) = %d, error %d", recent ? "ADResultRecent" : "ADResult", out.size, result, Error());
    const int32_t code = Error();
    FUZZ_CHECK(OneOf(code, {0, WEXLINK_E_NOT_INITIALIZED, WEXLINK_E_NO_CONTINUOUS, WEXLINK_E_NO_BUFFER_READY}),
               "ADResult: code %d", code);
    FUZZ_CHECK((result == 1) == (code == 0), "ADResult: %d with code %d", result, code);
    if (code != 0) {
      ExpectUnchanged(before, recent ? "ADResultRecent" : "ADResult");
      FUZZ_CHECK(std::all_of(out.bytes.get(), out.bytes.get() + out.size, [](uint8_t v) { return v == 0xEE; }),
                 "a refused read-out wrote to the caller's buffer");
      return;
    }
    FUZZ_CHECK(before.bufferMode == 1 && before.bufferBytes == bufferBytes_, "read-out without continuous buffers");
    FUZZ_CHECK(std::memcmp(out.bytes.get(), ring.Buffer(chosen), out.size) == 0,
               "copied another buffer than %u", chosen);
    FUZZ_CHECK(ring.OverflowCount() == 0, "overflow not cleared by a read-out");
    const uint16_t readAfter = ring.ReadIndex();
    if (recent) {
      FUZZ_CHECK(readAfter == before.writeIndex, "ADResultRecent left ReadIndex %u, WriteIndex %u", readAfter,
                 before.writeIndex);
    } else {
      FUZZ_CHECK(readAfter == (read + 1u) % before.bufferCount, "ADResult moved ReadIndex %u -> %u", read, readAfter);
    }
  }

  void CallGetSnapshot() {
    const uint32_t rows = in_.ConsumeBool() ? in_.ConsumeIntegralInRange<uint32_t>(0, 48) : in_.ConsumeIntegral<uint32_t>();
    const uint64_t recordBytes = 2ull * channels_ * rows + 6;
    Destination out(recordBytes <= kLargestRecord ? static_cast<std::size_t>(recordBytes) : 1);
    const Observed before = Observe();
    const int32_t result = driver_.GetSnapshot(out.bytes.get(), rows);
    FuzzTrace("GetSnapshot(%zu bytes, %u) = %d, error %d", out.size, rows, result, Error());
    const int32_t code = Error();
    FUZZ_CHECK(OneOf(code, {0, WEXLINK_E_NOT_INITIALIZED, WEXLINK_E_NO_SNAPSHOT, WEXLINK_E_SNAPSHOT_ROWS}),
               "GetSnapshot: code %d", code);
    FUZZ_CHECK((result == 1) == (code == 0), "GetSnapshot: %d with code %d", result, code);
    ExpectUnchanged(before, "GetSnapshot");
    if (code != 0) {
      FUZZ_CHECK(std::all_of(out.bytes.get(), out.bytes.get() + out.size, [](uint8_t v) { return v == 0xEE; }),
                 "a refused GetSnapshot wrote to the caller's buffer");
      return;
    }
    FUZZ_CHECK(out.size == recordBytes && channels_ == before.channelCount, "record size");
    uint16_t sequence = 0;
    int32_t newest = 0;
    std::memcpy(&sequence, out.bytes.get(), 2);
    std::memcpy(&newest, out.bytes.get() + recordBytes - 4, 4);
    FUZZ_CHECK(sequence == before.snapshotSequence, "record pass count %u, ring %u", sequence,
               before.snapshotSequence);
    FUZZ_CHECK(newest >= 0 && static_cast<uint32_t>(newest) < before.rowsPerBuffer, "row position %d of %u", newest,
               before.rowsPerBuffer);
    const uint32_t expectedNewest = before.published == 0 ? before.rowsPerBuffer - 1 : before.published / channels_ - 1;
    FUZZ_CHECK(static_cast<uint32_t>(newest) == expectedNewest, "row position %d, published %u", newest,
               before.published);
    // Row i of the record is ring row newest - (rows - 1) + i, cyclically.
    const uint16_t* ring = driver_.Snapshot().Buffer() + 1;
    for (uint32_t i = 0; i < rows; ++i) {
      const uint64_t ringRow = (uint64_t{static_cast<uint32_t>(newest)} + before.rowsPerBuffer - (rows - 1) + i) %
                               before.rowsPerBuffer;
      FUZZ_CHECK(std::memcmp(out.bytes.get() + 2 + 2ull * channels_ * i, ring + ringRow * channels_,
                             2ull * channels_) == 0,
                 "record row %u is not ring row %llu", i, static_cast<unsigned long long>(ringRow));
    }
  }

  // Calls that never touch the last error or the run.
  void CallInformation() {
    FuzzTrace("ConfigInfo, GetADPropString, ChannelFrq");
    const Observed before = Observe();
    const int32_t error = Error();
    Destination name(5);
    Destination property(83);
    int32_t limit = 0, one = 0, ten1 = 0, ten2 = 0, zero = -1;
    float half = 0, span = 0;
    Driver::ConfigInfo(reinterpret_cast<char*>(name.bytes.get()), &limit, &one, &ten1, &ten2, &half, &span, &zero);
    FUZZ_CHECK(std::memcmp(name.bytes.get(), "W316", 5) == 0 && limit == 256 && one == 1 && ten1 == 10 &&
                   ten2 == 10 && half == 32768.0f && span == 65536.0f && zero == 0,
               "ConfigInfo outputs");
    FUZZ_CHECK(Driver::GetADPropStrSize() == 82, "property string size");
    FUZZ_CHECK(Driver::GetADPropString(reinterpret_cast<char*>(property.bytes.get())) == 1, "GetADPropString");
    FUZZ_CHECK(property.bytes[82] == 0 && std::memchr(property.bytes.get(), 0, 82) == nullptr, "property terminator");
    (void)Driver::ChannelFrq(in_.ConsumeIntegral<int32_t>(), in_.ConsumeIntegral<int32_t>());
    FUZZ_CHECK(Error() == error, "an information call changed the last error");
    ExpectUnchanged(before, "an information call");
  }

  // A null destination: refused, nothing written, nothing changed.
  void CallNullDestination() {
    const Observed before = Observe();
    int32_t result = 0;
    switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: result = driver_.ADResult(nullptr); break;
      case 1: result = driver_.ADResultRecent(nullptr); break;
      case 2: result = driver_.GetSnapshot(nullptr, in_.ConsumeIntegralInRange<uint32_t>(0, 8)); break;
      default: result = driver_.IOCtl(in_.ConsumeIntegralInRange<int32_t>(2, 8) & ~1, nullptr, 0); break;
    }
    FuzzTrace("a call with a null destination = %d, error %d", result, Error());
    FUZZ_CHECK(result == 0 && Error() != 0, "a null destination was accepted");
    ExpectUnchanged(before, "a call with a null destination");
  }

  // Timer ticks with arbitrary bytes, or well-framed replies, on the line.
  void Ticks() {
    const int n = in_.ConsumeIntegralInRange<int>(1, 300);
    const bool replies = in_.ConsumeBool();
    const int32_t error = Error();
    for (int i = 0; i < n && in_.remaining_bytes() > 0; ++i) {
      if (!fake_.timer.Fire()) break;
      // What arrives before the next tick: a module's reply, or anything.
      if (replies) {
        std::vector<uint8_t> reply(22, static_cast<uint8_t>(i));
        reply.front() = 0xAA;
        reply.back() = 0x55;
        fake_.serial.Deliver(reply);
      } else {
        fake_.serial.Deliver(in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange<std::size_t>(0, 30)));
      }
      fake_.serial.writes.clear();
      fake_.poster.posted.clear();
      const DriverState& s = driver_.State();
      FUZZ_CHECK(s.ModuleIndex >= 0 && s.ModuleIndex < std::max<int>(s.ModuleCount, 1), "ModuleIndex %d",
                 s.ModuleIndex);
      const uint32_t published = driver_.Snapshot().PublishedPosition();
      const uint32_t fill = driver_.Continuous().FillCount();
      FUZZ_CHECK(s.BufferMode != 2 || published < s.BufferValues, "published %u of %u", published,
                 s.BufferValues);
      FUZZ_CHECK(s.BufferMode != 1 || fill < s.BufferValues, "fill count %u of %u", fill,
                 s.BufferValues);
    }
    FuzzTrace("%d ticks (%s)", n, replies ? "replies" : "bytes");
    FUZZ_CHECK(Error() == error, "a tick wrote the last error");
  }

  FuzzedDataProvider& in_;
  FakePlatform fake_;
  Driver driver_{fake_.platform()};
  uint32_t bufferBytes_ = 0;  // the last successful start's result
  uint16_t channels_ = 8;     // the channel count of the last successful start
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
#ifdef WEXLINK_FUZZ_ALLOCATOR_HOOKS
  __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree);
#endif
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  CardHarness harness(in);
  harness.Run();
  return 0;
}
