// The Windows back end: serial port, multimedia timer, window messages and the
// processor's I/O ports.
#include <windows.h>

#include "core/platform.h"
#include "win32_serial.h"
#include "win32_timer.h"

namespace wexlink {
namespace win32 {
namespace {

class WindowPoster final : public MessagePoster {
 public:
  void Post(intptr_t window, uint32_t message, uint32_t wParam, uint32_t lParam) override {
    // Never waits for the receiver; a message that cannot be queued is dropped.
    PostMessageA(reinterpret_cast<HWND>(window), message, static_cast<WPARAM>(wParam),
                 static_cast<LPARAM>(lParam));
  }
};

// Plain in and out instructions. On the NT family they run only where a
// port-access driver has opened the ports to user mode; elsewhere the
// processor raises a privileged-instruction exception in the caller.
class X86Ports final : public IoPorts {
 public:
  uint8_t In8(uint16_t port) override {
    uint8_t value;
    __asm__ __volatile__("inb %w1, %b0" : "=a"(value) : "Nd"(port));
    return value;
  }
  uint16_t In16(uint16_t port) override {
    uint16_t value;
    __asm__ __volatile__("inw %w1, %w0" : "=a"(value) : "Nd"(port));
    return value;
  }
  uint32_t In32(uint16_t port) override {
    uint32_t value;
    __asm__ __volatile__("inl %w1, %0" : "=a"(value) : "Nd"(port));
    return value;
  }
  void Out8(uint16_t port, uint8_t value) override {
    __asm__ __volatile__("outb %b0, %w1" : : "a"(value), "Nd"(port));
  }
  void Out16(uint16_t port, uint16_t value) override {
    __asm__ __volatile__("outw %w0, %w1" : : "a"(value), "Nd"(port));
  }
  void Out32(uint16_t port, uint32_t value) override {
    __asm__ __volatile__("outl %0, %w1" : : "a"(value), "Nd"(port));
  }
};

}  // namespace
}  // namespace win32

Platform& DefaultPlatform() {
  static win32::Win32Serial serial;
  static win32::MultimediaTimer timer;
  static win32::WindowPoster poster;
  static win32::X86Ports ports;
  static Platform platform{serial, timer, poster, ports};
  return platform;
}

}  // namespace wexlink
