#include "service_notify.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace wexread {

ServiceNotify::ServiceNotify(Clock::duration rowGap)
    : rowGap_(rowGap), lastRows_(Clock::now()), lastPing_(lastRows_) {
  const char* socket = secure_getenv("NOTIFY_SOCKET");
  enabled_ = socket != nullptr && *socket != '\0';
  std::uint64_t usec = 0;
  // Checks WATCHDOG_PID against this process as well.
  if (enabled_ && sd_watchdog_enabled(0, &usec) > 0 && usec > 0)
    watchdog_ = std::chrono::microseconds(usec);
}

void ServiceNotify::OnRows(std::uint64_t rows, std::uint64_t dropped, unsigned answering,
                           unsigned modules) {
  if (!enabled_) return;
  lastRows_ = Clock::now();
  std::string message = "STATUS=rows " + std::to_string(rows) + ", dropped " +
                        std::to_string(dropped) + ", modules answering " +
                        std::to_string(answering) + "/" + std::to_string(modules);
  if (!ready_ && rows > 0) {
    message = "READY=1\n" + message;
    ready_ = true;
  }
  sd_notify(0, message.c_str());
}

std::optional<ServiceNotify::Clock::duration> ServiceNotify::untilTick() const {
  if (!watchdog_) return std::nullopt;
  const auto left = lastPing_ + *watchdog_ / 2 - Clock::now();
  return std::max<Clock::duration>(left, std::chrono::milliseconds(1));
}

void ServiceNotify::Tick() {
  if (!watchdog_) return;
  const auto now = Clock::now();
  if (now - lastPing_ < *watchdog_ / 2) return;
  // Twice the longest gap and some slack for a loaded machine.
  if (now - lastRows_ > 2 * rowGap_ + std::chrono::seconds(10)) return;
  lastPing_ = now;
  if (ready_) {
    sd_notify(0, "WATCHDOG=1");
  } else {
    const auto extend = std::chrono::duration_cast<std::chrono::microseconds>(*watchdog_);
    sd_notify(0, ("WATCHDOG=1\nEXTEND_TIMEOUT_USEC=" + std::to_string(extend.count()) +
                  "\nSTATUS=waiting for the first rows")
                     .c_str());
  }
}

void ServiceNotify::Stopping() {
  if (enabled_) sd_notify(0, "STOPPING=1");
}

}  // namespace wexread
