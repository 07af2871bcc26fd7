// The timer thread's side of the driver: the tick, and the poll step that it
// runs, which sends the request frame to one module, takes in the reply of the
// module polled one step earlier and counts missed replies. A completed poll
// cycle stores one row in the run's ring.
//
// A tick allocates nothing (the receive buffer aside, which grows only when
// more bytes wait than ever before), never waits for the caller, and makes at
// most four calls into the serial device: write, two queue queries, read.
#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "driver.h"

namespace wexlink {
namespace {

constexpr std::memory_order kRelaxed = std::memory_order_relaxed;
constexpr std::memory_order kAcquire = std::memory_order_acquire;
constexpr std::memory_order kRelease = std::memory_order_release;

}  // namespace

void Driver::TimerCallback(void* context) { static_cast<Driver*>(context)->RunTick(); }

void Driver::RunTick() {
  auto& s = state_;
  if (s.TickBusy.exchange(true, kAcquire)) return;  // the previous tick is still at work
  const auto mode = static_cast<RunKind>(s.RunMode.load(kAcquire));
  if (mode != RunKind::None && ++s.TickCounter >= s.TickDivider) {
    s.TickCounter = 0;
    PollNextModule();
    if (s.FirstPollPending <= 0 && s.ModuleIndex == 0) {
      // A poll cycle over all modules is complete: store one row.
      if (mode == RunKind::Continuous) {
        AppendRowContinuous(s.ChannelValueTable.data());
      } else {
        AppendRowSnapshot(s.ChannelValueTable.data());
      }
    }
  }
  s.TickBusy.store(false, kRelease);
}

// One poll step: send the request to module k, then take in the reply that the
// module polled one step earlier (p) has sent meanwhile.
void Driver::PollNextModule() {
  auto& s = state_;
  if (!port_.IsOpen()) {
    s.ModuleIndex = 1;  // not 0, so no poll cycle completes
    return;
  }
  const int n = std::max<int>(s.ModuleCount, 1);
  const int k = s.ModuleIndex;

  if (s.UseAddressTable != 0) {
    s.RequestFrame = MakeRequestFrame(s.ModuleAddressTable[2 * k].load(kRelaxed),
                                      s.ModuleAddressTable[2 * k + 1].load(kRelaxed));
  } else {
    s.RequestFrame = MakeRequestFrame(1, static_cast<uint8_t>(k));
  }
  port_.Write(s.RequestFrame.data(), static_cast<int32_t>(s.RequestFrame.size()));

  const int p = ((k - 1) % n + n) % n;
  // The reply of module p is due now; it counts as missed unless it is good.
  s.ModuleErrorCounts[p] = static_cast<int8_t>(s.ModuleErrorCounts[p] + 1);
  bool good = false;
  if (s.FirstPollPending != 0) {
    s.FirstPollPending = 0;  // nothing was asked before this step
  } else {
    const int32_t got = TakeInReply();
    good = got > 0 && IsGoodReply(s.ReadBuffer.get(), got);
  }

  static_assert(kReplyValueCount == kChannelsPerModule);
  uint16_t* values = &s.ChannelValueTable[static_cast<std::size_t>(p) * kChannelsPerModule];
  if (good) {
    s.ModuleErrorCounts[p] = 0;
    DecodeReplyValues(s.ReadBuffer.get(), values);
  } else {
    const int8_t count = s.ModuleErrorCounts[p];
    const int8_t threshold = s.MissThreshold.load(kRelaxed);
    if (threshold == 0 || count >= threshold) std::fill_n(values, kChannelsPerModule, 0);
    if (count >= kMissCountCeiling) s.ModuleErrorCounts[p] = kMissCountCeiling;
  }

  s.ModuleIndex = (n == 1) ? 0 : (k + 1) % n;
}

int32_t Driver::TakeInReply() {
  auto& s = state_;
  int32_t waiting = 0;
  int32_t outgoing = 0;
  port_.QueryQueues(waiting, outgoing);
  if (waiting <= 0) return 0;
  waiting = std::min(waiting, kReadLimit);
  if (!s.ReadBuffer || s.ReadBufferSize < waiting) {
    const int32_t size = waiting + 10;
    void* grown = std::realloc(s.ReadBuffer.get(), static_cast<std::size_t>(size));
    if (grown == nullptr) return 0;  // the old block is still owned
    (void)s.ReadBuffer.release();
    s.ReadBuffer.reset(static_cast<uint8_t*>(grown));
    s.ReadBufferSize = size;
  }
  return port_.ReadAvailable(s.ReadBuffer.get(), waiting);
}

void Driver::AppendRowContinuous(const uint16_t* row) {
  if (continuous_.AppendRow(row)) NotifyBufferComplete();
}

void Driver::AppendRowSnapshot(const uint16_t* row) { snapshot_.AppendRow(row); }

void Driver::NotifyBufferComplete() {
  for (auto& slot : state_.NotifySlots) {
    const intptr_t window = slot.window.load(kRelaxed);
    const uint32_t message = slot.message.load(kRelaxed);
    if (window != 0 && message != 0) {
      platform_.poster.Post(window, message, slot.wParam.load(kRelaxed),
                            slot.lParam.load(kRelaxed));
    }
  }
}

}  // namespace wexlink
