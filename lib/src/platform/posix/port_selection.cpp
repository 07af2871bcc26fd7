#include "platform/posix/port_selection.h"

#include <cstdio>
#include <cstdlib>

#include "platform/posix/granted_ports.h"
#include "platform/posix/io_space_file.h"

namespace wexlink::posix {

IoPorts& SelectedIoPorts::Target() {
  std::call_once(chosen_, [this] {
    const char* path = secure_getenv(kIoSpaceVariable);
    if (path != nullptr && path[0] != '\0') {
      target_ = std::make_unique<FileIoSpace>(path);
      return;
    }
    std::unique_ptr<PortPrimitives> machine = machine_ != nullptr ? machine_() : nullptr;
    if (!machine) {
      target_ = std::make_unique<NoIoPorts>();
      return;
    }
    std::optional<PortRange> granted;
    const char* claim = secure_getenv(kGrantedPortsVariable);
    if (claim != nullptr && claim[0] != '\0') {
      granted = ParseGrantedPorts(claim);
      if (!granted || !machine->HasInstructions()) {
        // The value is not echoed: it may hold anything.
        std::fprintf(stderr, "wexlink: %s ignored: %s\n", kGrantedPortsVariable,
                     granted ? "no port instructions on this machine"
                             : "not of the form FIRST-LAST with ports 0 to 1023");
        granted.reset();
      }
    }
    target_ = std::make_unique<RoutedIoPorts>(std::move(machine), granted);
  });
  return *target_;
}

}  // namespace wexlink::posix
