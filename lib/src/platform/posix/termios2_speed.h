// Line speeds beyond the fixed Bxxx constants, through the kernel's termios2
// interface. Kept in a translation unit of its own: <asm/termbits.h> cannot be
// included together with <termios.h>.
#pragma once

#include <cstdint>
#include <optional>

namespace wexlink::posix {

// Sets input and output speed to `baud` exactly; false when the driver refuses
// or the system has no such interface.
bool SetArbitraryBaudRate(int fd, uint32_t baud);

// The output speed of the line in baud, as the driver reports it.
std::optional<uint32_t> ReadBaudRate(int fd);

}  // namespace wexlink::posix
