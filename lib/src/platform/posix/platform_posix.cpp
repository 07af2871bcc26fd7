// The POSIX back end linked into the shared library.
#include "core/platform.h"
#include "platform/posix/machine_primitives.h"
#include "platform/posix/notify_posix.h"
#include "platform/posix/port_selection.h"
#include "platform/posix/serial_posix.h"
#include "platform/posix/timer_posix.h"

namespace wexlink {

// Function-local statics, created during the construction of the library's
// Driver and therefore destroyed after it: the Driver's destructor (the
// unload) still finds the timer and the serial device alive when it stops a
// run. Each of them also stops or closes itself when destroyed.
Platform& DefaultPlatform() {
  static posix::PosixSerialDevice serial;
  static posix::PosixPeriodicTimer timer;
  static posix::FdMessagePoster poster;
  static posix::SelectedIoPorts ports(&posix::MakeMachinePrimitives);
  static Platform platform{serial, timer, poster, ports};
  return platform;
}

}  // namespace wexlink
