// A back end with no devices: the serial port never opens, the timer never
// starts, notifications and port writes go nowhere, port reads give all ones.
// Used where no real back end exists for the target.
#include "core/platform.h"

namespace wexlink {
namespace {

class NullSerial final : public SerialDevice {
 public:
  bool Open(const char*, const char*) override { return false; }
  void Close() override {}
  void QueryQueues(int32_t&, int32_t&) override {}
  int32_t Write(const uint8_t*, int32_t) override { return 0; }
  int32_t Read(uint8_t*, int32_t) override { return 0; }
};

class NullTimer final : public PeriodicTimer {
 public:
  bool Start(uint32_t, uint32_t, Callback, void*) override { return false; }
  void Kill() override {}
};

class NullPoster final : public MessagePoster {
 public:
  void Post(intptr_t, uint32_t, uint32_t, uint32_t) override {}
};

}  // namespace

Platform& DefaultPlatform() {
  static NullSerial serial;
  static NullTimer timer;
  static NullPoster poster;
  static NoIoPorts ports;
  static Platform platform{serial, timer, poster, ports};
  return platform;
}

}  // namespace wexlink
