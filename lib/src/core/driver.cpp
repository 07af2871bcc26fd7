#include "driver.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

namespace wexlink {
namespace {

constexpr std::memory_order kRelaxed = std::memory_order_relaxed;
constexpr std::memory_order kAcquire = std::memory_order_acquire;
constexpr std::memory_order kRelease = std::memory_order_release;

constexpr int32_t kMinBaudRate = 10;
constexpr int32_t kLongestPeriod = -100000;
constexpr int32_t kShortestPeriod = -700;
constexpr uint32_t kMinRowsPerBuffer = 5;
constexpr uint32_t kTimerResolutionMs = 2;
// The most bytes one poll step takes in. A module reply is 22 bytes; anything
// longer is a miss whatever it holds, so a flood of stray bytes is read in
// pieces of this size instead of growing the receive buffer without bound.
constexpr int32_t kReadLimit = 64 * 1024;

// The snapshot ring is shared with readers on the caller's thread, which may
// copy any of it while the tick stores a row: both sides access its values as
// relaxed atomic 64-bit words (four values each; rows are whole words, aligned).
using RingWord = uint64_t;
constexpr uint32_t kValuesPerWord = sizeof(RingWord) / sizeof(uint16_t);

std::atomic_ref<RingWord> WordAt(uint16_t* values, uint32_t index) {
  return std::atomic_ref<RingWord>(*reinterpret_cast<RingWord*>(values + index));
}

// Copies `count` values (whole words) of the ring from value `from` to `out`.
// The loads stay word-sized atomics, but a copy this way is bound by its
// stores: two words gathered into one 16-byte store halve their number, which
// makes a large copy about twice as fast as word by word.
using WordPair [[gnu::vector_size(2 * sizeof(RingWord))]] = RingWord;

uint8_t* CopyRingWords(uint8_t* out, uint16_t* values, uint32_t from, uint32_t count) {
  const std::size_t words = count / kValuesPerWord;
  RingWord* source = reinterpret_cast<RingWord*>(values + from);
  auto load = [source](std::size_t word) {
    return std::atomic_ref<RingWord>(source[word]).load(kRelaxed);
  };
  std::size_t w = 0;
  for (; w + 4 <= words; w += 4) {
    const WordPair low = {load(w), load(w + 1)};
    const WordPair high = {load(w + 2), load(w + 3)};
    std::memcpy(out, &low, sizeof low);
    std::memcpy(out + sizeof low, &high, sizeof high);
    out += sizeof low + sizeof high;
  }
  for (; w < words; ++w) {
    const RingWord word = load(w);
    std::memcpy(out, &word, sizeof word);
    out += sizeof word;
  }
  return out;
}

}  // namespace

// The property string, in code page 936 (GBK): a description line, a line feed,
// and a line of capabilities. 82 bytes and the terminator.
const char Driver::kPropertyString[Driver::kPropertyStringLength + 1] =
    "Quorix: \xca\xfd\xd7\xd6\xca\xbd\xce\xc2\xb6\xc8\xc4\xa3\xbf\xe9(16\xce\xbb"
    "AD), \xc8\xb1\xca\xa1IOBase=9600,IRQ=1\n"
    "NumChn:8~32, SW:0, FrqSamp:1";
static_assert(sizeof(Driver::kPropertyString) == 83);

DriverState::DriverState() {
  for (auto& byte : ModuleAddressTable) byte.store(0, kRelaxed);
}

Driver::Driver(Platform platform) : platform_(platform), port_(platform.serial) {}

Driver::~Driver() {
  // Unload: an active run's timer is killed before the port closes.
  if (state_.RunMode.load(kAcquire) != 0) {
    platform_.timer.Kill();
    state_.TimerActive = false;
    port_.Close();
    state_.RunMode.store(0, kRelease);
  }
}

// ---- Set-up, information, control -----------------------------------------

int32_t Driver::Initial(uint32_t comPort, int32_t missThreshold, int32_t baudRate) {
  ClearError();
  auto& s = state_;
  const auto port = static_cast<uint16_t>(comPort & 0xFFFFu);
  if (s.Initialized != 0 && s.RunMode.load(kAcquire) != 0) {
    // The running poll cycle keeps its port; only the threshold may change.
    if (port != s.PortNumber || baudRate != s.BaudRate) return Fail(WEXLINK_E_BUSY);
  } else {
    s.PortNumber = port;
    s.BaudRate = baudRate;
  }
  if (s.PortNumber == 0 || s.BaudRate < kMinBaudRate) return Fail(WEXLINK_E_BAD_SETUP);
  s.MissThreshold.store(static_cast<int8_t>(static_cast<uint8_t>(missThreshold & 0xFF)), kRelaxed);
  s.Initialized = 1;
  return 1;
}

void Driver::ConfigInfo(char* modelName, int32_t* channelLimit, int32_t* constant1,
                        int32_t* constant10a, int32_t* constant10b, float* halfSpan,
                        float* codeSpan, int32_t* constant0) {
  if (modelName == nullptr || channelLimit == nullptr || constant1 == nullptr ||
      constant10a == nullptr || constant10b == nullptr || halfSpan == nullptr ||
      codeSpan == nullptr || constant0 == nullptr) {
    return;
  }
  std::memcpy(modelName, kModelName, sizeof kModelName);
  *channelLimit = kMaxChannels;
  *constant1 = 1;
  *constant10a = 10;
  *constant10b = 10;
  *halfSpan = 32768.0f;
  *codeSpan = 65536.0f;
  *constant0 = 0;
}

double Driver::ChannelFrq(int32_t channelCount, int32_t periodSetting) {
  // One module of 8 channels is polled per tick, so a row of channelCount
  // values completes every channelCount / 8 ticks.
  return 1000.0 / -static_cast<double>(periodSetting) / static_cast<double>(channelCount) * 8.0;
}

int32_t Driver::IOCtl(int32_t length, const void* data, int32_t controlCode) {
  ClearError();
  if (length <= 0 || length >= kAddressTableBytes || (length & 1) != 0 || controlCode != 0) {
    return Fail(WEXLINK_E_IOCTL);
  }
  if (data == nullptr) return Fail(WEXLINK_E_NULL_POINTER);
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (int32_t i = 0; i < length; ++i) state_.ModuleAddressTable[i].store(bytes[i], kRelaxed);
  return 1;
}

int32_t Driver::RegisterNotify(uint32_t slot, intptr_t window, uint32_t message, uint32_t wParam,
                               uint32_t lParam) {
  ClearError();
  if (slot >= kNotifySlots) return Fail(WEXLINK_E_SLOT);
  auto& target = state_.NotifySlots[slot];
  target.window.store(window, kRelaxed);
  target.message.store(message, kRelaxed);
  target.wParam.store(wParam, kRelaxed);
  target.lParam.store(lParam, kRelaxed);
  return 1;
}

int32_t Driver::GetADPropStrSize() { return kPropertyStringLength; }

int32_t Driver::GetADPropString(char* buffer) {
  if (buffer == nullptr) return 0;
  std::memcpy(buffer, kPropertyString, sizeof kPropertyString);
  return 1;
}

// ---- Runs -------------------------------------------------------------------

int32_t Driver::StartIntr(uint32_t bufferCount, uint32_t rowsPerBuffer, uint32_t useAddressTable,
                          uint32_t channelCount, int32_t periodSetting) {
  return StartRun(RunKind::Continuous, bufferCount, rowsPerBuffer, useAddressTable, channelCount,
                  periodSetting);
}

int32_t Driver::StartSnapshot(uint32_t rowsPerBuffer, uint32_t useAddressTable,
                              uint32_t channelCount, int32_t periodSetting) {
  return StartRun(RunKind::Snapshot, 1, rowsPerBuffer, useAddressTable, channelCount,
                  periodSetting);
}

void Driver::ReleaseSampleBuffers() {
  state_.SampleBuffers.reset();
  state_.FillBuffer = nullptr;
}

int32_t Driver::StartRun(RunKind kind, uint32_t bufferCount, uint32_t rowsPerBuffer,
                         uint32_t useAddressTable, uint32_t channelCount, int32_t periodSetting) {
  ClearError();
  auto& s = state_;
  if (s.Initialized == 0) return Fail(WEXLINK_E_NOT_INITIALIZED);
  auto buffers = static_cast<uint16_t>(bufferCount & 0xFFFFu);
  if (kind == RunKind::Continuous) {
    if (buffers == 0) return Fail(WEXLINK_E_BUFFER_COUNT);
  } else {
    buffers = 1;
  }
  if (rowsPerBuffer < kMinRowsPerBuffer) return Fail(WEXLINK_E_ROWS);
  const auto channels = static_cast<uint16_t>(channelCount & 0xFFFFu);
  if (channels < kChannelsPerModule || channels % kChannelsPerModule != 0) {
    return Fail(WEXLINK_E_CHANNELS);
  }
  if (channels > kMaxChannels) return Fail(WEXLINK_E_TOO_MANY_CHANNELS);
  if (periodSetting < kLongestPeriod) return Fail(WEXLINK_E_PERIOD_TOO_LONG);
  if (periodSetting > kShortestPeriod) return Fail(WEXLINK_E_PERIOD_TOO_SHORT);
  if (s.RunMode.load(kAcquire) != 0) return Fail(WEXLINK_E_BUSY);

  // From here on the previous run's buffers are gone.
  if (s.BufferMode != 0) {
    ReleaseSampleBuffers();
    s.BufferMode = 0;
  }

  // Sizes are worked out in 64 bits: rows times channels can exceed 32 bits,
  // and a wrapped size would allocate too little for the rows the tick stores.
  const uint64_t values = uint64_t{channels} * rowsPerBuffer;
  const uint64_t bufferBytes = 2 * values + 2;
  const uint64_t totalBytes = bufferBytes * buffers;
  s.BufferCount = buffers;
  s.RowsPerBuffer = rowsPerBuffer;
  s.UseAddressTable = useAddressTable & 0xFFFFu;
  s.ChannelCount = channels;
  s.SamplePeriod = periodSetting;
  s.ModuleCount = static_cast<uint16_t>(channels / kChannelsPerModule);
  s.BufferValues = static_cast<uint32_t>(values);
  s.BufferBytes = static_cast<uint32_t>(bufferBytes);

  if (bufferBytes > INT32_MAX || totalBytes > WEXLINK_MAX_SAMPLE_BYTES) {
    return Fail(WEXLINK_E_ALLOC);
  }
  const auto totalValues =
      static_cast<std::size_t>(totalBytes / 2) + DriverState::kBufferLead;  // fits: checked above
  s.SampleBuffers.reset(static_cast<uint16_t*>(std::calloc(totalValues, sizeof(uint16_t))));
  if (!s.SampleBuffers) return Fail(WEXLINK_E_ALLOC);

  s.ModuleErrorCounts.fill(0);
  s.ChannelValueTable.fill(0);
  s.SequenceCount.store(0, kRelaxed);
  s.WriteIndex.store(0, kRelaxed);
  s.ReadAndOverflow.store(0, kRelaxed);
  s.FillCount = 0;
  s.PublishedPosition.store(0, kRelaxed);
  s.SnapshotRowsStored.store(0, kRelaxed);
  s.TickCounter = 0;
  s.ModuleIndex = 0;
  s.FillBuffer = s.Buffer(0);
  s.TickDivider = 1;
  s.FirstPollPending = 1;
  s.RequestFrame = kInitialRequestFrame;

  if (port_.IsOpen()) port_.Close();
  port_.SetPortNumber(s.PortNumber);
  char definition[32];
  std::snprintf(definition, sizeof definition, "%d,N,8,1", static_cast<int>(s.BaudRate));
  port_.Open(definition);
  if (!port_.IsOpen()) {
    ReleaseSampleBuffers();
    return Fail(WEXLINK_E_PORT);
  }

  s.RunMode.store(static_cast<uint16_t>(kind), kRelease);
  s.BufferMode = static_cast<uint16_t>(kind);
  const auto period = static_cast<uint32_t>(-periodSetting);
  if (!platform_.timer.Start(period, kTimerResolutionMs, &Driver::TimerCallback, this)) {
    port_.Close();
    ReleaseSampleBuffers();
    s.RunMode.store(0, kRelease);
    s.BufferMode = 0;
    return Fail(WEXLINK_E_TIMER);
  }
  s.TimerActive = true;
  return static_cast<int32_t>(s.BufferBytes);
}

int32_t Driver::StopIntr() {
  ClearError();
  auto& s = state_;
  if (s.Initialized == 0) return Fail(WEXLINK_E_NOT_INITIALIZED);
  if (s.RunMode.load(kAcquire) == 0) return Fail(WEXLINK_E_NOT_RUNNING);
  // The kill waits for a tick in progress, so the port and the buffers are the
  // caller's alone once it returns.
  platform_.timer.Kill();
  s.TimerActive = false;
  port_.Close();
  s.RunMode.store(0, kRelease);
  return 1;
}

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
    s.RequestFrame[2] = s.ModuleAddressTable[2 * k].load(kRelaxed);
    s.RequestFrame[3] = s.ModuleAddressTable[2 * k + 1].load(kRelaxed);
  } else {
    s.RequestFrame[2] = 1;
    s.RequestFrame[3] = static_cast<uint8_t>(k);
  }
  port_.Write(s.RequestFrame.data(), static_cast<int32_t>(s.RequestFrame.size()));

  const int p = ((k - 1) % n + n) % n;
  // The reply of module p is due now; it counts as missed unless it is good.
  s.ModuleErrorCounts[p] = static_cast<int8_t>(s.ModuleErrorCounts[p] + 1);
  bool good = false;
  if (s.FirstPollPending != 0) {
    s.FirstPollPending = 0;  // nothing was asked before this step
  } else {
    good = TakeInReply();
  }

  uint16_t* values = &s.ChannelValueTable[static_cast<std::size_t>(p) * kChannelsPerModule];
  if (good) {
    s.ModuleErrorCounts[p] = 0;
    const uint8_t* reply = s.ReadBuffer.get() + kReplyValuesOffset;
    for (int j = 0; j < kChannelsPerModule; ++j) {
      values[j] = static_cast<uint16_t>(reply[2 * j] | (reply[2 * j + 1] << 8));
    }
  } else {
    const int8_t count = s.ModuleErrorCounts[p];
    const int8_t threshold = s.MissThreshold.load(kRelaxed);
    if (threshold == 0 || count >= threshold) std::fill_n(values, kChannelsPerModule, 0);
    if (count >= kMissCountCeiling) s.ModuleErrorCounts[p] = kMissCountCeiling;
  }

  s.ModuleIndex = (n == 1) ? 0 : (k + 1) % n;
}

// Reads every byte waiting (up to kReadLimit) and tells whether they are
// exactly one well-framed reply. Bytes 1 to 4 are not looked at.
bool Driver::TakeInReply() {
  auto& s = state_;
  int32_t waiting = 0;
  int32_t outgoing = 0;
  port_.QueryQueues(waiting, outgoing);
  if (waiting <= 0) return false;
  waiting = std::min(waiting, kReadLimit);
  if (!s.ReadBuffer || s.ReadBufferSize < waiting) {
    const int32_t size = waiting + 10;
    void* grown = std::realloc(s.ReadBuffer.get(), static_cast<std::size_t>(size));
    if (grown == nullptr) return false;  // the old block is still owned
    (void)s.ReadBuffer.release();
    s.ReadBuffer.reset(static_cast<uint8_t*>(grown));
    s.ReadBufferSize = size;
  }
  const uint8_t* reply = s.ReadBuffer.get();
  const int32_t got = port_.ReadAvailable(s.ReadBuffer.get(), waiting);
  return got == kReplyLength && reply[0] == kFrameStart && reply[kReplyLength - 1] == kFrameEnd;
}

void Driver::AppendRowContinuous(const uint16_t* row) {
  auto& s = state_;
  // While the ring is full, rows are dropped and counted. Only the overflow
  // half of the shared word is changed, and only if a read-out has not just
  // replaced the word; if it has, the ring has room again and the row is kept.
  uint32_t word = s.ReadAndOverflow.load(kAcquire);
  while ((word >> 16) != 0) {
    auto overflow = static_cast<uint16_t>((word >> 16) + 1);
    bool advance = false;
    if (overflow == 0 || overflow > s.BufferValues) {
      advance = true;
      overflow = 1;
    }
    const uint32_t desired = (word & 0xFFFFu) | (uint32_t{overflow} << 16);
    if (s.ReadAndOverflow.compare_exchange_weak(word, desired, std::memory_order_acq_rel,
                                                kAcquire)) {
      if (advance)
        s.SequenceCount.store(static_cast<uint16_t>(s.SequenceCount.load(kRelaxed) + 1), kRelaxed);
      return;
    }
  }

  if (s.FillCount == 0) s.FillBuffer[0] = s.SequenceCount.load(kRelaxed);
  std::memcpy(s.FillBuffer + 1 + s.FillCount, row, sizeof(uint16_t) * s.ChannelCount);
  s.FillCount += s.ChannelCount;
  if (s.FillCount < s.BufferValues) return;

  // The buffer is complete: move on to the next one and publish.
  auto next = static_cast<uint16_t>(s.WriteIndex.load(kRelaxed) + 1);
  if (next >= s.BufferCount) next = 0;
  s.FillBuffer = s.Buffer(next);
  s.FillCount = 0;
  // The ring is full when the next buffer is the reader's oldest unread one.
  // This is decided before WriteIndex moves: afterwards WriteIndex equal to
  // ReadIndex could also mean that the reader has just taken the buffer
  // completed here and emptied the ring, and an empty ring taken for a full
  // one would hand out a stale buffer again. The swap fails, correctly, when a
  // read-out has moved ReadIndex meanwhile.
  uint32_t expected = next;
  s.ReadAndOverflow.compare_exchange_strong(expected, next | (1u << 16), std::memory_order_acq_rel,
                                            kAcquire);
  s.WriteIndex.store(next, kRelease);
  s.SequenceCount.store(static_cast<uint16_t>(s.SequenceCount.load(kRelaxed) + 1), kRelaxed);
  NotifyBufferComplete();
}

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

void Driver::AppendRowSnapshot(const uint16_t* row) {
  auto& s = state_;
  uint16_t* ring = s.FillBuffer;
  // A sequence lock: the count is odd while a row is being stored, and a
  // GetSnapshot whose copy overlapped a store makes its copy again. The
  // read-modify-write orders the stores below after any reader's final check.
  const uint32_t generation = s.SnapshotRowsStored.fetch_add(1, kAcquire);

  if (s.FillCount == 0) {
    std::atomic_ref<uint16_t>(ring[0]).store(s.SequenceCount.load(kRelaxed), kRelaxed);
  }
  uint16_t* values = ring + 1;
  for (uint32_t i = 0; i < s.ChannelCount; i += kValuesPerWord) {
    RingWord word;
    std::memcpy(&word, row + i, sizeof word);
    WordAt(values, s.FillCount + i).store(word, kRelaxed);
  }
  s.FillCount += s.ChannelCount;
  if (s.FillCount >= s.BufferValues) {
    s.FillCount -= s.BufferValues;
    s.SequenceCount.store(static_cast<uint16_t>(s.SequenceCount.load(kRelaxed) + 1), kRelaxed);
  }
  s.PublishedPosition.store(s.FillCount, kRelease);
  s.SnapshotRowsStored.store(generation + 2, kRelease);
}

// ---- Read-out ---------------------------------------------------------------

uint32_t Driver::QueryBuf() {
  ClearError();
  auto& s = state_;
  if (s.Initialized == 0) return static_cast<uint32_t>(Fail(WEXLINK_E_NOT_INITIALIZED));
  if (s.BufferMode != static_cast<uint16_t>(RunKind::Continuous)) {
    return static_cast<uint32_t>(Fail(WEXLINK_E_NO_CONTINUOUS));
  }
  const uint16_t write = s.WriteIndex.load(kAcquire);
  const uint32_t word = s.ReadAndOverflow.load(kAcquire);
  if ((word >> 16) != 0) return s.BufferCount;
  const uint32_t read = word & 0xFFFFu;
  return (write + s.BufferCount - read) % s.BufferCount;
}

int32_t Driver::BufferReadoutError(const void* destination, RingPositions& ring) const {
  const auto& s = state_;
  if (s.Initialized == 0) return WEXLINK_E_NOT_INITIALIZED;
  if (s.BufferMode != static_cast<uint16_t>(RunKind::Continuous)) return WEXLINK_E_NO_CONTINUOUS;
  // WriteIndex first: the tick marks the ring full before it moves WriteIndex
  // onto ReadIndex, so a full ring is never taken for an empty one.
  ring.write = s.WriteIndex.load(kAcquire);
  const uint32_t word = s.ReadAndOverflow.load(kAcquire);
  ring.read = static_cast<uint16_t>(word & 0xFFFFu);
  ring.full = (word >> 16) != 0;
  if (ring.write == ring.read && !ring.full) return WEXLINK_E_NO_BUFFER_READY;
  if (destination == nullptr) return WEXLINK_E_NULL_POINTER;
  return 0;
}

int32_t Driver::ADResult(void* destination) {
  ClearError();
  RingPositions ring{};
  if (const int32_t error = BufferReadoutError(destination, ring); error != 0) return Fail(error);
  auto& s = state_;
  std::memcpy(destination, s.Buffer(ring.read), s.BufferBytes);
  auto next = static_cast<uint16_t>(ring.read + 1);
  if (next >= s.BufferCount) next = 0;
  s.ReadAndOverflow.store(next, kRelease);  // ReadIndex advanced, overflow cleared
  return 1;
}

int32_t Driver::ADResultRecent(void* destination) {
  ClearError();
  RingPositions ring{};
  if (const int32_t error = BufferReadoutError(destination, ring); error != 0) return Fail(error);
  auto& s = state_;
  // On a full ring WriteIndex equals ReadIndex and the buffer there, the oldest
  // unread one, is taken. ReadIndex is used for it: the tick marks the ring
  // full just before it moves WriteIndex onto ReadIndex.
  uint16_t chosen = ring.read;
  uint16_t taken = ring.read;
  if (!ring.full) {
    chosen = (ring.write == 0) ? static_cast<uint16_t>(s.BufferCount - 1)
                               : static_cast<uint16_t>(ring.write - 1);
    taken = ring.write;
  }
  std::memcpy(destination, s.Buffer(chosen), s.BufferBytes);
  s.ReadAndOverflow.store(taken, kRelease);  // everything up to WriteIndex taken
  return 1;
}

int32_t Driver::GetSnapshot(void* destination, uint32_t rows) {
  ClearError();
  auto& s = state_;
  if (s.Initialized == 0) return Fail(WEXLINK_E_NOT_INITIALIZED);
  if (s.BufferMode != static_cast<uint16_t>(RunKind::Snapshot)) return Fail(WEXLINK_E_NO_SNAPSHOT);
  if (rows > s.RowsPerBuffer) return Fail(WEXLINK_E_SNAPSHOT_ROWS);
  if (destination == nullptr) return Fail(WEXLINK_E_NULL_POINTER);

  auto* out = static_cast<uint8_t*>(destination);
  const uint32_t n = s.ChannelCount * rows;  // rows <= RowsPerBuffer, so it fits
  uint16_t* values = s.Buffer(0) + 1;

  // A copy that overlapped the storing of a row is made again: the record must
  // be one consistent state of the ring. Rows come at most once per timer
  // period (700 ms or more), so a retry is rare and the next copy succeeds.
  for (bool first = true;; first = false) {
    if (!first) std::this_thread::yield();
    const uint32_t before = s.SnapshotRowsStored.load(kAcquire);
    if ((before & 1u) != 0) continue;  // a row is being stored right now
    const uint32_t position = s.PublishedPosition.load(kAcquire);
    const uint16_t sequence = s.SequenceCount.load(kRelaxed);
    const uint32_t h = (position > 0) ? position : s.BufferValues;

    std::memcpy(out, &sequence, sizeof sequence);
    // Segments start at row boundaries and hold whole rows: whole words.
    uint8_t* end = out + sizeof sequence;
    if (h >= n) {
      end = CopyRingWords(end, values, h - n, n);
    } else {
      end = CopyRingWords(end, values, s.BufferValues - (n - h), n - h);
      end = CopyRingWords(end, values, 0, h);
    }
    const auto newestRow = static_cast<int32_t>(h / s.ChannelCount) - 1;
    std::memcpy(end, &newestRow, sizeof newestRow);

    // Read-modify-write rather than a load: its release half keeps the loads
    // above before it, so a tick that starts a row after it cannot have fed them.
    if (s.SnapshotRowsStored.fetch_add(0, std::memory_order_acq_rel) == before) break;
  }
  return 1;
}

}  // namespace wexlink
