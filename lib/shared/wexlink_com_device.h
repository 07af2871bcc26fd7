// How a COM number becomes a device file on Linux: the path in the variable
// WEXLINK_COM<n> when it is set and not empty, else /dev/ttyS<n-1>. The
// variable is read with secure_getenv: a process running with more privilege
// than its caller ignores it. Shared by the library's serial back end and
// wexread, which names the device in its messages; header only, so that a
// program using it links nothing of the library's inside.
#pragma once

#include <stdlib.h>

#include <string>

namespace wexlink {

// "WEXLINK_COM<n>".
inline std::string ComDeviceVariable(unsigned long number) {
  return "WEXLINK_COM" + std::to_string(number);
}

// The device file of COM<number>; number is 1 or more.
inline std::string ComDevicePath(unsigned long number) {
  const char* path = secure_getenv(ComDeviceVariable(number).c_str());
  if (path != nullptr && path[0] != '\0') return path;
  return "/dev/ttyS" + std::to_string(number - 1);
}

}  // namespace wexlink
