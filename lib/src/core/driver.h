// The acquisition driver: the library's one state record and every call of the
// card interface, over the platform interfaces. Plain C++; no OS headers.
//
// Two threads meet here: the caller's thread runs every exported call, the
// timer thread runs RunTick. They share state without locks. Every field that
// both touch is atomic; the rest belongs to one side at a time, handed over by
// order (a start prepares everything before it starts the timer, StopIntr kills
// the timer, which waits for a running tick, before it touches anything). The
// sample buffers and their positions, which both sides use during a run, are
// the two ring types, each with its own handover protocol.
//
// Where the code lives: set-up, starts and stops and the read-out calls in
// driver.cpp (the caller's side); the tick and the poll step in poll_cycle.cpp
// (the timer's side); each ring, with its protocol, in continuous_ring.h and
// snapshot_ring.h.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "continuous_ring.h"
#include "platform.h"
#include "poll_cycle.h"
#include "sample_block.h"
#include "serial_port.h"
#include "snapshot_ring.h"
#include "wexlink.h"

namespace wexlink {

inline constexpr int kChannelsPerModule = 8;
inline constexpr int kMaxModules = 32;
inline constexpr int kMaxChannels = kMaxModules * kChannelsPerModule;
inline constexpr int kNotifySlots = 4;
inline constexpr int kAddressTableBytes = 2 * kMaxModules;

enum class RunKind : uint16_t { None = 0, Continuous = 1, Snapshot = 2 };

struct NotifySlot {
  std::atomic<intptr_t> window{0};
  std::atomic<uint32_t> message{0};
  std::atomic<uint32_t> wParam{0};
  std::atomic<uint32_t> lParam{0};
};

// The driver's state record, field for field the documented record of the
// card interface's design (names and order kept so that the two can be read
// side by side). Fields marked "mirror" are written as the record says and
// read by nothing in the library: the runs use the rings' own copies. They
// stay for the card-interface fuzzer, which digests the whole record to prove
// that a refused call changes nothing, and for whoever inspects the record in
// a debugger.
struct DriverState {
  DriverState();

  // Set-up and control (caller's thread; the tick reads the atomics).
  int32_t Initialized = 0;
  uint16_t PortNumber = 0;
  int32_t BaudRate = 0;
  std::atomic<int8_t> MissThreshold{0};
  std::atomic<int32_t> LastError{0};
  std::array<NotifySlot, kNotifySlots> NotifySlots;
  std::array<std::atomic<uint8_t>, kAddressTableBytes> ModuleAddressTable;

  // Polling: written by the tick during a run, by the start call before it.
  wexlink::RequestFrame RequestFrame = kInitialRequestFrame;
  uint32_t UseAddressTable = 0;
  uint16_t ModuleCount = 0;
  int32_t ModuleIndex = 0;
  int32_t FirstPollPending = 0;
  std::array<int8_t, kMaxModules> ModuleErrorCounts{};
  std::array<uint16_t, kMaxChannels> ChannelValueTable{};
  std::unique_ptr<uint8_t, FreeDeleter> ReadBuffer;
  int32_t ReadBufferSize = 0;

  // Run and buffers.
  std::atomic<uint16_t> RunMode{0};
  uint16_t BufferMode = 0;
  bool TimerActive = false;  // mirror
  std::atomic<bool> TickBusy{false};
  int32_t TickCounter = 0;
  int32_t TickDivider = 0;
  uint16_t BufferCount = 0;  // mirror of ContinuousRing::BufferCount()
  uint32_t RowsPerBuffer = 0;
  uint16_t ChannelCount = 0;
  int32_t SamplePeriod = 0;  // mirror
  uint32_t BufferValues = 0;
  uint32_t BufferBytes = 0;
  // The buffers themselves and their positions: the Driver's ContinuousRing
  // (BufferMode 1) or SnapshotRing (BufferMode 2).
};

class Driver {
 public:
  explicit Driver(Platform platform);
  // Library unload: stops an active run and closes the port.
  ~Driver();
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // Set-up, information, control.
  int32_t Initial(uint32_t comPort, int32_t missThreshold, int32_t baudRate);
  static void ConfigInfo(char* modelName, int32_t* channelLimit, int32_t* constant1,
                         int32_t* constant10a, int32_t* constant10b, float* halfSpan,
                         float* codeSpan, int32_t* constant0);
  static double ChannelFrq(int32_t channelCount, int32_t periodSetting);
  int32_t IOCtl(int32_t length, const void* data, int32_t controlCode);
  int32_t RegisterNotify(uint32_t slot, intptr_t window, uint32_t message, uint32_t wParam,
                         uint32_t lParam);
  int32_t GetLastADError() const { return state_.LastError.load(std::memory_order_relaxed); }
  static int32_t GetADPropStrSize();
  static int32_t GetADPropString(char* buffer);

  // Runs.
  int32_t StartIntr(uint32_t bufferCount, uint32_t rowsPerBuffer, uint32_t useAddressTable,
                    uint32_t channelCount, int32_t periodSetting);
  int32_t StartSnapshot(uint32_t rowsPerBuffer, uint32_t useAddressTable, uint32_t channelCount,
                        int32_t periodSetting);
  int32_t StopIntr();

  // Read-out.
  uint32_t QueryBuf();
  int32_t ADResult(void* destination);
  int32_t ADResultRecent(void* destination);
  int32_t GetSnapshot(void* destination, uint32_t rows);

  // I/O ports.
  IoPorts& Ports() { return platform_.ports; }

  // The timer thread's work (poll_cycle.cpp); public so that tests can step a
  // run by hand.
  void RunTick();
  void PollNextModule();

  const DriverState& State() const { return state_; }
  DriverState& State() { return state_; }
  SerialPort& Port() { return port_; }
  // The rings; the one that BufferMode names holds the buffers.
  const ContinuousRing& Continuous() const { return continuous_; }
  ContinuousRing& Continuous() { return continuous_; }
  const SnapshotRing& Snapshot() const { return snapshot_; }

  static constexpr char kModelName[] = "W316";
  static constexpr int32_t kPropertyStringLength = 82;
  static const char kPropertyString[kPropertyStringLength + 1];

 private:
  int32_t StartRun(RunKind kind, uint32_t bufferCount, uint32_t rowsPerBuffer,
                   uint32_t useAddressTable, uint32_t channelCount, int32_t periodSetting);
  void ReleaseSampleBuffers();
  // The tick's row stores; a continuous buffer completed posts the notifications.
  void AppendRowContinuous(const uint16_t* row);
  void AppendRowSnapshot(const uint16_t* row);
  void NotifyBufferComplete();
  // Reads every byte waiting, up to kReadLimit, into the receive buffer
  // (grown when more wait than ever before); the count read, 0 when none.
  int32_t TakeInReply();
  // The checks that ADResult and ADResultRecent make, in their order: the
  // error code when no buffer can be taken into `destination`, else 0, with
  // the ring's positions in `ring`.
  int32_t BufferReadoutError(const void* destination, ContinuousRing::Positions& ring) const;
  int32_t Fail(int32_t code) {
    state_.LastError.store(code, std::memory_order_relaxed);
    return 0;
  }
  void ClearError() { state_.LastError.store(0, std::memory_order_relaxed); }
  static void TimerCallback(void* context);

  Platform platform_;
  DriverState state_;
  ContinuousRing continuous_;
  SnapshotRing snapshot_;
  SerialPort port_;
};

}  // namespace wexlink
