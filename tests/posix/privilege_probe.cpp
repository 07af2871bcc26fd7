// Stands in for Wexmon in the privilege tests: reports, one fact a line, what
// the process was given (capability sets, secure mode, arguments) and what the
// library's back end makes of the environment (serial device, port space). The
// machine's ports are fakes that only record which way an access went.
#include <sys/auxv.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "wexlink_granted_ports.h"
#include "platform/posix/port_selection.h"
#include "platform/posix/serial_posix.h"

namespace {

using wexlink::posix::PortPrimitives;

std::string gWay;  // "instructions" or "machine", for the last access

// The machine: every port instruction is taken (as on a port the launcher
// opened), /dev/port stands for the way without a grant; nothing is opened.
class Recorder final : public PortPrimitives {
 public:
  bool HasInstructions() const override { return true; }
  bool OpenAllPorts() override { return false; }
  bool OpenPortRange(uint16_t, unsigned) override { return false; }
  uint32_t InstructionIn(uint16_t, unsigned) override { return Note("instructions"); }
  void InstructionOut(uint16_t, uint32_t, unsigned) override { Note("instructions"); }
  bool GuardedInstructionIn(uint16_t, unsigned, uint32_t& value) override {
    value = Note("instructions");
    return true;
  }
  bool GuardedInstructionOut(uint16_t, uint32_t, unsigned) override {
    Note("instructions");
    return true;
  }
  bool DevPortIn(uint16_t, uint8_t& value) override {
    value = static_cast<uint8_t>(Note("machine"));
    return true;
  }
  void DevPortOut(uint16_t, uint8_t) override { Note("machine"); }

 private:
  static uint32_t Note(const char* way) {
    gWay = way;
    return 0;
  }
};

std::unique_ptr<PortPrimitives> RecordingMachine() { return std::make_unique<Recorder>(); }

}  // namespace

int main(int argc, char* argv[]) {
  std::ifstream status("/proc/self/status");
  std::string caps;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Cap", 0) == 0 || line.rfind("NoNewPrivs", 0) == 0) {
      caps += " " + line.substr(0, line.find(':')) + "=" +
              line.substr(line.find_first_not_of(" \t", line.find(':') + 1));
    }
  }
  std::printf("caps%s\n", caps.c_str());
  char exe[4096] = {};
  std::printf("exe %s\n", readlink("/proc/self/exe", exe, sizeof exe - 1) > 0 ? exe : "?");
  std::printf("secure %lu\n", getauxval(AT_SECURE));
  const char* granted = std::getenv(WEXLINK_GRANTED_PORTS_VARIABLE);
  std::printf("granted %s\n", granted != nullptr ? granted : "-");
  const char* marker = std::getenv("PROBE_MARKER");
  std::printf("marker %s\n", marker != nullptr ? marker : "-");
  std::printf("com1 %s\n", wexlink::posix::SerialDevicePath("COM1:").value_or("?").c_str());
  wexlink::posix::SelectedIoPorts ports(&RecordingMachine);
  for (const uint16_t port : {uint16_t{256}, uint16_t{257}}) {
    gWay = "file";
    ports.Out8(port, 0x5A);
    std::printf("port%u %s\n", unsigned{port}, gWay.c_str());
  }
  std::string args;
  for (int i = 1; i < argc; ++i) args += std::string(i > 1 ? "|" : "") + argv[i];
  std::printf("args %s\n", args.c_str());
  return 0;
}
