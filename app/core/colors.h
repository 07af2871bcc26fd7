// Colour values as the window definitions and the handlers hold them: 24 bits,
// red in the low byte, green in the middle byte, blue in the high byte.
#pragma once

#include <cstdint>

namespace wexmon {

using ColorRef = std::uint32_t;

inline constexpr ColorRef kRed = 255;      // 0x0000FF
inline constexpr ColorRef kGreen = 65280;  // 0x00FF00
inline constexpr ColorRef kDarkRed = 64;   // 0x000040, RGB(64, 0, 0)

constexpr ColorRef MakeColorRef(int red, int green, int blue) {
  return static_cast<ColorRef>((red & 0xFF) | ((green & 0xFF) << 8) | ((blue & 0xFF) << 16));
}
constexpr int RedOf(ColorRef c) { return static_cast<int>(c & 0xFFu); }
constexpr int GreenOf(ColorRef c) { return static_cast<int>((c >> 8) & 0xFFu); }
constexpr int BlueOf(ColorRef c) { return static_cast<int>((c >> 16) & 0xFFu); }

}  // namespace wexmon
