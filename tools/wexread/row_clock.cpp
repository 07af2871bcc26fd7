#include "row_clock.h"

#include <algorithm>

namespace wexread {

RowClock::RowClock(Duration rowPeriod, unsigned rowsPerBuffer, unsigned bufferCount,
                   std::uint32_t bufferValues, Time runStart)
    : rowPeriod_(rowPeriod),
      rowsPerBuffer_(rowsPerBuffer),
      bufferCount_(bufferCount),
      bufferValues_(bufferValues),
      lastRow_(runStart) {}

RowClock::Placement RowClock::Place(unsigned waitingBefore, Time takenAt, std::uint16_t head,
                                    bool awaited) {
  const Duration span = rowPeriod_ * (rowsPerBuffer_ - 1);
  // Sequence advances beyond the one per buffer; a difference of 0x8000 or
  // more is a head word from before, not an advance.
  const std::uint16_t headAdvance = static_cast<std::uint16_t>(head - expectedHead_);
  const std::uint64_t headDropped =
      headAdvance < 0x8000 ? std::uint64_t{headAdvance} * bufferValues_ : 0;

  std::uint64_t dropped = headDropped;
  if (!gaps_.empty() && gaps_.front().buffersBefore == 0) {
    // Rows due after lastRow_ and before the buffer was freed were dropped.
    const Duration full = gaps_.front().freedAt - lastRow_;
    std::uint64_t due = 0;
    if (full > Duration::zero())
      due =
          static_cast<std::uint64_t>((full.count() + rowPeriod_.count() - 1) / rowPeriod_.count()) -
          1;
    dropped = std::clamp(due, headDropped, headDropped + bufferValues_ - 1);
    gaps_.pop_front();
  }

  Time first = lastRow_ + rowPeriod_ * static_cast<Duration::rep>(dropped + 1);
  if ((awaited && waitingBefore == 1) || first + span > takenAt) first = takenAt - span;
  lastRow_ = first + span;
  expectedHead_ = static_cast<std::uint16_t>(head + 1);

  for (Gap& gap : gaps_) --gap.buffersBefore;
  if (waitingBefore >= bufferCount_) gaps_.push_back({takenAt, waitingBefore - 1});
  dropped_ += dropped;
  return {first, dropped};
}

}  // namespace wexread
