#include "termios2_speed.h"

#if defined(__linux__)
#include <asm/termbits.h>
#include <sys/ioctl.h>
#endif

namespace wexlink::posix {

#if defined(__linux__) && defined(BOTHER) && defined(TCGETS2)

bool SetArbitraryBaudRate(int fd, uint32_t baud) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= static_cast<tcflag_t>(BOTHER | (BOTHER << IBSHIFT));
  t.c_ispeed = baud;
  t.c_ospeed = baud;
  return ioctl(fd, TCSETS2, &t) == 0;
}

std::optional<uint32_t> ReadBaudRate(int fd) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return std::nullopt;
  return static_cast<uint32_t>(t.c_ospeed);
}

#else

bool SetArbitraryBaudRate(int, uint32_t) { return false; }
std::optional<uint32_t> ReadBaudRate(int) { return std::nullopt; }

#endif

}  // namespace wexlink::posix
