#include "platform/posix/machine_route.h"

#include <cstdio>

namespace wexlink::posix {

PortPath RoutedIoPorts::Route(uint16_t port, unsigned width) {
  if (machine_->OpenAllPorts()) return PortPath::kInstructions;
  if (port + width <= PortPrimitives::kRangeLimit && machine_->OpenPortRange(port, width)) {
    return PortPath::kInstructions;
  }
  return width == 1 ? PortPath::kDevPort : PortPath::kNone;
}

bool RoutedIoPorts::Claimed(uint16_t port, unsigned width, bool& verified) const {
  if (!granted_ || !granted_->Covers(port, width) ||
      claimDropped_.load(std::memory_order_acquire)) {
    return false;
  }
  verified = true;
  for (unsigned p = port; p < port + width; ++p) {
    verified =
        verified && ((verified_[p / 64].load(std::memory_order_acquire) >> (p % 64)) & 1u) != 0;
  }
  return true;
}

void RoutedIoPorts::MarkVerified(uint16_t port, unsigned width) {
  for (unsigned p = port; p < port + width; ++p) {
    verified_[p / 64].fetch_or(uint64_t{1} << (p % 64), std::memory_order_release);
  }
}

void RoutedIoPorts::DropClaim(uint16_t port) {
  if (!claimDropped_.exchange(true, std::memory_order_acq_rel)) {
    std::fprintf(stderr,
                 "wexlink: %s ignored: port %u is not open to this process; the ports are "
                 "reached as without it\n",
                 kGrantedPortsVariable, unsigned{port});
  }
}

uint32_t RoutedIoPorts::Read(uint16_t port, unsigned width) {
  bool verified = false;
  if (Claimed(port, width, verified)) {
    if (verified) return machine_->InstructionIn(port, width);
    uint32_t value = 0;
    if (machine_->GuardedInstructionIn(port, width, value)) {
      MarkVerified(port, width);
      return value;
    }
    DropClaim(port);
  }
  switch (Route(port, width)) {
    case PortPath::kInstructions:
      return machine_->InstructionIn(port, width);
    case PortPath::kDevPort: {
      uint8_t value = 0xFF;
      return machine_->DevPortIn(port, value) ? value : 0xFFu;
    }
    case PortPath::kNone:
      break;
  }
  return AllOnes(width);
}

void RoutedIoPorts::Write(uint16_t port, uint32_t value, unsigned width) {
  bool verified = false;
  if (Claimed(port, width, verified)) {
    if (verified) return machine_->InstructionOut(port, value, width);
    if (machine_->GuardedInstructionOut(port, value, width)) return MarkVerified(port, width);
    DropClaim(port);
  }
  switch (Route(port, width)) {
    case PortPath::kInstructions:
      machine_->InstructionOut(port, value, width);
      break;
    case PortPath::kDevPort:
      machine_->DevPortOut(port, static_cast<uint8_t>(value));
      break;
    case PortPath::kNone:
      break;
  }
}

}  // namespace wexlink::posix
