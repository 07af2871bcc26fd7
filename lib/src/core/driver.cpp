// The card interface on the caller's thread: set-up, starting and stopping
// runs, and the read-out calls, which check their arguments and the run's state
// and leave the copying to the rings.
#include "driver.h"

#include <cstdio>
#include <cstring>

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
  continuous_.Release();
  snapshot_.Release();
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
  // Zero-filled, every position 0.
  const bool allocated = (kind == RunKind::Continuous)
                             ? continuous_.Allocate(buffers, channels, s.BufferValues)
                             : snapshot_.Allocate(channels, s.BufferValues);
  if (!allocated) return Fail(WEXLINK_E_ALLOC);

  s.ModuleErrorCounts.fill(0);
  s.ChannelValueTable.fill(0);
  s.TickCounter = 0;
  s.ModuleIndex = 0;
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

// ---- Read-out ---------------------------------------------------------------

uint32_t Driver::QueryBuf() {
  ClearError();
  auto& s = state_;
  if (s.Initialized == 0) return static_cast<uint32_t>(Fail(WEXLINK_E_NOT_INITIALIZED));
  if (s.BufferMode != static_cast<uint16_t>(RunKind::Continuous)) {
    return static_cast<uint32_t>(Fail(WEXLINK_E_NO_CONTINUOUS));
  }
  return continuous_.Waiting();
}

int32_t Driver::BufferReadoutError(const void* destination, ContinuousRing::Positions& ring) const {
  const auto& s = state_;
  if (s.Initialized == 0) return WEXLINK_E_NOT_INITIALIZED;
  if (s.BufferMode != static_cast<uint16_t>(RunKind::Continuous)) return WEXLINK_E_NO_CONTINUOUS;
  ring = continuous_.Load();
  if (!ring.BufferWaiting()) return WEXLINK_E_NO_BUFFER_READY;
  if (destination == nullptr) return WEXLINK_E_NULL_POINTER;
  return 0;
}

int32_t Driver::ADResult(void* destination) {
  ClearError();
  ContinuousRing::Positions ring{};
  if (const int32_t error = BufferReadoutError(destination, ring); error != 0) return Fail(error);
  continuous_.TakeOldest(ring, destination);
  return 1;
}

int32_t Driver::ADResultRecent(void* destination) {
  ClearError();
  ContinuousRing::Positions ring{};
  if (const int32_t error = BufferReadoutError(destination, ring); error != 0) return Fail(error);
  continuous_.TakeNewest(ring, destination);
  return 1;
}

int32_t Driver::GetSnapshot(void* destination, uint32_t rows) {
  ClearError();
  const auto& s = state_;
  if (s.Initialized == 0) return Fail(WEXLINK_E_NOT_INITIALIZED);
  if (s.BufferMode != static_cast<uint16_t>(RunKind::Snapshot)) return Fail(WEXLINK_E_NO_SNAPSHOT);
  if (rows > s.RowsPerBuffer) return Fail(WEXLINK_E_SNAPSHOT_ROWS);
  if (destination == nullptr) return Fail(WEXLINK_E_NULL_POINTER);
  snapshot_.CopyRecord(destination, rows);
  return 1;
}

}  // namespace wexlink
