// The W316 wire protocol as the poll step speaks it: the request frame, the
// reply check and the eight values a reply carries. Nothing here touches the
// serial line; Driver::PollNextModule (poll_cycle.cpp) does.
//
// Request, 6 bytes:  AA 03 <address 1> <address 2> 04 55
// Reply, 22 bytes:   AA <4 bytes not looked at> <8 values, 16 bits each,
//                    little-endian> 55
#pragma once

#include <array>
#include <cstdint>

namespace wexlink {

inline constexpr uint8_t kFrameStart = 0xAA;
inline constexpr uint8_t kFrameEnd = 0x55;

using RequestFrame = std::array<uint8_t, 6>;

// The request to the module at the two address bytes.
constexpr RequestFrame MakeRequestFrame(uint8_t address1, uint8_t address2) {
  return {kFrameStart, 0x03, address1, address2, 0x04, kFrameEnd};
}

// The request frame of a fresh run (module 1, 0).
inline constexpr RequestFrame kInitialRequestFrame = MakeRequestFrame(0x01, 0x00);

inline constexpr int kReplyLength = 22;
inline constexpr int kReplyValuesOffset = 5;
inline constexpr int kReplyValueCount = 8;

// Whether `count` bytes taken in at once are exactly one reply: 22 bytes
// framed by AA ... 55. Anything else, more bytes included, is a miss.
constexpr bool IsGoodReply(const uint8_t* bytes, int32_t count) {
  return count == kReplyLength && bytes[0] == kFrameStart && bytes[kReplyLength - 1] == kFrameEnd;
}

// The eight channel values of a good reply into values[0..7], in channel order.
inline void DecodeReplyValues(const uint8_t* reply, uint16_t* values) {
  const uint8_t* at = reply + kReplyValuesOffset;
  for (int j = 0; j < kReplyValueCount; ++j) {
    values[j] = static_cast<uint16_t>(at[2 * j] | (at[2 * j + 1] << 8));
  }
}

}  // namespace wexlink
