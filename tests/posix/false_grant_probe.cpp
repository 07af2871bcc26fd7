// Reads port 256 through the real library while WEXLINK_GRANTED_PORTS claims a
// grant that this process does not hold. Every capability is dropped before
// the first port access, so the kernel refuses every way to the machine's
// ports (iopl, ioperm, /dev/port): whatever the library does, no hardware is
// reached. Prints "in8 VALUE", "in16 VALUE" and "in32 VALUE" in hexadecimal.
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "wexlink.h"

int main() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capset, &header, data) != 0 || syscall(SYS_capget, &header, data) != 0) {
    std::perror("capset");
    return 2;
  }
  for (const auto& word : data) {
    if (word.effective != 0 || word.permitted != 0) {
      std::fprintf(stderr, "a capability is still held\n");
      return 2;
    }
  }
  unsetenv("WEXLINK_IOSPACE");
  std::printf("in8 %x\n", static_cast<unsigned>(inportb(256)));
  std::printf("in16 %x\n", static_cast<unsigned>(inport(256)));
  std::printf("in32 %x\n", static_cast<unsigned>(inportdw(256)));
  return 0;
}
