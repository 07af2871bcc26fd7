// The machine's own I/O ports. Only the library's back end links this; the
// tests never do, so no test can reach real hardware.
#pragma once

#include <memory>

#include "core/platform.h"

namespace wexlink::posix {

// On x86 Linux: the port instructions on every port once iopl(3) is allowed
// (CAP_SYS_RAWIO), else on the ports below 0x400 that ioperm opens (the same
// capability), else /dev/port for byte accesses only (see RoutedIoPorts: a
// wider access is never split into bytes). Elsewhere /dev/port only. Without
// any of them, writes do nothing and reads give all ones.
std::unique_ptr<IoPorts> MakeMachineIoPorts();

// The bare port instructions, for the ports that wexmon-launcher has opened to
// this process (WEXLINK_GRANTED_PORTS); no ioperm call, no fallback. An access
// to a port the process has not been given raises SIGSEGV. Nothing on machines
// without port instructions.
std::unique_ptr<IoPorts> MakeMachinePortInstructions();

}  // namespace wexlink::posix
