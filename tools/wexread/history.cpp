#include "history.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace wexread {

History::History(unsigned channels, std::chrono::milliseconds rowPeriod, const RunLayout* layout)
    : channels_(channels),
      layout_(layout),
      capacity_(static_cast<std::size_t>(std::chrono::milliseconds(kHistorySpan) /
                                             std::max(rowPeriod, std::chrono::milliseconds(1)) +
                                         1)),
      times_(capacity_),
      values_(capacity_ * channels) {}

void History::Add(std::int64_t utcMs, const std::uint16_t* values) {
  std::lock_guard lock(mutex_);
  times_[next_] = utcMs;
  std::copy(values, values + channels_,
            values_.begin() + static_cast<std::ptrdiff_t>(next_ * channels_));
  next_ = (next_ + 1) % capacity_;
  size_ = std::min(size_ + 1, capacity_);
}

std::string History::JsonSince(std::int64_t sinceUtcMs) const {
  // Copied out under the lock, formatted outside it: the reader adding rows
  // waits for a copy at most, never for the text.
  std::vector<std::int64_t> times;
  std::vector<std::uint16_t> values;
  {
    std::lock_guard lock(mutex_);
    const std::size_t oldest = (next_ + capacity_ - size_) % capacity_;
    for (std::size_t i = 0; i < size_; ++i) {
      const std::size_t slot = (oldest + i) % capacity_;
      if (times_[slot] < sinceUtcMs) continue;
      times.push_back(times_[slot]);
      const auto first = values_.begin() + static_cast<std::ptrdiff_t>(slot * channels_);
      values.insert(values.end(), first, first + channels_);
    }
  }
  std::string out = "[";
  out.reserve(times.size() * (16 + 8 * channels_) + 2);
  for (std::size_t i = 0; i < times.size(); ++i) {
    if (i != 0) out += ',';
    AppendRowJson(out, times[i], values.data() + i * channels_, channels_, layout_);
  }
  out += ']';
  return out;
}

void AppendRowJson(std::string& out, std::int64_t utcMs, const std::uint16_t* values,
                   unsigned channels, const RunLayout* layout) {
  static const RunLayout kCelsius;
  std::vector<bool> up;
  auto upList = nlohmann::ordered_json::array();
  for (unsigned k = 0; k < channels / kChannelsPerModule; ++k) {
    up.push_back(ModuleAnswering(values + k * kChannelsPerModule));
    upList.push_back(up.back() ? 1 : 0);
  }
  auto c = nlohmann::ordered_json::array();
  for (unsigned i = 0; i < channels; ++i) {
    const auto value = ChannelValue(layout != nullptr ? *layout : kCelsius, i, values[i]);
    if (up[i / kChannelsPerModule] && value)
      c.push_back(Rounded(*value));
    else
      c.push_back(nullptr);
  }
  nlohmann::ordered_json row;
  row["t"] = utcMs;
  row["up"] = std::move(upList);
  row["c"] = std::move(c);
  out += row.dump();
}

}  // namespace wexread
