#include "acquisition.h"

#include <algorithm>
#include <cstring>

#include "readings.h"
#include "wexlink.h"

namespace wexread {
namespace {

constexpr std::uint32_t kNotifyMessage = 0x0401;  // any non-zero number
constexpr unsigned kRingMilliseconds = 10 * 60 * 1000;

unsigned DefaultBufferCount(const Options& o) {
  const std::uint64_t bufferMs =
      std::uint64_t{o.ModuleCount()} * static_cast<std::uint64_t>(o.periodMs) * kRowsPerBuffer;
  const std::uint64_t count = (kRingMilliseconds + bufferMs - 1) / bufferMs;
  return static_cast<unsigned>(std::clamp<std::uint64_t>(count, 4, 65535));
}

}  // namespace

std::string ErrorMeaning(int code) {
  switch (code) {
    case WEXLINK_E_NOT_INITIALIZED:
      return "Initial has not succeeded";
    case WEXLINK_E_BUFFER_COUNT:
      return "the buffer count is 0";
    case WEXLINK_E_ROWS:
      return "fewer than 5 rows per buffer";
    case WEXLINK_E_CHANNELS:
      return "the channel count is below 8 or not a multiple of 8";
    case WEXLINK_E_SLOT:
      return "the notification slot is above 3";
    case WEXLINK_E_TOO_MANY_CHANNELS:
      return "more than 256 channels";
    case WEXLINK_E_PERIOD_TOO_LONG:
      return "the period is longer than 100000 ms";
    case WEXLINK_E_PERIOD_TOO_SHORT:
      return "the period is shorter than 700 ms";
    case WEXLINK_E_NO_BUFFER_READY:
      return "no complete buffer is waiting";
    case WEXLINK_E_BUSY:
      return "a run is active";
    case WEXLINK_E_BAD_SETUP:
      return "the port number is 0 or the baud rate below 10";
    case WEXLINK_E_TIMER:
      return "the periodic timer could not be created";
    case WEXLINK_E_PORT:
      return "the serial port could not be opened";
    case WEXLINK_E_ALLOC:
      return "the sample buffers could not be allocated";
    case WEXLINK_E_NOT_RUNNING:
      return "no run is active";
    case WEXLINK_E_NO_CONTINUOUS:
      return "no buffers of a continuous run are held";
    case WEXLINK_E_SNAPSHOT_ROWS:
      return "more rows than the snapshot ring holds";
    case WEXLINK_E_NO_SNAPSHOT:
      return "no snapshot ring is held";
    case WEXLINK_E_IOCTL:
      return "the address table length or control code is refused";
    case WEXLINK_E_NULL_POINTER:
      return "a buffer pointer is null";
    default:
      return "an unknown code";
  }
}

LibraryError::LibraryError(const std::string& call, int code)
    : std::runtime_error(call + " failed: " + std::to_string(code) + ", " + ErrorMeaning(code)),
      code_(code) {}

Acquisition::Acquisition(const Options& options)
    : options_(options),
      channels_(options.ModuleCount() * kChannelsPerModule),
      bufferCount_(options.buffers != 0 ? options.buffers : DefaultBufferCount(options)),
      buffer_(1 + channels_ * kRowsPerBuffer) {}

Acquisition::~Acquisition() {
  if (!running_) return;
  StopIntr();
  RegisterNotify(0, 0, 0, 0, 0);
}

void Acquisition::Start(int notifyFd) {
  if (Initial(options_.port, options_.missThreshold, options_.baud, 0) != 1)
    throw LibraryError("Initial", GetLastADError());

  const bool useTable = !options_.addresses.empty();
  if (useTable) {
    std::vector<std::uint8_t> table;
    for (const auto& pair : options_.addresses) table.insert(table.end(), pair.begin(), pair.end());
    if (IOCtl(static_cast<std::int32_t>(table.size()), table.data(), 0, 0) != 1)
      throw LibraryError("IOCtl", GetLastADError());
  }

  if (RegisterNotify(0, notifyFd, kNotifyMessage, 0, 0) != 1)
    throw LibraryError("RegisterNotify", GetLastADError());

  const std::int32_t bytes = StartIntr(bufferCount_, kRowsPerBuffer, useTable ? 1 : 0, channels_,
                                       -options_.periodMs, 0, 0);
  if (bytes == 0) throw LibraryError("StartIntr", GetLastADError());
  if (static_cast<std::size_t>(bytes) != buffer_.size() * sizeof(std::uint16_t)) {
    StopIntr();
    throw LibraryError("StartIntr returned " + std::to_string(bytes) + " bytes per buffer, not " +
                       std::to_string(buffer_.size() * sizeof(std::uint16_t)));
  }
  running_ = true;
}

void Acquisition::Stop() {
  if (!running_) return;
  running_ = false;
  if (StopIntr() != 1) throw LibraryError("StopIntr", GetLastADError());
  RegisterNotify(0, 0, 0, 0, 0);  // the descriptor is about to be closed
}

void Acquisition::TakeWaiting(
    const std::function<bool(unsigned, const std::vector<std::uint16_t>&)>& take) {
  for (;;) {
    const std::uint32_t waiting = QueryBuf();
    if (waiting == 0) {
      if (GetLastADError() != WEXLINK_OK) throw LibraryError("QueryBuf", GetLastADError());
      return;
    }
    if (ADResult(buffer_.data()) != 1) {
      if (GetLastADError() == WEXLINK_E_NO_BUFFER_READY) return;
      throw LibraryError("ADResult", GetLastADError());
    }
    if (!take(waiting, buffer_)) return;
  }
}

}  // namespace wexread
