#include "win32_serial.h"

namespace wexlink::win32 {

void MakeRawLine(DCB& dcb) {
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = 0;
}

std::wstring DevicePath(const char* deviceName) {
  const std::string name = deviceName != nullptr ? deviceName : "";
  std::wstring wide(name.begin(), name.end());
  if (name.size() < 5 || name.back() != ':') return wide;
  for (std::size_t i = 0; i < 3; ++i) {
    if ((name[i] & ~0x20) != "COM"[i]) return wide;
  }
  for (std::size_t i = 3; i + 1 < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return wide;
  }
  // "COM12:" -> "\\.\COM12": without the colon, in the device namespace.
  return L"\\\\.\\" + wide.substr(0, wide.size() - 1);
}

bool Win32Serial::Open(const char* deviceName, const char* lineDefinition) {
  Close();
  // Exclusive, ordinary (non-overlapped) I/O. No timeouts and no queue sizes
  // are set: reads never ask for more than is already waiting.
  handle_ = createFile_(DevicePath(deviceName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle_ == INVALID_HANDLE_VALUE) return false;

  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(handle_, &dcb);
  if (!BuildCommDCBA(lineDefinition, &dcb)) {
    Close();
    return false;
  }
  MakeRawLine(dcb);
  SetCommState(handle_, &dcb);
  ClearCommBreak(handle_);
  // What reached the port while it was closed answers no request of this run.
  PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR);
  return true;
}

void Win32Serial::Close() {
  if (handle_ == INVALID_HANDLE_VALUE) return;
  CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

void Win32Serial::QueryQueues(int32_t& inputQueue, int32_t& outputQueue) {
  if (handle_ == INVALID_HANDLE_VALUE) return;
  DWORD errors = 0;
  COMSTAT status{};
  // Also clears the line's error state, which would otherwise block further I/O.
  ClearCommError(handle_, &errors, &status);
  inputQueue = static_cast<int32_t>(status.cbInQue);
  outputQueue = static_cast<int32_t>(status.cbOutQue);
}

int32_t Win32Serial::Write(const uint8_t* data, int32_t count) {
  DWORD written = 0;
  if (handle_ == INVALID_HANDLE_VALUE || count <= 0) return 0;
  WriteFile(handle_, data, static_cast<DWORD>(count), &written, nullptr);
  return static_cast<int32_t>(written);
}

int32_t Win32Serial::Read(uint8_t* data, int32_t count) {
  DWORD got = 0;
  if (handle_ == INVALID_HANDLE_VALUE || count <= 0) return 0;
  ReadFile(handle_, data, static_cast<DWORD>(count), &got, nullptr);
  return static_cast<int32_t>(got);
}

}  // namespace wexlink::win32
