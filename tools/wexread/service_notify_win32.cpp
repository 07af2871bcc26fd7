// No service manager talks to wexread on Windows: every call does nothing, as
// under systemd without NOTIFY_SOCKET.
#include "service_notify.h"

namespace wexread {

ServiceNotify::ServiceNotify(Clock::duration rowGap) : rowGap_(rowGap) {}

void ServiceNotify::OnRows(std::uint64_t, std::uint64_t, unsigned, unsigned) {}

void ServiceNotify::Tick() {}

std::optional<ServiceNotify::Clock::duration> ServiceNotify::untilTick() const {
  return std::nullopt;
}

void ServiceNotify::Stopping() {}

}  // namespace wexread
