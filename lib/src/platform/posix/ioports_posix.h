// Access to the I/O-port space on POSIX systems: a file that stands in for the
// port space (WEXLINK_IOSPACE), or the machine's own ports.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "core/platform.h"

namespace wexlink::posix {

// The environment variable that names the file standing in for the ports.
inline constexpr char kIoSpaceVariable[] = "WEXLINK_IOSPACE";

// A file that stands in for the 64 KiB port space: port p is the byte at
// offset p. Words and double words are little-endian (the x86 order), so
// outport(0x100, 0x1234) writes 34 12 at offsets 0x100 and 0x101. The file is
// created at the first access when missing and extended to 64 KiB; a word or
// double word at the top ports may reach a few bytes beyond. A read beyond the
// end of the file gives zero bytes. When the file cannot be opened, writes do
// nothing and reads give all ones, as an absent port does.
class FileIoSpace final : public IoPorts {
 public:
  static constexpr off_t kSize = 64 * 1024;

  explicit FileIoSpace(std::string path) : path_(std::move(path)) {}
  ~FileIoSpace() override;
  FileIoSpace(const FileIoSpace&) = delete;
  FileIoSpace& operator=(const FileIoSpace&) = delete;

  uint8_t In8(uint16_t port) override { return static_cast<uint8_t>(Read(port, 1)); }
  uint16_t In16(uint16_t port) override { return static_cast<uint16_t>(Read(port, 2)); }
  uint32_t In32(uint16_t port) override { return Read(port, 4); }
  void Out8(uint16_t port, uint8_t value) override { Write(port, value, 1); }
  void Out16(uint16_t port, uint16_t value) override { Write(port, value, 2); }
  void Out32(uint16_t port, uint32_t value) override { Write(port, value, 4); }

  const std::string& Path() const { return path_; }

 private:
  int Descriptor();
  uint32_t Read(uint16_t port, int width);
  void Write(uint16_t port, uint32_t value, int width);

  const std::string path_;
  std::mutex openMutex_;
  std::atomic<int> fd_{-1};
};

// The port space the library uses, chosen at the first access: the file named
// by WEXLINK_IOSPACE when that variable is set and not empty, otherwise the
// machine's ports as `machine` makes them. The choice holds from then on.
class SelectedIoPorts final : public IoPorts {
 public:
  using MachineFactory = std::unique_ptr<IoPorts> (*)();
  explicit SelectedIoPorts(MachineFactory machine) : machine_(machine) {}

  uint8_t In8(uint16_t port) override { return Target().In8(port); }
  uint16_t In16(uint16_t port) override { return Target().In16(port); }
  uint32_t In32(uint16_t port) override { return Target().In32(port); }
  void Out8(uint16_t port, uint8_t value) override { Target().Out8(port, value); }
  void Out16(uint16_t port, uint16_t value) override { Target().Out16(port, value); }
  void Out32(uint16_t port, uint32_t value) override { Target().Out32(port, value); }

 private:
  IoPorts& Target();

  MachineFactory machine_;
  std::once_flag chosen_;
  std::unique_ptr<IoPorts> target_;
};

}  // namespace wexlink::posix
