// Which rows of a snapshot run are new at each read, how many the library
// overwrote before they could be read, and when each row was stored.
//
// The run's ring holds R rows. A record read from it carries the ring's pass
// count (modulo 65536) and the position of its newest row; after m rows the
// pass count is floor(m / R) and the position is (m mod R, or R when that is
// 0) - 1, so m = pass * R + (position + 1) mod R. m only grows, which undoes
// the pass count's wrap. Rows m - R + 1 to m are in the ring; rows between
// the last read and those were overwritten: exactly the rows lost.
//
// The first row of a run is never written: the library's pipelining leaves
// the last module of the run unpolled in it (all zeros), which would read as
// a module that is down.
//
// Times: the library's timer ticks once per period, the first tick one
// period after the start, on absolute deadlines, and polls one module per
// tick; row j (from 1) is stored at tick j * modules. A timer that falls more
// than a period behind skips whole ticks, which moves every later row; when
// fewer rows are there than the ticks due allow, the schedule moves by the
// ticks that must have been skipped.
#pragma once

#include <chrono>
#include <cstdint>

namespace wexread {

class RingRows {
 public:
  explicit RingRows(std::uint32_t ringRows) : ringRows_(ringRows) {}

  struct Update {
    std::uint64_t stored;    // rows stored since the start
    std::uint64_t firstNew;  // first row to write; none when above `stored`
    std::uint64_t dropped;   // rows overwritten unread since the last update
  };

  // One record's pass count and newest row position.
  Update Advance(std::uint16_t pass, std::int32_t newestPosition);

  // Where row `row` (from 1; among the newest ringRows rows) is in a record
  // of the whole ring, oldest first.
  std::uint32_t RecordIndex(std::uint64_t row) const {
    return static_cast<std::uint32_t>(row + ringRows_ - 1 - stored_);
  }

  std::uint64_t stored() const { return stored_; }
  std::uint64_t dropped() const { return dropped_; }
  std::uint32_t ringRows() const { return ringRows_; }

 private:
  std::uint32_t ringRows_;
  std::uint64_t stored_ = 0;
  std::uint64_t dropped_ = 0;
};

class RowSchedule {
 public:
  using Time = std::chrono::steady_clock::time_point;
  using Duration = std::chrono::steady_clock::duration;

  // `start`: when the run's start call returned.
  RowSchedule(Duration tick, unsigned modules, Time start)
      : tick_(tick), modules_(modules), start_(start) {}

  // When row `row` (from 1) was due to be stored.
  Time RowTime(std::uint64_t row) const {
    return start_ + tick_ * static_cast<Duration::rep>(row * modules_ + skippedTicks_);
  }

  // `stored` rows were there at a read that began at `before`. Returns true
  // when the schedule moved.
  bool Observe(Time before, std::uint64_t stored);

  Duration rowPeriod() const { return tick_ * modules_; }
  std::uint64_t skippedTicks() const { return skippedTicks_; }

 private:
  Duration tick_;
  unsigned modules_;
  Time start_;
  std::uint64_t skippedTicks_ = 0;
};

}  // namespace wexread
