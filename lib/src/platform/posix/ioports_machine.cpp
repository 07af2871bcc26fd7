#include "platform/posix/ioports_machine.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

#include "platform/posix/ioports_route.h"

#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__)) && __has_include(<sys/io.h>)
#include <sys/io.h>
#define WEXLINK_PORT_INSTRUCTIONS 1
#else
#define WEXLINK_PORT_INSTRUCTIONS 0
#endif

namespace wexlink::posix {
namespace {

#if WEXLINK_PORT_INSTRUCTIONS
// Both kinds of permission belong to the thread that asked for them.
thread_local bool tAllPorts = false;
thread_local uint64_t tOpened[PortPrimitives::kRangeLimit / 64];
// Set once the kernel refuses for want of privilege (EPERM) or support
// (ENOSYS, EINVAL); that does not change while the process runs.
std::atomic<bool> gAllPortsRefused{false};
std::atomic<bool> gRangesRefused{false};

bool Permanent(int error) { return error == EPERM || error == ENOSYS || error == EINVAL; }
#endif

// /dev/port, opened at its first use; -1 when it cannot be.
int DevPort() {
  static std::once_flag opened;
  static int fd = -1;
  std::call_once(opened, [] { fd = ::open("/dev/port", O_RDWR | O_CLOEXEC); });
  return fd;
}

class MachinePrimitives final : public PortPrimitives {
 public:
  bool OpenAllPorts() override {
#if WEXLINK_PORT_INSTRUCTIONS
    if (tAllPorts) return true;
    if (gAllPortsRefused.load(std::memory_order_relaxed)) return false;
    if (iopl(3) == 0) return tAllPorts = true;
    if (Permanent(errno)) gAllPortsRefused.store(true, std::memory_order_relaxed);
#endif
    return false;
  }

  bool OpenPortRange(uint16_t port, unsigned width) override {
#if WEXLINK_PORT_INSTRUCTIONS
    if (port + width > kRangeLimit) return false;
    bool all = true;
    for (unsigned p = port; p < port + width; ++p)
      all = all && ((tOpened[p / 64] >> (p % 64)) & 1u);
    if (all) return true;
    if (gRangesRefused.load(std::memory_order_relaxed)) return false;
    if (ioperm(port, width, 1) != 0) {
      if (Permanent(errno)) gRangesRefused.store(true, std::memory_order_relaxed);
      return false;
    }
    for (unsigned p = port; p < port + width; ++p) tOpened[p / 64] |= uint64_t{1} << (p % 64);
    return true;
#else
    (void)port;
    (void)width;
    return false;
#endif
  }

  uint32_t InstructionIn(uint16_t port, unsigned width) override {
#if WEXLINK_PORT_INSTRUCTIONS
    if (width == 1) return inb(port);
    if (width == 2) return inw(port);
    return inl(port);
#else
    (void)port;
    return width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1u;
#endif
  }

  void InstructionOut(uint16_t port, uint32_t value, unsigned width) override {
#if WEXLINK_PORT_INSTRUCTIONS
    if (width == 1) outb(static_cast<uint8_t>(value), port);
    if (width == 2) outw(static_cast<uint16_t>(value), port);
    if (width == 4) outl(value, port);
#else
    (void)port;
    (void)value;
    (void)width;
#endif
  }

  bool DevPortIn(uint16_t port, uint8_t& value) override {
    const int fd = DevPort();
    return fd >= 0 && pread(fd, &value, 1, port) == 1;
  }

  void DevPortOut(uint16_t port, uint8_t value) override {
    const int fd = DevPort();
    if (fd >= 0 && pwrite(fd, &value, 1, port) < 0) {
      // A port write has no result to report.
    }
  }
};

#if WEXLINK_PORT_INSTRUCTIONS
class PortInstructions final : public IoPorts {
 public:
  uint8_t In8(uint16_t port) override { return inb(port); }
  uint16_t In16(uint16_t port) override { return inw(port); }
  uint32_t In32(uint16_t port) override { return inl(port); }
  void Out8(uint16_t port, uint8_t value) override { outb(value, port); }
  void Out16(uint16_t port, uint16_t value) override { outw(value, port); }
  void Out32(uint16_t port, uint32_t value) override { outl(value, port); }
};
#endif

}  // namespace

std::unique_ptr<IoPorts> MakeMachineIoPorts() {
  return std::make_unique<RoutedIoPorts>(std::make_unique<MachinePrimitives>());
}

std::unique_ptr<IoPorts> MakeMachinePortInstructions() {
#if WEXLINK_PORT_INSTRUCTIONS
  return std::make_unique<PortInstructions>();
#else
  return nullptr;
#endif
}

}  // namespace wexlink::posix
