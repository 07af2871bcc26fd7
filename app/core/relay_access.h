// Whether the relay button's byte can reach the relay port, and the operator
// told once when it cannot.
//
// The library steps over a port write it cannot make (a write does nothing, as
// on a bus with nothing behind the port) and says so only on standard error,
// which an operator at the desktop never sees. Wexmon asks the question itself
// the first time the relay button is pressed: the library's interface is fixed
// at its 21 functions (the 32-bit DLL's export table cannot grow), so the
// answer comes from a probe of this program's own, one per host.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace wexmon {

// Why a write to `port` from this process cannot reach the port, or nothing
// when it can (or when the library writes a file standing in for the ports).
// Windows: the port instructions refused without a port-access driver. Linux:
// no port grant from wexmon-launcher, no CAP_SYS_RAWIO and no writable
// /dev/port.
std::optional<std::string> RelayPortUnreachable(std::uint16_t port);

// The message for the operator, naming why and what to do on this host.
std::string RelayWarningText(std::uint16_t port, const std::string& reason);

class RelayWarning {
 public:
  using Probe = std::function<std::optional<std::string>(std::uint16_t)>;
  using Show = std::function<void(const std::string&)>;

  RelayWarning(Probe probe, Show show) : probe_(std::move(probe)), show_(std::move(show)) {}

  // After the relay byte was written to `port`: the first call probes and, when
  // the port cannot be reached, shows the message; later calls do nothing.
  void AfterWrite(std::uint16_t port) {
    if (asked_) return;
    asked_ = true;
    if (const auto reason = probe_(port)) show_(RelayWarningText(port, *reason));
  }

 private:
  Probe probe_;
  Show show_;
  bool asked_ = false;
};

}  // namespace wexmon
