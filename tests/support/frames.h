// W316 frames for tests and benchmarks, built here once and written from the
// protocol's description rather than from the library's own protocol.h, so
// that a test built on them checks the library instead of agreeing with it.
//   request (6 bytes):  AA 03 <address 1> <address 2> 04 55
//   reply (22 bytes):   AA 03 <address 1> <address 2> 10 <8 values, 16-bit
//                       little-endian> 55
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wexlink::test_support {

inline std::vector<uint8_t> RequestFrame(uint8_t address1, uint8_t address2) {
  return {0xAA, 0x03, address1, address2, 0x04, 0x55};
}

// The reply of the module at (address1, address2) carrying `values` (the
// first eight; missing ones are 0).
inline std::vector<uint8_t> ReplyFrame(uint8_t address1, uint8_t address2,
                                       const std::vector<uint16_t>& values) {
  std::vector<uint8_t> reply(22, 0);
  reply[0] = 0xAA;
  reply[1] = 0x03;
  reply[2] = address1;
  reply[3] = address2;
  reply[4] = 0x10;
  for (std::size_t j = 0; j < 8 && j < values.size(); ++j) {
    reply[5 + 2 * j] = static_cast<uint8_t>(values[j] & 0xFF);
    reply[6 + 2 * j] = static_cast<uint8_t>(values[j] >> 8);
  }
  reply[21] = 0x55;
  return reply;
}

// Eight values base, base + 1, ..., base + 7.
inline std::vector<uint16_t> ValuesFrom(uint16_t base) {
  std::vector<uint16_t> values;
  for (uint16_t j = 0; j < 8; ++j) values.push_back(static_cast<uint16_t>(base + j));
  return values;
}

}  // namespace wexlink::test_support
