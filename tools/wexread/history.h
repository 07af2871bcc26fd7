// What the web page shows: the rows of the last six hours in a ring of fixed
// size, allocated once at the start, and the text of a row for the page.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "readings.h"

namespace wexread {

constexpr std::chrono::hours kHistorySpan{6};

class History {
 public:
  // Room for every row of `kHistorySpan` at one row per `rowPeriod`.
  // The rows' text comes in `layout`'s unit, calibrated (null: Celsius as read).
  History(unsigned channels, std::chrono::milliseconds rowPeriod,
          const RunLayout* layout = nullptr);

  std::size_t capacity() const { return capacity_; }
  std::size_t bytes() const { return times_.size() * sizeof(std::int64_t) + values_.size() * 2; }

  // Keeps a copy of the row, overwriting the oldest once the ring is full.
  void Add(std::int64_t utcMs, const std::uint16_t* values);

  // The rows stored at or after `sinceUtcMs`, oldest first, as a JSON array of
  // RowJson objects.
  std::string JsonSince(std::int64_t sinceUtcMs) const;

 private:
  unsigned channels_;
  const RunLayout* layout_;
  std::size_t capacity_;
  mutable std::mutex mutex_;
  std::vector<std::int64_t> times_;
  std::vector<std::uint16_t> values_;
  std::size_t next_ = 0;  // where the next row goes
  std::size_t size_ = 0;
};

// {"t":1796652851093,"up":[1,0],"c":[20.0,...,null,...]}: the row's time in
// milliseconds since the epoch, each module answering (1) or not, and every
// channel in degrees Celsius (in `layout`'s unit and calibrated, when given),
// null where it has no valid reading.
void AppendRowJson(std::string& out, std::int64_t utcMs, const std::uint16_t* values,
                   unsigned channels, const RunLayout* layout = nullptr);

}  // namespace wexread
