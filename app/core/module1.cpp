#include "module1.h"

#include <array>
#include <string_view>

#include "texts.h"

namespace wexmon {
namespace {

constexpr std::int32_t kMissThreshold = 5;
constexpr std::int32_t kBaudRate = 9600;
constexpr std::uint32_t kSnapshotBuffers = 1;
constexpr std::uint32_t kSnapshotRows = 200;
constexpr std::uint32_t kAddressTableOff = 0;
constexpr std::int32_t kPeriodSetting = -1000;  // one tick every 1000 ms

}  // namespace

bool CheckDriver(CardFunctions& card) {
  // 32 spaces and a terminating zero: the library writes its zero-terminated
  // model name at the start; what follows the terminator stays spaces.
  std::array<char, 33> name{};
  name.fill(' ');
  name[32] = '\0';
  std::int32_t channelLimit = 0;
  std::int32_t constant1 = 0;
  std::int32_t constant10a = 0;
  std::int32_t constant10b = 0;
  float halfSpan = 0.0f;
  float codeSpan = 0.0f;
  std::int32_t constant0 = 0;
  card.ConfigInfo(name.data(), &channelLimit, &constant1, &constant10a, &constant10b, &halfSpan,
                  &codeSpan, &constant0);
  const std::string_view text(name.data(), 32);
  return text.substr(0, text::kModelName.size()) == text::kModelName;
}

std::int32_t InitDriver(CardFunctions& card, std::int16_t& comPort) {
  return card.Initial(static_cast<std::uint16_t>(comPort), kMissThreshold, kBaudRate, 0);
}

std::int32_t StartAcquisition(CardFunctions& card, std::int16_t& numChannels) {
  return card.StartSnapshot(kSnapshotBuffers, kSnapshotRows, kAddressTableOff,
                            static_cast<std::uint16_t>(numChannels), kPeriodSetting, 0, 0, 0);
}

}  // namespace wexmon
