#include <windows.h>

#include <stdexcept>

#include "platform.h"
#include "win32_text.h"

namespace wexread {

std::string PortDevice(unsigned port, const std::string&) { return "COM" + std::to_string(port); }

void NamePortDevice(unsigned, const std::string&) {
  throw std::runtime_error(
      "--device is not available on Windows: the library opens COM ports by number; "
      "name the port with --port N");
}

// Opens the port as the library does (COM10 and above need the \\.\ form) and
// says what Windows answered.
std::string DiagnosePortOpen(const std::string& device) {
  const std::wstring name = L"\\\\.\\" + Wide(device);
  const HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return device + " opens now: it may have been busy a moment ago";
  }
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
    return device + " does not exist (see the Ports list of the Device Manager)";
  if (error == ERROR_ACCESS_DENIED) return device + " is busy: another program holds it";
  return device + ": " + ErrorText(error);
}

bool RunningPrivileged() { return false; }

namespace {

// The full path of a file, for comparing two spellings of one path.
std::wstring FullPath(const std::string& path) {
  const std::wstring wide = Wide(path);
  const DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return wide;
  std::wstring full(n, L'\0');
  const DWORD m = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  full.resize(m < n ? m : 0);
  return full;
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
  const std::wstring first = FullPath(a);
  const std::wstring second = FullPath(b);
  // Windows file names compare without regard to case.
  return CompareStringOrdinal(first.c_str(), -1, second.c_str(), -1, TRUE) == CSTR_EQUAL;
}

}  // namespace wexread
