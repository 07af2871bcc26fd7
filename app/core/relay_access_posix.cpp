// The relay port probe on Linux. The library reaches a port through, in order:
// the file WEXLINK_IOSPACE names; the ports wexmon-launcher opened to this
// process (announced in WEXLINK_GRANTED_PORTS); the port instructions with
// CAP_SYS_RAWIO; /dev/port. Wexmon itself never holds a capability, so the
// launcher's grant is the way an operator's Wexmon reaches the relays.
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "relay_access.h"

namespace wexmon {
namespace {

bool Set(const char* name) {
  const char* value = secure_getenv(name);
  return value != nullptr && value[0] != '\0';
}

// "FIRST-LAST" covering the port (the launcher's format).
bool GrantCovers(std::uint16_t port) {
  const char* value = secure_getenv("WEXLINK_GRANTED_PORTS");
  if (value == nullptr) return false;
  const std::string_view text = value;
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos) return false;
  unsigned first = 0, last = 0;
  const auto a = std::from_chars(text.data(), text.data() + dash, first);
  const auto b = std::from_chars(text.data() + dash + 1, text.data() + text.size(), last);
  return a.ec == std::errc() && a.ptr == text.data() + dash && b.ec == std::errc() &&
         b.ptr == text.data() + text.size() && first <= port && port <= last;
}

// CAP_SYS_RAWIO (bit 17) in the effective set.
bool HasRawIo() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) != 0) continue;
    const unsigned long long set = std::strtoull(line.c_str() + 7, nullptr, 16);
    return (set >> 17) & 1U;
  }
  return false;
}

}  // namespace

std::optional<std::string> RelayPortUnreachable(std::uint16_t port) {
  if (Set("WEXLINK_IOSPACE")) return std::nullopt;
  if (GrantCovers(port)) return std::nullopt;
  if (HasRawIo()) return std::nullopt;
  if (faccessat(AT_FDCWD, "/dev/port", W_OK, AT_EACCESS) == 0) return std::nullopt;
  return std::string("this program has no port access");
}

std::string RelayWarningText(std::uint16_t port, const std::string& reason) {
  return "The relay outputs cannot reach I/O port " + std::to_string(port) + ": " + reason +
         ".\n\nStart Wexmon through wexmon-launcher, which opens the relay port to it.\n\n"
         "The relay indicators still change; the outputs do not.";
}

}  // namespace wexmon
