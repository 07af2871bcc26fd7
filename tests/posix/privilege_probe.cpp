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

#include "platform/posix/ioports_posix.h"
#include "platform/posix/serial_posix.h"

namespace {

using wexlink::IoPorts;

std::string gWay;  // "instructions" or "machine", for the last access

template <const char* kName>
class Recorder final : public IoPorts {
 public:
  uint8_t In8(uint16_t) override { return Note(); }
  uint16_t In16(uint16_t) override { return Note(); }
  uint32_t In32(uint16_t) override { return Note(); }
  void Out8(uint16_t, uint8_t) override { Note(); }
  void Out16(uint16_t, uint16_t) override { Note(); }
  void Out32(uint16_t, uint32_t) override { Note(); }

 private:
  static uint8_t Note() {
    gWay = kName;
    return 0;
  }
};
constexpr char kInstructions[] = "instructions";
constexpr char kMachine[] = "machine";

std::unique_ptr<IoPorts> RecordingInstructions() {
  return std::make_unique<Recorder<kInstructions>>();
}
std::unique_ptr<IoPorts> RecordingMachine() { return std::make_unique<Recorder<kMachine>>(); }

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
  const char* granted = std::getenv(wexlink::posix::kGrantedPortsVariable);
  std::printf("granted %s\n", granted != nullptr ? granted : "-");
  const char* marker = std::getenv("PROBE_MARKER");
  std::printf("marker %s\n", marker != nullptr ? marker : "-");
  std::printf("com1 %s\n", wexlink::posix::SerialDevicePath("COM1:").value_or("?").c_str());
  wexlink::posix::SelectedIoPorts ports(&RecordingMachine, &RecordingInstructions);
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
