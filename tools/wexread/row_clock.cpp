#include "row_clock.h"

#include <algorithm>

namespace wexread {

RingRows::Update RingRows::Advance(std::uint16_t pass, std::int32_t newestPosition) {
  const std::uint64_t r = ringRows_;
  const auto position = static_cast<std::uint64_t>(
      std::clamp<std::int64_t>(newestPosition, 0, static_cast<std::int64_t>(r) - 1));
  // The full pass count: the one at or after the last read's whose low 16
  // bits are `pass`.
  const std::uint64_t lastPass = stored_ / r;
  const std::uint64_t fullPass =
      lastPass + static_cast<std::uint16_t>(pass - static_cast<std::uint16_t>(lastPass));
  const std::uint64_t stored = std::max(stored_, fullPass * r + (position + 1) % r);

  // Rows to write: after the last read, after the first, and still in the ring.
  const std::uint64_t wanted = std::max<std::uint64_t>(stored_ + 1, 2);
  const std::uint64_t oldestHeld = stored >= r ? stored - r + 1 : 1;
  const std::uint64_t dropped = oldestHeld > wanted ? oldestHeld - wanted : 0;
  stored_ = stored;
  dropped_ += dropped;
  return {stored, std::max(wanted, oldestHeld), dropped};
}

bool RowSchedule::Observe(Time before, std::uint64_t stored) {
  if (before <= start_) return false;
  // Ticks whose deadlines had passed; the newest two may still be on their way.
  const auto due = static_cast<std::uint64_t>((before - start_) / tick_);
  // The ticks run at most: row stored + 1 was not there yet.
  const std::uint64_t ran = (stored + 1) * modules_ - 1;
  if (due < ran + 2 + skippedTicks_ + 1) return false;
  skippedTicks_ = due - ran - 2;
  return true;
}

}  // namespace wexread
