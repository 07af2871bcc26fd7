// The I/O-port space on Windows: the processor's ports, or a file that stands
// in for them (WEXLINK_IOSPACE).
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "core/platform.h"

namespace wexlink::win32 {

// The environment variable that names the file standing in for the ports.
inline constexpr wchar_t kIoSpaceVariable[] = L"WEXLINK_IOSPACE";

// In and out instructions in the calling process. On the NT family they run
// only where a port-access driver has opened the ports to user mode; without
// one (and under Wine) the processor refuses them with a privileged-instruction
// exception. A refused instruction is stepped over: a write does nothing and a
// read gives all ones, as a bus with nothing behind the port answers, and the
// process goes on. The first refusal is reported in one line.
class ProcessorPorts final : public IoPorts {
 public:
  ProcessorPorts() = default;
  ~ProcessorPorts() override;
  ProcessorPorts(const ProcessorPorts&) = delete;
  ProcessorPorts& operator=(const ProcessorPorts&) = delete;

  uint8_t In8(uint16_t port) override;
  uint16_t In16(uint16_t port) override;
  uint32_t In32(uint16_t port) override;
  void Out8(uint16_t port, uint8_t value) override;
  void Out16(uint16_t port, uint16_t value) override;
  void Out32(uint16_t port, uint32_t value) override;

 private:
  void Prepare();
  void NoteRefusal();

  std::atomic<PVOID> handler_{nullptr};
  std::atomic<bool> reported_{false};
};

// A file that stands in for the 64 KiB port space, as on Linux: port p is the
// byte at offset p, words and double words little-endian. The file is created
// when missing, private to the user, and extended to 64 KiB. Only a regular
// file is used: a name that leads to a symbolic link or other reparse point,
// a directory or a device means no access (writes do nothing, reads give all
// ones), reported in one line the first time. A read beyond the end of the
// file gives zero bytes.
class FileIoSpace final : public WidthIoPorts {
 public:
  static constexpr LONGLONG kSize = 64 * 1024;

  explicit FileIoSpace(std::wstring path) : path_(std::move(path)) {}
  ~FileIoSpace() override;
  FileIoSpace(const FileIoSpace&) = delete;
  FileIoSpace& operator=(const FileIoSpace&) = delete;

 private:
  HANDLE Handle();
  uint32_t Read(uint16_t port, unsigned width) override;
  void Write(uint16_t port, uint32_t value, unsigned width) override;

  const std::wstring path_;
  std::atomic<HANDLE> handle_{INVALID_HANDLE_VALUE};
  std::atomic<bool> reported_{false};
};

// The port space the library uses, chosen at the first access: the file named
// by WEXLINK_IOSPACE when that variable is set and not empty, otherwise the
// processor's ports. The choice holds from then on.
class SelectedIoPorts final : public ForwardingIoPorts {
 public:
  SelectedIoPorts() = default;
  ~SelectedIoPorts() override;
  SelectedIoPorts(const SelectedIoPorts&) = delete;
  SelectedIoPorts& operator=(const SelectedIoPorts&) = delete;

 private:
  IoPorts& Target() override;

  ProcessorPorts processor_;
  std::atomic<IoPorts*> target_{nullptr};
};

}  // namespace wexlink::win32
