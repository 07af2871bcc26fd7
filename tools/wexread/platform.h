// The few facts about the host that wexread asks for outside the output and
// the stop request. One file per system: platform_posix.cpp,
// platform_win32.cpp.
#pragma once

#include <string>

namespace wexread {

// The device behind COM `port` as the library opens it: on POSIX systems
// `device` when given, else WEXLINK_COM<port>, else /dev/ttyS<port-1>; on
// Windows "COM<port>".
std::string PortDevice(unsigned port, const std::string& device);

// Hands --device to the library (WEXLINK_COM<port>). Throws std::runtime_error
// where the library opens ports by number only (Windows).
void NamePortDevice(unsigned port, const std::string& device);

// One phrase on why `device` did not open, for the failed-start line.
std::string DiagnosePortOpen(const std::string& device);

// Whether the process runs with more rights than its caller (set-user-ID or
// file capabilities), where the library ignores WEXLINK_COM<N>.
bool RunningPrivileged();

// Whether two paths name the same file (or, for one not there yet, the same
// name in the same folder).
bool SameFile(const std::string& a, const std::string& b);

}  // namespace wexread
