#include "start_failure.h"

#include "library_table.h"
#include "wexlink.h"

#ifndef _WIN32
#include <cstdlib>

#include "serial_diagnosis.h"
#endif

namespace wexmon {

namespace {

struct Meaning {
  std::int32_t code;
  std::string_view text;
};

// As the library's header documents each code.
constexpr Meaning kMeanings[] = {
    {0, "no failure recorded"},
    {WEXLINK_E_NOT_INITIALIZED, "Initial has not yet succeeded"},
    {WEXLINK_E_BUFFER_COUNT, "buffer count is 0"},
    {WEXLINK_E_ROWS, "rows per buffer below 5"},
    {WEXLINK_E_CHANNELS, "channel count below 8 or not a multiple of 8"},
    {WEXLINK_E_SLOT, "notification slot above 3"},
    {WEXLINK_E_TOO_MANY_CHANNELS, "channel count above 256"},
    {WEXLINK_E_PERIOD_TOO_LONG, "period setting below -100000"},
    {WEXLINK_E_PERIOD_TOO_SHORT, "period setting above -700"},
    {WEXLINK_E_NO_BUFFER_READY, "no complete buffer is waiting"},
    {WEXLINK_E_BUSY, "a run is already active, or another port or baud rate during a run"},
    {WEXLINK_E_BAD_SETUP, "port number 0 or baud rate below 10"},
    {WEXLINK_E_TIMER, "the periodic timer could not be created"},
    {WEXLINK_E_PORT, "the serial port could not be opened"},
    {WEXLINK_E_ALLOC, "the sample buffers could not be allocated"},
    {WEXLINK_E_NOT_RUNNING, "no run is active"},
    {WEXLINK_E_NO_CONTINUOUS, "no buffers of a continuous run are held"},
    {WEXLINK_E_SNAPSHOT_ROWS, "more rows than the snapshot ring holds"},
    {WEXLINK_E_NO_SNAPSHOT, "no snapshot ring is held"},
    {WEXLINK_E_IOCTL, "bad IOCtl length or code"},
    {WEXLINK_E_NULL_POINTER, "a required buffer pointer is null"},
};

}  // namespace

std::string_view LibraryErrorMeaning(std::int32_t code) {
  for (const Meaning& meaning : kMeanings) {
    if (meaning.code == code) return meaning.text;
  }
  return "unknown code";
}

std::string StartFailureText(StartStep step, std::optional<std::int32_t> code) {
  std::string text = "Wexmon: start failed at ";
  switch (step) {
    case StartStep::DriverCheck:
      text += "the driver check: the model name from ConfigInfo does not begin with W316";
      break;
    case StartStep::Initial:
      text += "Initial";
      break;
    case StartStep::StartSnapshot:
      text += "StartSnapshot";
      break;
  }
  if (code) {
    text += "; library error " + std::to_string(*code) + " (" +
            std::string(LibraryErrorMeaning(*code)) + ")";
  } else {
    text += "; the library's error code cannot be read";
  }
  return text;
}

void LoggedStartFailures::StartFailed(StartStep step) {
  const std::optional<std::int32_t> code = library_.LastErrorCode();
  std::string line = StartFailureText(step, code);
#ifndef _WIN32
  // Why the port did not open, looked at here: Wexmon runs on COM1, which the
  // library opens as WEXLINK_COM1 or else /dev/ttyS0.
  if (step == StartStep::StartSnapshot && code == WEXLINK_E_PORT) {
    const char* named = secure_getenv("WEXLINK_COM1");
    line += ": " +
            wexdiag::DiagnoseSerialOpen(named != nullptr && *named != '\0' ? named : "/dev/ttyS0");
  }
#endif
  write_(line);
}

}  // namespace wexmon
