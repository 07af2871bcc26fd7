#include "platform/posix/ioports_machine.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__)) && __has_include(<sys/io.h>)
#include <sys/io.h>
#define WEXLINK_PORT_INSTRUCTIONS 1
#else
#define WEXLINK_PORT_INSTRUCTIONS 0
#endif

namespace wexlink::posix {
namespace {

#if WEXLINK_PORT_INSTRUCTIONS
// ioperm covers the first 0x400 ports only.
constexpr unsigned kIopermPorts = 0x400;

// The ports ioperm has granted to this thread (the permission bitmap belongs
// to the thread).
thread_local uint64_t tGranted[kIopermPorts / 64];
// Set once ioperm is refused for want of privilege; it will not change.
std::atomic<bool> gIopermRefused{false};

bool IsGranted(unsigned port) { return (tGranted[port / 64] >> (port % 64)) & 1u; }

bool Granted(uint16_t port, unsigned width) {
  if (port + width > kIopermPorts) return false;
  bool all = true;
  for (unsigned p = port; p < port + width; ++p) all = all && IsGranted(p);
  if (all) return true;
  if (gIopermRefused.load(std::memory_order_relaxed)) return false;
  if (ioperm(port, width, 1) != 0) {
    if (errno == EPERM) gIopermRefused.store(true, std::memory_order_relaxed);
    return false;
  }
  for (unsigned p = port; p < port + width; ++p) tGranted[p / 64] |= uint64_t{1} << (p % 64);
  return true;
}
#endif

// /dev/port, opened at its first use; -1 when it cannot be.
int DevPort() {
  static std::once_flag opened;
  static int fd = -1;
  std::call_once(opened, [] { fd = ::open("/dev/port", O_RDWR | O_CLOEXEC); });
  return fd;
}

class MachineIoPorts final : public IoPorts {
 public:
  uint8_t In8(uint16_t port) override {
#if WEXLINK_PORT_INSTRUCTIONS
    if (Granted(port, 1)) return inb(port);
#endif
    return static_cast<uint8_t>(DevPortRead(port, 1));
  }
  uint16_t In16(uint16_t port) override {
#if WEXLINK_PORT_INSTRUCTIONS
    if (Granted(port, 2)) return inw(port);
#endif
    return static_cast<uint16_t>(DevPortRead(port, 2));
  }
  uint32_t In32(uint16_t port) override {
#if WEXLINK_PORT_INSTRUCTIONS
    if (Granted(port, 4)) return inl(port);
#endif
    return DevPortRead(port, 4);
  }
  void Out8(uint16_t port, uint8_t value) override {
#if WEXLINK_PORT_INSTRUCTIONS
    if (Granted(port, 1)) return outb(value, port);
#endif
    DevPortWrite(port, value, 1);
  }
  void Out16(uint16_t port, uint16_t value) override {
#if WEXLINK_PORT_INSTRUCTIONS
    if (Granted(port, 2)) return outw(value, port);
#endif
    DevPortWrite(port, value, 2);
  }
  void Out32(uint16_t port, uint32_t value) override {
#if WEXLINK_PORT_INSTRUCTIONS
    if (Granted(port, 4)) return outl(value, port);
#endif
    DevPortWrite(port, value, 4);
  }

 private:
  static uint32_t DevPortRead(uint16_t port, int width) {
    const int fd = DevPort();
    uint8_t bytes[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    if (fd < 0 || pread(fd, bytes, static_cast<std::size_t>(width), port) != width) {
      return width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1u;
    }
    uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
  }
  static void DevPortWrite(uint16_t port, uint32_t value, int width) {
    const int fd = DevPort();
    if (fd < 0) return;
    uint8_t bytes[4];
    for (int i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    if (pwrite(fd, bytes, static_cast<std::size_t>(width), port) < 0) {
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

std::unique_ptr<IoPorts> MakeMachineIoPorts() { return std::make_unique<MachineIoPorts>(); }

std::unique_ptr<IoPorts> MakeMachinePortInstructions() {
#if WEXLINK_PORT_INSTRUCTIONS
  return std::make_unique<PortInstructions>();
#else
  return nullptr;
#endif
}

}  // namespace wexlink::posix
