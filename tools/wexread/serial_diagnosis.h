// Why a serial device could not be opened, said for a person: the library
// reports only that the port did not open (106). Linux and other POSIX
// systems; wexread and Wexmon both add this to their failed-start line.
#pragma once

#include <string>

namespace wexdiag {

// One phrase about `path`, for example "/dev/ttyUSB0 does not exist",
// "permission denied: join the group dialout (/dev/ttyUSB0 is root:dialout,
// mode 0660)", "busy: held by PID 1234 (minicom)", "/tmp/x is not a serial
// device (a regular file)". Looks at the path, tries to open it itself
// (without becoming its controlling terminal) and looks through /proc/*/fd
// for the processes that hold it.
std::string DiagnoseSerialOpen(const std::string& path);

}  // namespace wexdiag
