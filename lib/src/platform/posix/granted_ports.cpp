#include "platform/posix/granted_ports.h"

namespace wexlink::posix {

std::optional<PortRange> ParseGrantedPorts(std::string_view text) {
  const auto number = [](std::string_view digits) -> std::optional<unsigned> {
    if (digits.empty() || digits.size() > 4 || (digits.size() > 1 && digits[0] == '0')) {
      return std::nullopt;
    }
    unsigned value = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > WEXLINK_GRANTED_PORTS_HIGHEST) return std::nullopt;
    return value;
  };
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const auto first = number(text.substr(0, dash));
  const auto last = number(text.substr(dash + 1));
  if (!first || !last || *first > *last) return std::nullopt;
  return PortRange{static_cast<uint16_t>(*first), static_cast<uint16_t>(*last)};
}

}  // namespace wexlink::posix
