// The machine's own I/O ports. Only the library's back end links this; the
// tests never do, so no test can reach real hardware.
#pragma once

#include <memory>

#include "core/platform.h"

namespace wexlink::posix {

// On x86 Linux: the port instructions once ioperm has granted the port (needs
// CAP_SYS_RAWIO; ioperm reaches ports 0 to 0x3FF), otherwise /dev/port (needs
// the same capability; a word or double word there is made of single byte
// accesses to consecutive ports). Elsewhere /dev/port only. Without either,
// writes do nothing and reads give all ones.
std::unique_ptr<IoPorts> MakeMachineIoPorts();

// The bare port instructions, for the ports that wexmon-launcher has opened to
// this process (WEXLINK_GRANTED_PORTS); no ioperm call, no fallback. An access
// to a port the process has not been given raises SIGSEGV. Nothing on machines
// without port instructions.
std::unique_ptr<IoPorts> MakeMachinePortInstructions();

}  // namespace wexlink::posix
