// Fuzzes the POSIX back end's line-definition parser with arbitrary text.
// Besides not crashing, an accepted definition must
//   - hold settings a line can have (5 to 8 data bits, a known parity and
//     stop-bit count);
//   - read the same in upper and in lower case (keys and letters are
//     case-blind);
//   - round-trip: its settings written back in the key=value form parse to the
//     same settings (that form has no baud-rate abbreviations).
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "platform/posix/line_definition.h"

namespace {

using wexlink::posix::LineSettings;
using wexlink::posix::ParseLineDefinition;
using wexlink::posix::Parity;
using wexlink::posix::StopBits;

char ParityLetter(Parity p) {
  switch (p) {
    case Parity::None: return 'N';
    case Parity::Odd: return 'O';
    case Parity::Even: return 'E';
    case Parity::Mark: return 'M';
    case Parity::Space: return 'S';
  }
  return '?';
}

const char* StopText(StopBits s) {
  switch (s) {
    case StopBits::One: return "1";
    case StopBits::OnePointFive: return "1.5";
    case StopBits::Two: return "2";
  }
  return "?";
}

std::string Recase(std::string_view text, int (*convert)(int)) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(convert(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = ParseLineDefinition(text);
  if (!parsed) return 0;
  const LineSettings& s = *parsed;
  FUZZ_CHECK(s.dataBits >= 5 && s.dataBits <= 8, "data bits %u", s.dataBits);
  FUZZ_CHECK(ParityLetter(s.parity) != '?', "parity %d", static_cast<int>(s.parity));
  FUZZ_CHECK(StopText(s.stopBits)[0] != '?', "stop bits %d", static_cast<int>(s.stopBits));

  FUZZ_CHECK(ParseLineDefinition(Recase(text, ::toupper)) == parsed, "upper case reads differently");
  FUZZ_CHECK(ParseLineDefinition(Recase(text, ::tolower)) == parsed, "lower case reads differently");

  char canonical[96];
  std::snprintf(canonical, sizeof canonical, "baud=%u parity=%c data=%u stop=%s", s.baudRate,
                ParityLetter(s.parity), static_cast<unsigned>(s.dataBits), StopText(s.stopBits));
  const auto again = ParseLineDefinition(canonical);
  FUZZ_CHECK(again.has_value() && *again == s, "\"%s\" does not read back", canonical);
  return 0;
}
