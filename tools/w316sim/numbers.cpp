#include "numbers.h"

#include <charconv>

namespace w316sim {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexDigit(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<uint64_t> ParseUnsigned(std::string_view text, uint64_t min, uint64_t max) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (digit > max || value > (max - digit) / 10) return std::nullopt;  // beyond max; never wraps
    value = value * 10 + digit;
  }
  if (value < min) return std::nullopt;
  return value;
}

std::optional<uint8_t> ParseHexByte(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    text.remove_prefix(2);
  if (text.empty() || text.size() > 2) return std::nullopt;
  int value = 0;
  for (char c : text) {
    const int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + digit;
  }
  return static_cast<uint8_t>(value);
}

std::optional<double> ParseDecimal(std::string_view text, double min, double max) {
  std::size_t digits = 0, dots = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (IsDigit(c)) {
      ++digits;
    } else if (c == '.') {
      ++dots;
    } else if (!(c == '-' && i == 0 && min < 0)) {
      return std::nullopt;
    }
  }
  if (digits == 0 || dots > 1) return std::nullopt;
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (!(value >= min && value <= max)) return std::nullopt;
  return value;
}

}  // namespace w316sim
