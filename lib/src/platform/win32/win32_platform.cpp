// The Windows back end: serial port, multimedia timer, window messages and the
// I/O ports (the processor's, or the file that WEXLINK_IOSPACE names).
#include <windows.h>

#include "core/platform.h"
#include "win32_ioports.h"
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

}  // namespace
}  // namespace win32

Platform& DefaultPlatform() {
  static win32::Win32Serial serial;
  static win32::MultimediaTimer timer;
  static win32::WindowPoster poster;
  static win32::SelectedIoPorts ports;
  static Platform platform{serial, timer, poster, ports};
  return platform;
}

}  // namespace wexlink
