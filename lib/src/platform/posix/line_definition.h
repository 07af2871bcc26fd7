// Line definitions in the two forms of the Windows "mode" syntax that callers
// of the card interface know: "9600,N,8,1" and "baud=9600 parity=N data=8 stop=1".
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace wexlink::posix {

enum class Parity : uint8_t { None, Odd, Even, Mark, Space };
enum class StopBits : uint8_t { One, OnePointFive, Two };

struct LineSettings {
  uint32_t baudRate = 9600;
  Parity parity = Parity::None;
  uint8_t dataBits = 8;
  StopBits stopBits = StopBits::One;
  bool operator==(const LineSettings&) const = default;
};

// Parses a line definition. Accepted:
//
//   [COMn[ ][:]]baud[,parity[,data[,stop[,flow]]]]
//     Spaces around the commas are allowed. The two-digit abbreviations 11, 30,
//     60, 12, 24, 48, 96 and 19 stand for 110 ... 19200 baud. Parity is one of
//     N, O, E, M, S; data bits 5 to 8; stop bits 1, 1.5 or 2; flow X or P.
//   [COMn[ ][:]]key=value[ key=value...]
//     Keys (any case, any order): baud, parity, data, stop, to, xon, odsr, octs,
//     dtr, rts, idsr. Pairs are separated by spaces, with no space around '='.
//
// A setting that is not named takes the link's default: 9600 baud, no parity,
// 8 data bits, 1 stop bit (2 stop bits at 110 baud). The timeout and
// flow-control settings are checked for their syntax only: the port always runs
// with no flow control and never-waiting reads.
//
// Returns nothing for a definition Windows would reject as well (a misspelt
// key, data bits outside 5 to 8, stop bits 0 or 3, text after the last field).
std::optional<LineSettings> ParseLineDefinition(std::string_view definition);

}  // namespace wexlink::posix
