// The alarms' actions on Windows: neither is available yet. Rules with
// on_alarm programs are refused at the start with a line that says so; rules
// with relays still raise and clear, and the start says that the relays stay
// untouched.
#include <stdexcept>

#include "alarms.h"
#include "wexlink.h"

namespace wexread {

HookRunner::HookRunner(std::size_t, std::chrono::milliseconds timeLimit) : timeLimit_(timeLimit) {
  throw std::invalid_argument(
      "on_alarm: running a program at an alarm is not available on Windows; "
      "the alarm lines, /metrics and the web page still show every change");
}

HookRunner::~HookRunner() = default;  // never constructed

void HookRunner::Run(std::size_t, std::vector<std::string>, std::vector<std::string>) {}
void HookRunner::Start(Slot&, Job) {}
void HookRunner::Loop() {}

bool RelayWriter::PortAccess() { return false; }

std::string RelayWriter::NoAccessNote() {
  return "wexread: relay actions are off: writing the relay port (port 256) is not available "
         "on Windows\n";
}

}  // namespace wexread
