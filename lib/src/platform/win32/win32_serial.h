// The serial device on Windows: a COM port opened through the communications
// API, set raw (no flow control, DTR and RTS off), read without waiting.
#pragma once

#include <windows.h>

#include <string>

#include "core/platform.h"

namespace wexlink::win32 {

// Clears the DCB's flow-control, error-replacement, null-stripping and
// abort-on-error fields (bits 2 to 6 and 8 to 14 of its bit-field word) and
// leaves binary mode, parity checking, TXContinueOnXoff and the reserved bits
// as they were.
void MakeRawLine(DCB& dcb);

// The name the device is opened by: "COMn:" (as the library records and shows
// it) becomes the device namespace path "\\.\COMn", the only form Windows
// accepts for COM10 and above; any other name is passed on unchanged.
std::wstring DevicePath(const char* deviceName);

class Win32Serial final : public SerialDevice {
 public:
  // CreateFileW's signature: tests pass a function that records the name.
  using CreateFileFunction = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                                             DWORD, HANDLE);

  explicit Win32Serial(CreateFileFunction createFile = &CreateFileW) : createFile_(createFile) {}
  ~Win32Serial() override { Close(); }
  Win32Serial(const Win32Serial&) = delete;
  Win32Serial& operator=(const Win32Serial&) = delete;

  bool Open(const char* deviceName, const char* lineDefinition) override;
  void Close() override;
  void QueryQueues(int32_t& inputQueue, int32_t& outputQueue) override;
  int32_t Write(const uint8_t* data, int32_t count) override;
  int32_t Read(uint8_t* data, int32_t count) override;

  // The open handle, INVALID_HANDLE_VALUE when closed (for tests that look at
  // the line settings).
  HANDLE NativeHandle() const { return handle_; }

 private:
  CreateFileFunction createFile_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace wexlink::win32
