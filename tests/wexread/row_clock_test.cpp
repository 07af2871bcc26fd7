// Which rows wexread writes from a snapshot run's records, how many it counts
// as lost, and their times. The records come from the library's own ring
// class, filled with rows that carry their number, so that a wrong reading
// of the pass count or the position shows as a wrong row written.
#include "row_clock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/snapshot_ring.h"

namespace {

using namespace std::chrono_literals;
using wexread::RingRows;
using wexread::RowSchedule;

constexpr std::uint16_t kChannels = 8;

class Ring {
 public:
  explicit Ring(std::uint32_t rows) : rows_(rows), record_(1 + kChannels * rows + 2) {
    EXPECT_TRUE(ring_.Allocate(kChannels, kChannels * rows));
  }
  // Stores rows up to number `upTo`; each row's values are its number.
  void StoreUpTo(std::uint64_t upTo) {
    for (; stored_ < upTo; ++stored_) {
      std::vector<std::uint16_t> row(kChannels, static_cast<std::uint16_t>(stored_ + 1));
      ring_.AppendRow(row.data());
    }
  }
  // What wexread writes at a read now: the row numbers, from the record.
  std::vector<std::uint64_t> Read(RingRows& rows, std::uint64_t* dropped) {
    ring_.CopyRecord(record_.data(), rows_);
    std::int32_t position;
    std::memcpy(&position, record_.data() + 1 + kChannels * rows_, sizeof position);
    const auto update = rows.Advance(record_[0], position);
    EXPECT_EQ(update.stored, stored_);
    *dropped = update.dropped;
    std::vector<std::uint64_t> written;
    for (std::uint64_t r = update.firstNew; r <= update.stored; ++r) {
      const std::uint32_t index = rows.RecordIndex(r);
      if (index >= rows_) {
        ADD_FAILURE() << "row " << r << " is not in the record";
        break;
      }
      const std::uint16_t value = record_[1 + std::size_t{index} * kChannels];
      EXPECT_EQ(value, static_cast<std::uint16_t>(r)) << "row " << r;
      written.push_back(r);
    }
    return written;
  }

 private:
  std::uint32_t rows_;
  wexlink::SnapshotRing ring_;
  std::vector<std::uint16_t> record_;
  std::uint64_t stored_ = 0;
};

std::vector<std::uint64_t> Span(std::uint64_t first, std::uint64_t last) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t r = first; r <= last; ++r) out.push_back(r);
  return out;
}

// Read after every row, across the ring's wrap and the pass count's 16 bits:
// every row once, none lost, the first row never.
TEST(RingRows, EveryRowOnceAndNeverTheFirst) {
  Ring ring(16);
  RingRows rows(16);
  std::uint64_t dropped = 0;
  EXPECT_TRUE(ring.Read(rows, &dropped).empty());  // nothing stored yet
  ring.StoreUpTo(1);
  EXPECT_TRUE(ring.Read(rows, &dropped).empty());
  ring.StoreUpTo(3);
  EXPECT_EQ(ring.Read(rows, &dropped), Span(2, 3));
  for (std::uint64_t m = 4; m <= 40; ++m) {
    ring.StoreUpTo(m);
    EXPECT_EQ(ring.Read(rows, &dropped), Span(m, m));
  }
  // 65536 passes later, read every 15 rows (just under a ring).
  for (std::uint64_t m = 55; m <= 16u * 65536 + 100; m += 15) {
    ring.StoreUpTo(m);
    ASSERT_EQ(ring.Read(rows, &dropped), Span(m - 14, m));
  }
  EXPECT_EQ(rows.dropped(), 0u);
}

// A reader that fell behind: the ring exactly full loses nothing; one row
// more loses exactly one, and so on; the first row is never counted.
TEST(RingRows, OverwrittenRowsCountedExactly) {
  Ring ring(16);
  RingRows rows(16);
  std::uint64_t dropped = 0;
  ring.StoreUpTo(19);  // rows 1 to 3 overwritten: 2 and 3 were wanted
  EXPECT_EQ(ring.Read(rows, &dropped), Span(4, 19));
  EXPECT_EQ(dropped, 2u);
  ring.StoreUpTo(19 + 16);  // exactly a ring: all there
  EXPECT_EQ(ring.Read(rows, &dropped), Span(20, 35));
  EXPECT_EQ(dropped, 0u);
  ring.StoreUpTo(35 + 17);
  EXPECT_EQ(ring.Read(rows, &dropped), Span(37, 52));
  EXPECT_EQ(dropped, 1u);
  ring.StoreUpTo(52 + 16 * 5 + 7);  // several passes at once
  EXPECT_EQ(ring.Read(rows, &dropped), Span(124, 139));
  EXPECT_EQ(dropped, 71u);
  EXPECT_EQ(rows.dropped(), 74u);
}

// Row j is due at tick j x modules; a timer that skipped ticks moves the
// schedule by what must have been skipped, and never for a timer that is
// merely late by a tick or two.
TEST(RowSchedule, TickScheduleAndSkippedTicks) {
  const RowSchedule::Time start{};
  RowSchedule s(700ms, 3, start);
  EXPECT_EQ(s.RowTime(1), start + 2100ms);
  EXPECT_EQ(s.RowTime(2) - s.RowTime(1), 2100ms);
  // At 9.1 s (13 ticks due) 3 rows stored: up to 11 ticks could have run,
  // and the last two may be late.
  EXPECT_FALSE(s.Observe(start + 9100ms, 3));
  EXPECT_EQ(s.skippedTicks(), 0u);
  // At 14.0 s (20 ticks due) still 3 rows: at least 7 ticks were skipped.
  EXPECT_TRUE(s.Observe(start + 14000ms, 3));
  EXPECT_EQ(s.skippedTicks(), 7u);
  EXPECT_EQ(s.RowTime(4), start + 700ms * (12 + 7));
  EXPECT_FALSE(s.Observe(start + 14000ms, 4));  // never moves back
  EXPECT_EQ(s.skippedTicks(), 7u);
}

}  // namespace
