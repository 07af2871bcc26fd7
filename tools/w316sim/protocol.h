// W316 wire frames as a module sees them.
//
// Request, host to module, 6 bytes: AA 03 <addr1> <addr2> 04 55.
// Reply, module to host, 22 bytes: AA, four bytes the host does not examine
// (this simulator sends 03 <addr1> <addr2> 10), eight channel values low byte
// first, 55.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace w316sim {

inline constexpr int kChannels = 8;
inline constexpr int kMaxModules = 32;
inline constexpr std::size_t kRequestLength = 6;
inline constexpr std::size_t kReplyLength = 22;
inline constexpr uint8_t kFrameStart = 0xAA;
inline constexpr uint8_t kFrameEnd = 0x55;
inline constexpr uint8_t kRequestCommand = 0x03;
inline constexpr uint8_t kRequestTrailer = 0x04;
inline constexpr uint8_t kReplyInfo = 0x10;

struct Address {
  uint8_t first = 1;
  uint8_t second = 0;
  friend bool operator==(const Address&, const Address&) = default;
};

using ChannelValues = std::array<uint16_t, kChannels>;

// Cuts requests out of the byte stream from the host. Bytes may come in any
// pieces; anything that is not a well-formed request is skipped and counted,
// and the search starts again at the next 0xAA.
class RequestParser {
 public:
  // Appends bytes and returns the address of every request completed by them,
  // in order.
  std::vector<Address> Feed(const uint8_t* data, std::size_t count);
  // Bytes dropped because they did not belong to a request.
  uint64_t garbage() const { return garbage_; }
  // Bytes held back as the possible start of a request.
  std::size_t pending() const { return buffer_.size(); }

 private:
  std::vector<uint8_t> buffer_;
  uint64_t garbage_ = 0;
};

std::array<uint8_t, kRequestLength> MakeRequest(Address address);

// The well-formed 22-byte reply of the module at `address`.
std::array<uint8_t, kReplyLength> MakeReply(Address address, const ChannelValues& values);

// Reshapes a well-formed reply to `length` bytes (1 to 64) for the wrong-length
// fault: a shorter reply loses value bytes before the closing 0x55, a longer
// one gets zero bytes inserted there. A reply of one byte is just 0xAA.
std::vector<uint8_t> ResizeReply(const std::array<uint8_t, kReplyLength>& reply,
                                 std::size_t length);

// "AA 03 01 00 04 55".
std::string Hex(const uint8_t* data, std::size_t count);

// Transmission time of `bytes` bytes at `baud` with 10 bits per byte
// (start bit, 8 data bits, stop bit), in microseconds.
int64_t TransmitMicros(std::size_t bytes, int baud);

}  // namespace w316sim
