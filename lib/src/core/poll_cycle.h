// What the poll cycle says on the serial line, and the limits of one poll step.
// The step itself is Driver::PollNextModule (poll_cycle.cpp).
#pragma once

#include <array>
#include <cstdint>

namespace wexlink {

// Wire frames. Request: AA 03 <addr1> <addr2> 04 55. Reply: 22 bytes framed by
// AA ... 55, eight little-endian channel values at bytes 5 to 20.
inline constexpr std::array<uint8_t, 6> kInitialRequestFrame{0xAA, 0x03, 0x01, 0x00, 0x04, 0x55};
inline constexpr int kReplyLength = 22;
inline constexpr uint8_t kFrameStart = 0xAA;
inline constexpr uint8_t kFrameEnd = 0x55;
inline constexpr int kReplyValuesOffset = 5;

// Missed-reply counts are held at this ceiling so that an 8-bit count never wraps.
inline constexpr int8_t kMissCountCeiling = 125;

// The most bytes one poll step takes in. A module reply is 22 bytes; anything
// longer is a miss whatever it holds, so a flood of stray bytes is read in
// pieces of this size instead of growing the receive buffer without bound.
inline constexpr int32_t kReadLimit = 64 * 1024;

}  // namespace wexlink
