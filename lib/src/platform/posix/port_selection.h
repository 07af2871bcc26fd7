// Which port space the library uses: the file named by WEXLINK_IOSPACE, or the
// machine's own ports.
#pragma once

#include <memory>
#include <mutex>

#include "core/platform.h"
#include "platform/posix/machine_route.h"

namespace wexlink::posix {

// The port space, chosen at the first access and kept from then on: the file
// named by WEXLINK_IOSPACE when that variable is set and not empty (FileIoSpace),
// otherwise the machine's ports as `machine` makes them, routed by RoutedIoPorts
// with the range that WEXLINK_GRANTED_PORTS claims. A malformed claim, or one on
// a machine without port instructions, is ignored with one line on standard
// error. The variables are read with secure_getenv: a process running with more
// privilege than its caller ignores them. Without `machine` (or when it makes
// nothing) there is no port access at all (NoIoPorts).
class SelectedIoPorts final : public ForwardingIoPorts {
 public:
  using MachineFactory = std::unique_ptr<PortPrimitives> (*)();
  explicit SelectedIoPorts(MachineFactory machine) : machine_(machine) {}

 private:
  IoPorts& Target() override;

  MachineFactory machine_;
  std::once_flag chosen_;
  std::unique_ptr<IoPorts> target_;
};

}  // namespace wexlink::posix
