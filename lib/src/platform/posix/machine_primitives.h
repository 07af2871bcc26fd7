// The machine's own I/O ports. Only the library's back end links this; the
// tests never do, so no test can reach real hardware.
#pragma once

#include <memory>

#include "platform/posix/machine_route.h"

namespace wexlink::posix {

// On x86 Linux: the port instructions, iopl(3) and ioperm (both need
// CAP_SYS_RAWIO), and /dev/port; elsewhere /dev/port only (see RoutedIoPorts
// for how they are chosen). The guarded instructions catch the SIGSEGV of a
// refused instruction, so a port that was claimed but never granted costs one
// caught fault instead of the process.
std::unique_ptr<PortPrimitives> MakeMachinePrimitives();

}  // namespace wexlink::posix
