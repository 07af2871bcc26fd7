// Fuzzes the poll step: arbitrary bytes arrive on the line in chunks between
// ticks, over runs of any module count, miss threshold and address table. After
// every tick the fuzzer checks the step against the rules of the protocol:
//
//   - the request went to module k = ModuleIndex, with the right address bytes;
//   - only module p (the one polled a step earlier) changes its count or values;
//   - p's values change only to the little-endian values of bytes 5..20 of a
//     read of exactly 22 bytes framed by 0xAA ... 0x55, or to zeros under the
//     threshold rule; its stored miss count never exceeds 125;
//   - every byte waiting is read (up to the core's read limit), nothing on the
//     first step of a run;
//   - ModuleIndex stays within 0..ModuleCount-1 and advances by one;
//   - a completed poll cycle stores exactly the table's first ChannelCount
//     values as the next row;
//   - nothing on the timer's side writes the last error.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "core/driver.h"
#include "fake_platform.h"
#include "fuzz_check.h"

namespace {

using wexlink::Driver;
using wexlink::DriverState;
using wexlink::testing::FakePlatform;

// The most bytes one step takes in (the core reads a flood in pieces this size).
constexpr std::size_t kReadLimit = 64 * 1024;
constexpr int kMissCeiling = 125;

struct RunShape {
  bool snapshot = true;
  uint32_t buffers = 1;
  uint32_t rows = 5;
  uint32_t channels = 8;
  uint32_t useTable = 0;
};

class PollHarness {
 public:
  explicit PollHarness(FuzzedDataProvider& in) : in_(in) {}

  void Run() {
    const auto threshold = in_.ConsumeIntegral<int8_t>();
    FUZZ_CHECK(driver_.Initial(1, threshold, 9600) == 1, "Initial refused");
    LoadAddressTable();
    if (!Start()) return;
    int steps = 0;
    while (in_.remaining_bytes() > 0 && steps++ < 4096) {
      switch (in_.ConsumeIntegralInRange<int>(0, 15)) {
        case 0:
        case 1: Deliver(in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange<std::size_t>(0, 64))); break;
        case 2:
        case 3: DeliverReply(); break;
        case 4:
        case 5:
        case 6:
        case 7:
        case 8: Tick(); break;
        case 9: {
          const int n = in_.ConsumeIntegralInRange<int>(1, 40);
          for (int i = 0; i < n; ++i) Tick();
          break;
        }
        case 10: {
          // The threshold may change during a run; the step reads it afresh.
          const auto t = in_.ConsumeIntegral<int8_t>();
          FUZZ_CHECK(driver_.Initial(1, t, 9600) == 1, "Initial during a run refused");
          FUZZ_CHECK(driver_.State().MissThreshold.load() == t, "threshold not stored");
          break;
        }
        case 11: LoadAddressTable(); break;
        case 12: {
          // A flood longer than one step reads (twice per input at most: it
          // is slow to check, and more of them find nothing new).
          const auto n = in_.ConsumeIntegralInRange<std::size_t>(kReadLimit - 8, kReadLimit + 40);
          const auto fill = in_.ConsumeIntegral<uint8_t>();
          if (floods_++ < 2) Deliver(std::vector<uint8_t>(n, fill));
          break;
        }
        case 13: {
          // Stop and start again with another shape; the per-run state resets.
          FUZZ_CHECK(driver_.StopIntr() == 1, "StopIntr refused during a run");
          if (!Start()) return;
          break;
        }
        default: TickAndReply(); break;
      }
    }
  }

 private:
  void LoadAddressTable() {
    const int pairs = in_.ConsumeIntegralInRange<int>(0, 31);
    if (pairs == 0) return;
    std::vector<uint8_t> bytes = in_.ConsumeBytes<uint8_t>(static_cast<std::size_t>(2 * pairs));
    bytes.resize(static_cast<std::size_t>(2 * pairs), 0);
    FUZZ_CHECK(driver_.IOCtl(2 * pairs, bytes.data(), 0) == 1, "IOCtl of %d pairs refused", pairs);
    std::copy(bytes.begin(), bytes.end(), table_.begin());
  }

  bool Start() {
    shape_.snapshot = in_.ConsumeBool();
    shape_.buffers = in_.ConsumeIntegralInRange<uint32_t>(1, 4);
    shape_.rows = in_.ConsumeIntegralInRange<uint32_t>(5, 40);
    shape_.channels = 8 * in_.ConsumeIntegralInRange<uint32_t>(1, 32);
    shape_.useTable = in_.ConsumeIntegral<uint32_t>();
    const int32_t period = -in_.ConsumeIntegralInRange<int32_t>(700, 100000);
    const int32_t bytes =
        shape_.snapshot ? driver_.StartSnapshot(shape_.rows, shape_.useTable, shape_.channels, period)
                        : driver_.StartIntr(shape_.buffers, shape_.rows, shape_.useTable,
                                            shape_.channels, period);
    FuzzTrace("%s: %u buffers, %u rows, %u channels, table switch %u", shape_.snapshot ? "StartSnapshot" : "StartIntr",
              shape_.buffers, shape_.rows, shape_.channels, shape_.useTable);
    FUZZ_CHECK(bytes == static_cast<int32_t>(2 * shape_.channels * shape_.rows + 2),
               "start returned %d (error %d)", bytes, driver_.GetLastADError());
    const DriverState& s = driver_.State();
    FUZZ_CHECK(s.ModuleCount == shape_.channels / 8, "ModuleCount %u", s.ModuleCount);
    FUZZ_CHECK(s.UseAddressTable == (shape_.useTable & 0xFFFFu), "UseAddressTable %u", s.UseAddressTable);
    FUZZ_CHECK(s.ModuleIndex == 0 && s.FirstPollPending == 1, "per-run poll state not reset");
    for (int m = 0; m < wexlink::kMaxModules; ++m) {
      FUZZ_CHECK(s.ModuleErrorCounts[static_cast<std::size_t>(m)] == 0, "count %d not reset", m);
    }
    for (uint16_t v : s.ChannelValueTable) FUZZ_CHECK(v == 0, "channel table not reset");
    return true;
  }

  void Deliver(const std::vector<uint8_t>& bytes) {
    FuzzTrace("deliver %zu bytes", bytes.size());
    fake_.serial.Deliver(bytes);
    line_.insert(line_.end(), bytes.begin(), bytes.end());
  }

  // A well-framed reply with fuzzed header and values, the bytes a module sends.
  void DeliverReply() {
    std::vector<uint8_t> reply(wexlink::kReplyLength);
    reply.front() = wexlink::kFrameStart;
    reply.back() = wexlink::kFrameEnd;
    const auto body = in_.ConsumeBytes<uint8_t>(wexlink::kReplyLength - 2);
    std::copy(body.begin(), body.end(), reply.begin() + 1);
    Deliver(reply);
  }

  // Ticks with a module that answers each request in time for the next tick.
  void TickAndReply() {
    const int n = in_.ConsumeIntegralInRange<int>(1, 64);
    for (int i = 0; i < n; ++i) {
      Tick();
      DeliverReply();
    }
  }

  void Tick() {
    DriverState& s = driver_.State();
    const int n = s.ModuleCount;
    const int k = s.ModuleIndex;
    FUZZ_CHECK(n >= 1 && n <= wexlink::kMaxModules, "ModuleCount %d", n);
    FUZZ_CHECK(k >= 0 && k < n, "ModuleIndex %d with %d modules", k, n);
    const int p = (k + n - 1) % n;
    const bool firstStep = s.FirstPollPending != 0;
    const int8_t threshold = s.MissThreshold.load();
    const auto countsBefore = s.ModuleErrorCounts;
    const auto valuesBefore = s.ChannelValueTable;
    const std::size_t waiting = fake_.serial.Waiting();
    FUZZ_CHECK(waiting == line_.size(), "fake line out of step");
    const wexlink::SnapshotRing& snapshot = driver_.Snapshot();
    const wexlink::ContinuousRing& continuous = driver_.Continuous();
    const uint32_t published = snapshot.PublishedPosition();
    const uint16_t* fillBuffer = continuous.FillBuffer();
    const uint32_t fillCount = continuous.FillCount();
    const bool ringFull = continuous.OverflowCount() != 0;
    const int32_t errorBefore = driver_.GetLastADError();
    fake_.serial.writes.clear();

    FUZZ_CHECK(fake_.timer.Fire(), "timer not running during a run");
    FuzzTrace("tick: module %d of %d, %zu bytes waiting, threshold %d", k, n, waiting, threshold);

    // The request: AA 03 a b 04 55 to module k.
    FUZZ_CHECK(fake_.serial.writes.size() == 1, "%zu writes in one step", fake_.serial.writes.size());
    const auto& request = fake_.serial.writes.front();
    uint8_t a = 1;
    auto b = static_cast<uint8_t>(k);
    if ((shape_.useTable & 0xFFFFu) != 0) {
      a = table_[static_cast<std::size_t>(2 * k)];
      b = table_[static_cast<std::size_t>(2 * k + 1)];
    }
    const std::vector<uint8_t> expected{0xAA, 0x03, a, b, 0x04, 0x55};
    FUZZ_CHECK(request == expected, "request to module %d: %02X %02X", k, request.size() > 3 ? request[2] : 0,
               request.size() > 3 ? request[3] : 0);

    // What was read: everything waiting (in pieces of the read limit), and
    // nothing on the first step of a run.
    const std::size_t consumed = waiting - fake_.serial.Waiting();
    if (firstStep) {
      FUZZ_CHECK(consumed == 0, "first step read %zu bytes", consumed);
    } else {
      FUZZ_CHECK(consumed == std::min(waiting, kReadLimit), "read %zu of %zu waiting", consumed, waiting);
    }
    std::vector<uint8_t> read(line_.begin(), line_.begin() + static_cast<std::ptrdiff_t>(consumed));
    line_.erase(line_.begin(), line_.begin() + static_cast<std::ptrdiff_t>(consumed));
    const bool good = consumed == wexlink::kReplyLength && read.front() == wexlink::kFrameStart &&
                      read.back() == wexlink::kFrameEnd;

    // Counts and values: only module p moves.
    for (int m = 0; m < wexlink::kMaxModules; ++m) {
      const auto mi = static_cast<std::size_t>(m);
      const int before = countsBefore[mi];
      const int after = s.ModuleErrorCounts[mi];
      FUZZ_CHECK(after >= 0 && after <= kMissCeiling, "module %d count %d", m, after);
      const uint16_t* now = &s.ChannelValueTable[mi * 8];
      const uint16_t* was = &valuesBefore[mi * 8];
      if (m != p) {
        FUZZ_CHECK(after == before, "module %d count moved (%d -> %d) in a step for %d", m, before, after, p);
        FUZZ_CHECK(std::equal(now, now + 8, was), "module %d values moved in a step for %d", m, p);
        continue;
      }
      if (good) {
        FUZZ_CHECK(after == 0, "good reply left count %d", after);
        for (std::size_t j = 0; j < 8; ++j) {
          const auto v = static_cast<uint16_t>(read[5 + 2 * j] | (read[6 + 2 * j] << 8));
          FUZZ_CHECK(now[j] == v, "channel %zu of module %d: %u, reply says %u", j, m, now[j], v);
        }
      } else {
        const int missed = before + 1;
        FUZZ_CHECK(after == std::min(missed, kMissCeiling), "miss count %d -> %d", before, after);
        const bool blank = threshold == 0 || missed >= threshold;
        if (blank) {
          FUZZ_CHECK(std::all_of(now, now + 8, [](uint16_t v) { return v == 0; }),
                     "module %d not zeroed at miss %d, threshold %d", m, missed, threshold);
        } else {
          FUZZ_CHECK(std::equal(now, now + 8, was), "module %d values changed on a miss (%d < %d)", m,
                     missed, threshold);
        }
      }
    }

    const int next = (n == 1) ? 0 : (k + 1) % n;
    FUZZ_CHECK(s.ModuleIndex == next, "ModuleIndex %d after %d of %d", s.ModuleIndex, k, n);
    FUZZ_CHECK(s.FirstPollPending == 0, "FirstPollPending still set");

    // A completed cycle stores the table's first ChannelCount values as a row.
    const uint32_t channels = s.ChannelCount;
    if (next == 0) {
      if (shape_.snapshot) {
        FUZZ_CHECK(snapshot.PublishedPosition() == (published + channels) % s.BufferValues,
                   "published position %u -> %u", published, snapshot.PublishedPosition());
        const uint16_t* row = snapshot.Buffer() + 1 + published;
        FUZZ_CHECK(std::equal(row, row + channels, s.ChannelValueTable.begin()), "stored row differs");
      } else if (!ringFull) {
        const uint16_t* row = fillBuffer + 1 + fillCount;
        FUZZ_CHECK(std::equal(row, row + channels, s.ChannelValueTable.begin()), "stored row differs");
      }
    } else if (shape_.snapshot) {
      FUZZ_CHECK(snapshot.PublishedPosition() == published, "a row stored mid-cycle");
    }
    FUZZ_CHECK(driver_.GetLastADError() == errorBefore, "the tick wrote the last error");
  }

  FuzzedDataProvider& in_;
  FakePlatform fake_;
  Driver driver_{fake_.platform()};
  std::array<uint8_t, wexlink::kAddressTableBytes> table_{};
  std::deque<uint8_t> line_;  // the bytes waiting on the fake line, as delivered
  RunShape shape_;
  int floods_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  PollHarness harness(in);
  harness.Run();
  return 0;
}
