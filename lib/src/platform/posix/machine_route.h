// How an access to the machine's own I/O ports is carried out on Linux. Every
// access is made whole: a 16- or 32-bit access is one port instruction of that
// width or nothing at all, never a run of byte accesses (hardware whose
// registers must be written whole would take the pieces as separate writes).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "core/platform.h"
#include "platform/posix/granted_ports.h"

namespace wexlink::posix {

// The machine operations that RoutedIoPorts chooses among. The real ones are in
// machine_primitives.cpp, which no test links; the tests give fakes.
class PortPrimitives {
 public:
  virtual ~PortPrimitives() = default;
  // False where the processor has no port instructions at all.
  virtual bool HasInstructions() const = 0;
  // Opens every port to the calling thread (I/O privilege level 3). Needs
  // CAP_SYS_RAWIO; once refused it is not asked again.
  virtual bool OpenAllPorts() = 0;
  // Opens ports [port, port + width) to the calling thread; only ports below
  // kRangeLimit can be opened this way. Needs the same capability.
  virtual bool OpenPortRange(uint16_t port, unsigned width) = 0;
  static constexpr unsigned kRangeLimit = 0x400;
  // The port instruction of that width, on a port opened above or verified by
  // a guarded instruction below.
  virtual uint32_t InstructionIn(uint16_t port, unsigned width) = 0;
  virtual void InstructionOut(uint16_t port, uint32_t value, unsigned width) = 0;
  // The same instructions on a port that is only said to be open: a refusal by
  // the processor is caught instead of ending the process. False, with nothing
  // done, when the port is not open to this process.
  virtual bool GuardedInstructionIn(uint16_t port, unsigned width, uint32_t& value) = 0;
  virtual bool GuardedInstructionOut(uint16_t port, uint32_t value, unsigned width) = 0;
  // One byte through /dev/port, whose kernel handler moves single bytes. In
  // gives false when the device cannot be used; Out then does nothing.
  virtual bool DevPortIn(uint16_t port, uint8_t& value) = 0;
  virtual void DevPortOut(uint16_t port, uint8_t value) = 0;
};

enum class PortPath { kInstructions, kDevPort, kNone };

// Decides, per access, how a machine port is reached:
//  1. inside the range that WEXLINK_GRANTED_PORTS claims (`granted`): the port
//     instruction. The claim is only believed port by port: the first access to
//     each port of it runs guarded, and once the processor refuses one the claim
//     is dropped for good, with one line on standard error;
//  2. the port instruction wherever the process may open the port itself (all
//     ports once the privilege level is raised, else the ports below 0x400 that
//     can be opened one range at a time);
//  3. /dev/port for byte accesses. A wider access that only /dev/port could
//     serve is refused like an absent port: a write does nothing, a read gives
//     all ones.
class RoutedIoPorts final : public WidthIoPorts {
 public:
  explicit RoutedIoPorts(std::unique_ptr<PortPrimitives> machine,
                         std::optional<PortRange> granted = std::nullopt)
      : machine_(std::move(machine)), granted_(granted) {}

  PortPath Route(uint16_t port, unsigned width);

 private:
  // Whether the access lies in a claim not yet found false; `verified` tells
  // whether every port of it has already answered a guarded instruction.
  bool Claimed(uint16_t port, unsigned width, bool& verified) const;
  void MarkVerified(uint16_t port, unsigned width);
  void DropClaim(uint16_t port);
  uint32_t Read(uint16_t port, unsigned width) override;
  void Write(uint16_t port, uint32_t value, unsigned width) override;

  const std::unique_ptr<PortPrimitives> machine_;
  const std::optional<PortRange> granted_;
  std::atomic<bool> claimDropped_{false};
  // One bit per port below kRangeLimit: answered a guarded instruction.
  std::array<std::atomic<uint64_t>, PortPrimitives::kRangeLimit / 64> verified_{};
};

}  // namespace wexlink::posix
