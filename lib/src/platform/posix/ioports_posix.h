// Access to the I/O-port space on POSIX systems: a file that stands in for the
// port space (WEXLINK_IOSPACE), or the machine's own ports.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/platform.h"

namespace wexlink::posix {

// The environment variable that names the file standing in for the ports.
inline constexpr char kIoSpaceVariable[] = "WEXLINK_IOSPACE";
// The environment variable in which wexmon-launcher tells the library which
// ports it opened to this process with ioperm before executing it: "FIRST-LAST",
// two decimal port numbers from 0 to 1023 without sign, blanks or leading zeros,
// FIRST <= LAST ("256-256").
inline constexpr char kGrantedPortsVariable[] = "WEXLINK_GRANTED_PORTS";

// A range of ports, both ends included.
struct PortRange {
  uint16_t first = 0;
  uint16_t last = 0;
  bool Covers(uint16_t port, unsigned width) const {
    return port >= first && unsigned{port} + width - 1 <= last;
  }
};

// The range in a WEXLINK_GRANTED_PORTS value; nothing unless it has exactly the
// documented form.
std::optional<PortRange> ParseGrantedPorts(std::string_view text);

// A file that stands in for the 64 KiB port space: port p is the byte at
// offset p. Words and double words are little-endian (the x86 order), so
// outport(0x100, 0x1234) writes 34 12 at offsets 0x100 and 0x101. The file is
// created at the first access when missing and extended to 64 KiB; a word or
// double word at the top ports may reach a few bytes beyond. A read beyond the
// end of the file gives zero bytes.
//
// The path comes from the environment, and the process may be root: the file
// is opened without following a symbolic link, close-on-exec, created with mode
// 0600, and used only when it is a regular file with one link owned by the
// effective user. Anything else, or a file that cannot be opened, means no port
// access: writes do nothing and reads give all ones, as an absent port does;
// the first refusal is reported in one line on standard error.
class FileIoSpace final : public WidthIoPorts {
 public:
  static constexpr off_t kSize = 64 * 1024;

  explicit FileIoSpace(std::string path) : path_(std::move(path)) {}
  ~FileIoSpace() override;
  FileIoSpace(const FileIoSpace&) = delete;
  FileIoSpace& operator=(const FileIoSpace&) = delete;

  const std::string& Path() const { return path_; }

 private:
  int Descriptor();
  uint32_t Read(uint16_t port, int width) override;
  void Write(uint16_t port, uint32_t value, int width) override;

  const std::string path_;
  std::mutex openMutex_;
  std::atomic<int> fd_{-1};
  bool refusalReported_ = false;  // under openMutex_
};

// The machine's ports with some of them opened to this process beforehand: an
// access that lies wholly in `granted` goes to `instructions` (the port
// instructions, which the kernel now allows there), every other one to
// `fallback`.
class GrantedIoPorts final : public IoPorts {
 public:
  GrantedIoPorts(PortRange granted, std::unique_ptr<IoPorts> instructions,
                 std::unique_ptr<IoPorts> fallback)
      : granted_(granted), instructions_(std::move(instructions)), fallback_(std::move(fallback)) {}

  uint8_t In8(uint16_t port) override { return For(port, 1).In8(port); }
  uint16_t In16(uint16_t port) override { return For(port, 2).In16(port); }
  uint32_t In32(uint16_t port) override { return For(port, 4).In32(port); }
  void Out8(uint16_t port, uint8_t value) override { For(port, 1).Out8(port, value); }
  void Out16(uint16_t port, uint16_t value) override { For(port, 2).Out16(port, value); }
  void Out32(uint16_t port, uint32_t value) override { For(port, 4).Out32(port, value); }

 private:
  IoPorts& For(uint16_t port, unsigned width) {
    return granted_.Covers(port, width) ? *instructions_ : *fallback_;
  }

  const PortRange granted_;
  const std::unique_ptr<IoPorts> instructions_;
  const std::unique_ptr<IoPorts> fallback_;
};

// The port space the library uses, chosen at the first access: the file named
// by WEXLINK_IOSPACE when that variable is set and not empty, otherwise the
// machine's ports as `machine` makes them; when WEXLINK_GRANTED_PORTS names a
// range, accesses inside it go to the port instructions as `instructions`
// makes them (GrantedIoPorts). A malformed range is ignored with one line on
// standard error. The variables are read with secure_getenv: a process running
// with more privilege than its caller ignores them. The choice holds from then
// on.
class SelectedIoPorts final : public IoPorts {
 public:
  using MachineFactory = std::unique_ptr<IoPorts> (*)();
  explicit SelectedIoPorts(MachineFactory machine, MachineFactory instructions = nullptr)
      : machine_(machine), instructions_(instructions) {}

  uint8_t In8(uint16_t port) override { return Target().In8(port); }
  uint16_t In16(uint16_t port) override { return Target().In16(port); }
  uint32_t In32(uint16_t port) override { return Target().In32(port); }
  void Out8(uint16_t port, uint8_t value) override { Target().Out8(port, value); }
  void Out16(uint16_t port, uint16_t value) override { Target().Out16(port, value); }
  void Out32(uint16_t port, uint32_t value) override { Target().Out32(port, value); }

 private:
  IoPorts& Target();

  MachineFactory machine_;
  MachineFactory instructions_;
  std::once_flag chosen_;
  std::unique_ptr<IoPorts> target_;
};

}  // namespace wexlink::posix
