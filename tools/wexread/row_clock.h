// When each row of a continuous run was stored, and how many rows the library
// dropped, worked out from what a reader sees: the buffers carry no time, only
// a head word, and the library drops rows silently while its ring is full.
//
// Rows are stored one row period apart (modules x poll period); the first one
// period after the start. A buffer taken out by a reader that was waiting for
// it (woken by its notification, no other buffer waiting) ends now; every
// other buffer follows on from the one before. The library drops rows only
// while the ring is full, and a read-out from a full ring frees a buffer: the
// rows due between the newest row in the ring and that moment were dropped,
// and the next buffer's first row is the first one after it. The head words
// confirm this: while full, the library advances its sequence count once per
// buffer-values dropped rows, so the gap between head words bounds the count.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>

namespace wexread {

class RowClock {
 public:
  using Time = std::chrono::steady_clock::time_point;
  using Duration = std::chrono::steady_clock::duration;

  RowClock(Duration rowPeriod, unsigned rowsPerBuffer, unsigned bufferCount,
           std::uint32_t bufferValues, Time runStart);

  struct Placement {
    Time firstRow;          // row i of the buffer: firstRow + i * rowPeriod
    std::uint64_t dropped;  // rows dropped just before this buffer
  };

  // One buffer taken out with ADResult, in order. `waitingBefore` is QueryBuf
  // just before it, `takenAt` the time right after, `head` its head word;
  // `awaited` says that the reader was blocked waiting when its notification
  // came, rather than finding it already there.
  Placement Place(unsigned waitingBefore, Time takenAt, std::uint16_t head, bool awaited);

  Duration rowPeriod() const { return rowPeriod_; }
  std::uint64_t dropped() const { return dropped_; }

 private:
  struct Gap {
    Time freedAt;
    unsigned buffersBefore;  // buffers still to come before the gap
  };

  Duration rowPeriod_;
  unsigned rowsPerBuffer_;
  unsigned bufferCount_;
  std::uint32_t bufferValues_;
  Time lastRow_;  // the run's start before the first buffer
  std::uint16_t expectedHead_ = 0;
  std::deque<Gap> gaps_;
  std::uint64_t dropped_ = 0;
};

}  // namespace wexread
