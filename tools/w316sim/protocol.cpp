#include "protocol.h"

#include <algorithm>
#include <cstdio>

namespace w316sim {

std::vector<Address> RequestParser::Feed(const uint8_t* data, std::size_t count) {
  buffer_.insert(buffer_.end(), data, data + count);
  std::vector<Address> requests;
  std::size_t pos = 0;
  while (pos < buffer_.size()) {
    if (buffer_[pos] != kFrameStart) {
      ++garbage_;
      ++pos;
      continue;
    }
    // Check what has arrived of the candidate; a mismatch anywhere rules it out
    // at once, so a lone 0xAA cannot hold up the stream.
    const std::size_t have = std::min(kRequestLength, buffer_.size() - pos);
    const bool bad = (have > 1 && buffer_[pos + 1] != kRequestCommand) ||
                     (have > 4 && buffer_[pos + 4] != kRequestTrailer) ||
                     (have > 5 && buffer_[pos + 5] != kFrameEnd);
    if (bad) {
      ++garbage_;
      ++pos;
      continue;
    }
    if (have < kRequestLength) break;  // wait for the rest
    requests.push_back(Address{buffer_[pos + 2], buffer_[pos + 3]});
    pos += kRequestLength;
  }
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos));
  return requests;
}

std::array<uint8_t, kRequestLength> MakeRequest(Address address) {
  return {kFrameStart, kRequestCommand, address.first, address.second, kRequestTrailer, kFrameEnd};
}

std::array<uint8_t, kReplyLength> MakeReply(Address address, const ChannelValues& values) {
  std::array<uint8_t, kReplyLength> reply{};
  reply[0] = kFrameStart;
  reply[1] = kRequestCommand;
  reply[2] = address.first;
  reply[3] = address.second;
  reply[4] = kReplyInfo;
  for (int j = 0; j < kChannels; ++j) {
    reply[5 + 2 * j] = static_cast<uint8_t>(values[j] & 0xFF);
    reply[6 + 2 * j] = static_cast<uint8_t>(values[j] >> 8);
  }
  reply[kReplyLength - 1] = kFrameEnd;
  return reply;
}

std::vector<uint8_t> ResizeReply(const std::array<uint8_t, kReplyLength>& reply,
                                 std::size_t length) {
  if (length <= 1) return {kFrameStart};
  std::vector<uint8_t> out(reply.begin(), reply.end() - 1);  // without the closing byte
  out.resize(length - 1, 0x00);
  out.push_back(kFrameEnd);
  return out;
}

std::string Hex(const uint8_t* data, std::size_t count) {
  std::string text;
  text.reserve(count * 3);
  char digits[4];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(digits, sizeof digits, i == 0 ? "%02X" : " %02X", data[i]);
    text += digits;
  }
  return text;
}

int64_t TransmitMicros(std::size_t bytes, int baud) {
  if (baud <= 0) return 0;
  return static_cast<int64_t>(bytes) * 10 * 1'000'000 / baud;
}

}  // namespace w316sim
