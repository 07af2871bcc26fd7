#include "line_definition.h"

#include <cctype>

namespace wexlink::posix {
namespace {

char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A cursor over the definition text.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
  void SkipSpaces() {
    while (Peek() == ' ') ++pos_;
  }
  bool Take(char c) {
    if (AtEnd() || Upper(text_[pos_]) != Upper(c)) return false;
    ++pos_;
    return true;
  }
  // Takes `word` when the text continues with it, in any case.
  bool TakeWord(std::string_view word) {
    if (text_.size() - pos_ < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
      if (Upper(text_[pos_ + i]) != Upper(word[i])) return false;
    }
    pos_ += word.size();
    return true;
  }
  // An unsigned decimal number that fits 32 bits.
  std::optional<uint32_t> Number() {
    uint64_t value = 0;
    std::size_t digits = 0;
    while (IsDigit(Peek())) {
      value = value * 10 + static_cast<uint64_t>(Peek() - '0');
      if (value > UINT32_MAX) return std::nullopt;
      ++pos_;
      ++digits;
    }
    if (digits == 0) return std::nullopt;
    return static_cast<uint32_t>(value);
  }
  bool Contains(char c) const { return text_.find(c, pos_) != std::string_view::npos; }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// The old "mode" abbreviations: the first two digits of a standard rate.
uint32_t ExpandBaudAbbreviation(uint32_t baud) {
  switch (baud) {
    case 11:
    case 30:
    case 60:
      return baud * 10;
    case 12:
    case 24:
    case 48:
    case 96:
      return baud * 100;
    case 19:
      return 19200;
    default:
      return baud;
  }
}

std::optional<Parity> ParseParity(Cursor& c) {
  switch (Upper(c.Peek())) {
    case 'N':
      c.Take('N');
      return Parity::None;
    case 'O':
      c.Take('O');
      return Parity::Odd;
    case 'E':
      c.Take('E');
      return Parity::Even;
    case 'M':
      c.Take('M');
      return Parity::Mark;
    case 'S':
      c.Take('S');
      return Parity::Space;
    default:
      return std::nullopt;
  }
}

std::optional<uint8_t> ParseDataBits(Cursor& c) {
  const auto bits = c.Number();
  if (!bits || *bits < 5 || *bits > 8) return std::nullopt;
  return static_cast<uint8_t>(*bits);
}

std::optional<StopBits> ParseStopBits(Cursor& c) {
  if (c.TakeWord("1.5")) return StopBits::OnePointFive;
  const auto bits = c.Number();
  if (!bits) return std::nullopt;
  if (*bits == 1) return StopBits::One;
  if (*bits == 2) return StopBits::Two;
  return std::nullopt;
}

// Which of on, off, hs and tg a switch accepts.
enum Modes : unsigned { kOnOff = 0, kWithHandshake = 1, kWithToggle = 2 };

bool ParseSwitch(Cursor& c, unsigned modes) {
  if (c.TakeWord("off") || c.TakeWord("on")) return true;
  if ((modes & kWithHandshake) != 0 && c.TakeWord("hs")) return true;
  if ((modes & kWithToggle) != 0 && c.TakeWord("tg")) return true;
  return false;
}

// An optional "COMn:" in front of the settings; its port number is not used.
bool SkipDevicePrefix(Cursor& c) {
  if (!c.TakeWord("COM")) return c.Peek() != ' ';
  if (c.Peek() < '1' || c.Peek() > '9') return false;
  while (IsDigit(c.Peek())) c.Take(c.Peek());
  if (c.Peek() != ':' && c.Peek() != ' ') return false;
  c.SkipSpaces();
  if (c.Take(':')) c.SkipSpaces();
  return true;
}

void DefaultStopBits(LineSettings& s, bool stopGiven) {
  if (!stopGiven) s.stopBits = s.baudRate == 110 ? StopBits::Two : StopBits::One;
}

// baud[,parity[,data[,stop[,flow]]]]
std::optional<LineSettings> ParseCommaForm(Cursor& c) {
  LineSettings s;
  bool stopGiven = false;
  const auto baud = c.Number();
  if (!baud) return std::nullopt;
  s.baudRate = ExpandBaudAbbreviation(*baud);

  // Each field after the baud rate is optional, but only from the end.
  auto nextField = [&c]() -> std::optional<bool> {
    c.SkipSpaces();
    if (c.AtEnd()) return false;
    if (!c.Take(',')) return std::nullopt;
    c.SkipSpaces();
    return true;
  };
  for (int field = 0; field < 4; ++field) {
    const auto more = nextField();
    if (!more) return std::nullopt;
    if (!*more) break;
    switch (field) {
      case 0: {
        const auto parity = ParseParity(c);
        if (!parity) return std::nullopt;
        s.parity = *parity;
        break;
      }
      case 1: {
        const auto data = ParseDataBits(c);
        if (!data) return std::nullopt;
        s.dataBits = *data;
        break;
      }
      case 2: {
        const auto stop = ParseStopBits(c);
        if (!stop) return std::nullopt;
        s.stopBits = *stop;
        stopGiven = true;
        break;
      }
      default:
        // Flow control: X (XON/XOFF) or P (hardware); checked, not applied.
        if (!c.Take('X') && !c.Take('P')) return std::nullopt;
        break;
    }
  }
  c.SkipSpaces();
  if (!c.AtEnd()) return std::nullopt;
  DefaultStopBits(s, stopGiven);
  return s;
}

// key=value key=value ...
std::optional<LineSettings> ParseKeywordForm(Cursor& c) {
  LineSettings s;
  bool stopGiven = false;
  for (;;) {
    c.SkipSpaces();
    if (c.AtEnd()) break;
    bool ok = false;
    if (c.TakeWord("baud=")) {
      const auto baud = c.Number();
      if ((ok = baud.has_value())) s.baudRate = *baud;
    } else if (c.TakeWord("parity=")) {
      const auto parity = ParseParity(c);
      if ((ok = parity.has_value())) s.parity = *parity;
    } else if (c.TakeWord("data=")) {
      const auto data = ParseDataBits(c);
      if ((ok = data.has_value())) s.dataBits = *data;
    } else if (c.TakeWord("stop=")) {
      const auto stop = ParseStopBits(c);
      if ((ok = stop.has_value())) {
        s.stopBits = *stop;
        stopGiven = true;
      }
    } else if (c.TakeWord("to=") || c.TakeWord("xon=") || c.TakeWord("odsr=") ||
               c.TakeWord("octs=") || c.TakeWord("idsr=")) {
      ok = ParseSwitch(c, kOnOff);
    } else if (c.TakeWord("dtr=")) {
      ok = ParseSwitch(c, kWithHandshake);
    } else if (c.TakeWord("rts=")) {
      ok = ParseSwitch(c, kWithHandshake | kWithToggle);
    }
    // A value ends at a space or at the end of the text.
    if (!ok || (!c.AtEnd() && c.Peek() != ' ')) return std::nullopt;
  }
  DefaultStopBits(s, stopGiven);
  return s;
}

}  // namespace

std::optional<LineSettings> ParseLineDefinition(std::string_view definition) {
  Cursor c(definition);
  if (!SkipDevicePrefix(c)) return std::nullopt;
  // A comma makes it the comma form, as it does for Windows; so does a bare
  // baud rate, which no keyword form can start with.
  return c.Contains(',') || IsDigit(c.Peek()) ? ParseCommaForm(c) : ParseKeywordForm(c);
}

}  // namespace wexlink::posix
