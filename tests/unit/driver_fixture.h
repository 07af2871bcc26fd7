// A Driver over the fakes, with a scripted set of modules that answer each
// request at once (so the reply waits in the input queue for the next tick).
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "core/driver.h"
#include "fake_platform.h"

namespace wexlink::testing {

class DriverTest : public ::testing::Test {
 protected:
  using Address = std::pair<uint8_t, uint8_t>;

  // Makes module `index` (default address 01 <index>) answer with `values`.
  void AnswerAs(Address address, std::vector<uint16_t> values) {
    modules_[address] = std::move(values);
    InstallResponder();
  }
  void AnswerModule(int index, uint16_t base) {
    std::vector<uint16_t> values;
    for (int j = 0; j < 8; ++j) values.push_back(static_cast<uint16_t>(base + j));
    AnswerAs({1, static_cast<uint8_t>(index)}, values);
  }
  void Silence(Address address) { modules_.erase(address); }

  void InstallResponder() {
    fake_.serial.onWrite = [this](const std::vector<uint8_t>& request) {
      if (request.size() != 6 || request[0] != 0xAA || request[5] != 0x55) return;
      auto it = modules_.find({request[2], request[3]});
      if (it != modules_.end()) pending_.push_back(MakeReply(it->second));
    };
  }

  // One timer tick. A module answers some milliseconds after its request, so
  // replies to the requests of this tick arrive after the tick has read.
  void Tick(int n = 1) {
    for (int i = 0; i < n; ++i) {
      ASSERT_TRUE(fake_.timer.Fire()) << "timer not running";
      for (const auto& reply : pending_) fake_.serial.Deliver(reply);
      pending_.clear();
    }
  }

  // Initial(1, threshold, 9600) and a start; asserts both succeed.
  void StartSnapshotRun(uint32_t rows, uint32_t channels, int8_t threshold = 5,
                        uint32_t useTable = 0) {
    ASSERT_EQ(driver_.Initial(1, threshold, 9600), 1);
    ASSERT_GT(driver_.StartSnapshot(rows, useTable, channels, -1000), 0);
  }
  void StartContinuousRun(uint32_t buffers, uint32_t rows, uint32_t channels,
                          int8_t threshold = 5) {
    ASSERT_EQ(driver_.Initial(1, threshold, 9600), 1);
    ASSERT_GT(driver_.StartIntr(buffers, rows, 0, channels, -1000), 0);
  }

  std::vector<uint16_t> Snapshot(uint32_t rows) {
    const std::size_t values = std::size_t{driver_.State().ChannelCount} * rows;
    std::vector<uint8_t> bytes(2 * values + 6 + 16, 0xEE);
    EXPECT_EQ(driver_.GetSnapshot(bytes.data(), rows), 1);
    // Nothing beyond the record is written.
    for (std::size_t i = 2 * values + 6; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], 0xEE);
    std::vector<uint16_t> words(values + 1);
    std::memcpy(words.data(), bytes.data(), 2 * values + 2);
    std::memcpy(&lastRowPosition_, bytes.data() + 2 * values + 2, 4);
    return words;
  }

  std::vector<uint16_t> TakeBuffer(bool recent = false) {
    const std::size_t bytes = driver_.State().BufferBytes;
    std::vector<uint8_t> raw(bytes + 16, 0xEE);
    const int32_t result =
        recent ? driver_.ADResultRecent(raw.data()) : driver_.ADResult(raw.data());
    if (result != 1) return {};
    for (std::size_t i = bytes; i < raw.size(); ++i) EXPECT_EQ(raw[i], 0xEE);
    std::vector<uint16_t> words(bytes / 2);
    std::memcpy(words.data(), raw.data(), bytes);
    return words;
  }

  FakePlatform fake_;
  Driver driver_{fake_.platform()};
  std::map<Address, std::vector<uint16_t>> modules_;
  std::vector<std::vector<uint8_t>> pending_;
  int32_t lastRowPosition_ = -99;
};

}  // namespace wexlink::testing
