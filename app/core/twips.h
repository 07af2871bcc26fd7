// Places and sizes in the window definitions are in twips (1/1440 inch).
#pragma once

namespace wexmon {

// 15 twips to the pixel at 96 dots per inch.
inline constexpr int kTwipsPerPixel = 15;

// Nearest whole pixel; halves round away from zero.
constexpr int TwipsToPixels(int twips) {
  return twips >= 0 ? (twips + kTwipsPerPixel / 2) / kTwipsPerPixel
                    : -((-twips + kTwipsPerPixel / 2) / kTwipsPerPixel);
}

}  // namespace wexmon
