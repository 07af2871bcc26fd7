// The grant that wexmon-launcher passes on in WEXLINK_GRANTED_PORTS: the range
// of ports it opened to this process with ioperm before executing it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "wexlink_granted_ports.h"

namespace wexlink::posix {

inline constexpr char kGrantedPortsVariable[] = WEXLINK_GRANTED_PORTS_VARIABLE;

// A range of ports, both ends included.
struct PortRange {
  uint16_t first = 0;
  uint16_t last = 0;
  bool Covers(uint16_t port, unsigned width) const {
    return port >= first && unsigned{port} + width - 1 <= last;
  }
};

// The range in a WEXLINK_GRANTED_PORTS value; nothing unless it has exactly the
// form in wexlink_granted_ports.h.
std::optional<PortRange> ParseGrantedPorts(std::string_view text);

}  // namespace wexlink::posix
