// Row times and dropped rows as wexread works them out from what the reader
// sees. An end-to-end run cannot make the library's ring overflow on demand,
// so the cases are played here with the reads and times a reader would see.
#include "row_clock.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using wexread::RowClock;

// 8 channels, 5 rows per buffer: 40 values; one row a second.
constexpr std::uint32_t kBufferValues = 40;
const RowClock::Time kStart{};

TEST(RowClock, BuffersReadInTimeEndWhenTaken) {
  RowClock clock(1s, 5, 4, kBufferValues, kStart);
  auto p = clock.Place(1, kStart + 5s + 3ms, 0, true);
  EXPECT_EQ(p.firstRow, kStart + 1s + 3ms);
  EXPECT_EQ(p.dropped, 0u);
  p = clock.Place(1, kStart + 10s + 1ms, 1, true);
  EXPECT_EQ(p.firstRow, kStart + 6s + 1ms);
  // Found waiting rather than awaited: it follows on from the one before.
  p = clock.Place(1, kStart + 17s, 2, false);
  EXPECT_EQ(p.firstRow, kStart + 11s + 1ms);
  EXPECT_EQ(clock.dropped(), 0u);
}

// A reader stalled while the process ran: the ring (2 buffers) filled at 15 s
// and the rows of 16 to 22 s were dropped until the read at 22.5 s freed it.
TEST(RowClock, RowsDueWhileTheRingWasFullAreDropped) {
  RowClock clock(1s, 5, 2, kBufferValues, kStart);
  clock.Place(1, kStart + 5s, 0, true);
  auto p = clock.Place(2, kStart + 22500ms, 1, false);  // the ring is full
  EXPECT_EQ(p.firstRow, kStart + 6s);
  EXPECT_EQ(p.dropped, 0u);
  p = clock.Place(1, kStart + 22500ms, 2, false);  // the rest, before the gap
  EXPECT_EQ(p.firstRow, kStart + 11s);
  EXPECT_EQ(p.dropped, 0u);
  p = clock.Place(1, kStart + 27s + 2ms, 3, true);
  EXPECT_EQ(p.dropped, 7u);
  EXPECT_EQ(p.firstRow, kStart + 23s + 2ms);
  // Not awaited: the buffer after the gap starts with the first row after the free.
  RowClock late(1s, 5, 2, kBufferValues, kStart);
  late.Place(1, kStart + 5s, 0, true);
  late.Place(2, kStart + 22500ms, 1, false);
  late.Place(1, kStart + 22500ms, 2, false);
  p = late.Place(1, kStart + 40s, 3, false);
  EXPECT_EQ(p.dropped, 7u);
  EXPECT_EQ(p.firstRow, kStart + 23s);
  EXPECT_EQ(late.dropped(), 7u);
}

// With one buffer the ring is full at every read-out. The library advances
// its sequence count once per 40 dropped rows: the head word bounds the count
// that the times give.
TEST(RowClock, HeadWordsBoundTheDroppedRows) {
  RowClock clock(1s, 5, 1, kBufferValues, kStart);
  clock.Place(1, kStart + 100500ms, 0, false);            // rows 6 to 100 s dropped: 95
  auto p = clock.Place(1, kStart + 105s + 1ms, 3, true);  // 1 + 95 / 40
  EXPECT_EQ(p.dropped, 95u);

  RowClock disagree(1s, 5, 1, kBufferValues, kStart);
  disagree.Place(1, kStart + 100500ms, 0, false);
  p = disagree.Place(1, kStart + 105s + 1ms, 4, true);  // at least 3 x 40
  EXPECT_EQ(p.dropped, 120u);
}

// The whole process stopped (the library's timer too): ticks were skipped, not
// rows dropped, and the next awaited buffer places the rows anew.
TEST(RowClock, APausedProcessDropsNothing) {
  RowClock clock(1s, 5, 4, kBufferValues, kStart);
  clock.Place(1, kStart + 5s, 0, true);
  const auto p = clock.Place(1, kStart + 70s, 1, true);
  EXPECT_EQ(p.dropped, 0u);
  EXPECT_EQ(p.firstRow, kStart + 66s);
}

}  // namespace
