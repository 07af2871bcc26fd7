// How an access to the machine's own I/O ports is carried out on Linux. Every
// access is made whole: a 16- or 32-bit access is one port instruction of that
// width or nothing at all, never a run of byte accesses (hardware whose
// registers must be written whole would take the pieces as separate writes).
#pragma once

#include <cstdint>
#include <memory>

#include "core/platform.h"

namespace wexlink::posix {

// The machine operations that RoutedIoPorts chooses among. The real ones are in
// ioports_machine.cpp, which no test links; the tests give fakes.
class PortPrimitives {
 public:
  virtual ~PortPrimitives() = default;
  // Opens every port to the calling thread (I/O privilege level 3). Needs
  // CAP_SYS_RAWIO; once refused it is not asked again.
  virtual bool OpenAllPorts() = 0;
  // Opens ports [port, port + width) to the calling thread; only ports below
  // kRangeLimit can be opened this way. Needs the same capability.
  virtual bool OpenPortRange(uint16_t port, unsigned width) = 0;
  static constexpr unsigned kRangeLimit = 0x400;
  // The port instruction of that width, on a port opened above.
  virtual uint32_t InstructionIn(uint16_t port, unsigned width) = 0;
  virtual void InstructionOut(uint16_t port, uint32_t value, unsigned width) = 0;
  // One byte through /dev/port, whose kernel handler moves single bytes. In
  // gives false when the device cannot be used; Out then does nothing.
  virtual bool DevPortIn(uint16_t port, uint8_t& value) = 0;
  virtual void DevPortOut(uint16_t port, uint8_t value) = 0;
};

enum class PortPath { kInstructions, kDevPort, kNone };

// The machine's ports: the port instructions wherever the process may use them
// (all ports once the privilege level is raised, else the ports below 0x400
// that can be opened one range at a time), otherwise /dev/port for byte
// accesses. A wider access that only /dev/port could serve is refused like an
// absent port: a write does nothing, a read gives all ones.
class RoutedIoPorts final : public WidthIoPorts {
 public:
  explicit RoutedIoPorts(std::unique_ptr<PortPrimitives> machine) : machine_(std::move(machine)) {}

  PortPath Route(uint16_t port, unsigned width) {
    if (machine_->OpenAllPorts()) return PortPath::kInstructions;
    if (port + width <= PortPrimitives::kRangeLimit && machine_->OpenPortRange(port, width)) {
      return PortPath::kInstructions;
    }
    return width == 1 ? PortPath::kDevPort : PortPath::kNone;
  }

 private:
  uint32_t Read(uint16_t port, int bytes) override {
    const auto width = static_cast<unsigned>(bytes);
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
    return width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1u;
  }

  void Write(uint16_t port, uint32_t value, int bytes) override {
    const auto width = static_cast<unsigned>(bytes);
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

  const std::unique_ptr<PortPrimitives> machine_;
};

}  // namespace wexlink::posix
