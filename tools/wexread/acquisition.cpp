#include "acquisition.h"

#include <algorithm>
#include <cstring>

#include "readings.h"
#include "wexlink.h"

namespace wexread {
namespace {

constexpr std::uint64_t kRingMilliseconds = 10 * 60 * 1000;
constexpr std::uint32_t kLeastRingRows = 16;

std::uint32_t RingRowsFor(const Options& o) {
  if (o.buffers != 0) return std::max(kLeastRingRows, o.buffers * 5);
  const std::uint64_t rowMs =
      std::uint64_t{o.ModuleCount()} * static_cast<std::uint64_t>(o.periodMs);
  return static_cast<std::uint32_t>(
      std::max<std::uint64_t>(kLeastRingRows, (kRingMilliseconds + rowMs - 1) / rowMs));
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
      ringRows_(RingRowsFor(options)),
      record_(1 + std::size_t{channels_} * ringRows_ + 2) {}

Acquisition::~Acquisition() {
  if (running_) StopIntr();
}

void Acquisition::Start() {
  if (Initial(options_.port, options_.missThreshold, options_.baud, 0) != 1)
    throw LibraryError("Initial", GetLastADError());

  const bool useTable = !options_.addresses.empty();
  if (useTable) {
    std::vector<std::uint8_t> table;
    for (const auto& pair : options_.addresses) table.insert(table.end(), pair.begin(), pair.end());
    if (IOCtl(static_cast<std::int32_t>(table.size()), table.data(), 0, 0) != 1)
      throw LibraryError("IOCtl", GetLastADError());
  }

  const std::int32_t bytes =
      StartSnapshot(0, ringRows_, useTable ? 1 : 0, channels_, -options_.periodMs, 0, 0, 0);
  if (bytes == 0) throw LibraryError("StartSnapshot", GetLastADError());
  running_ = true;
  const std::size_t expected = (1 + std::size_t{channels_} * ringRows_) * sizeof(std::uint16_t);
  if (static_cast<std::size_t>(bytes) != expected) {
    Stop();
    throw LibraryError("StartSnapshot returned " + std::to_string(bytes) + " bytes, not " +
                       std::to_string(expected));
  }
}

void Acquisition::Stop() {
  if (!running_) return;
  running_ = false;
  if (StopIntr() != 1) throw LibraryError("StopIntr", GetLastADError());
}

Acquisition::Record Acquisition::Read() {
  if (GetSnapshot(record_.data(), ringRows_, nullptr) != 1)
    throw LibraryError("GetSnapshot", GetLastADError());
  Record r{record_[0], 0};
  std::memcpy(&r.newestPosition, record_.data() + 1 + std::size_t{channels_} * ringRows_,
              sizeof r.newestPosition);
  return r;
}

}  // namespace wexread
