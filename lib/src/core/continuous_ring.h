// The continuous run's ring of sample buffers: the tick fills buffers one after
// the other, the read-out calls take complete buffers out whole.
//
// Two threads use the ring without a lock. The tick (timer thread) alone
// writes the buffers, FillBuffer/FillCount, WriteIndex and SequenceCount. The
// read-out calls (caller's thread) alone move ReadIndex. Both meet in one
// 32-bit word, ReadIndex in the low half and OverflowCount in the high half:
//
//  - A read-out replaces the whole word in one release store (ReadIndex moved
//    on, OverflowCount 0), after it has copied its buffer. The tick's acquire
//    of the word therefore sees the copy finished before it writes that buffer
//    again.
//  - The tick changes only the high half, and only by compare-and-swap
//    against the word it last read, so it never undoes a read-out that came in
//    between: it sets OverflowCount to 1 when a completed buffer brings
//    WriteIndex onto ReadIndex (the ring is full), and raises it for every row
//    it drops while full.
//  - A complete buffer is handed over by the release store of WriteIndex,
//    after its values and head word are stored. A reader loads WriteIndex
//    (acquire) before the word: the tick marks the ring full before it moves
//    WriteIndex, so a reader that sees WriteIndex on ReadIndex also sees the
//    full mark, and never takes a full ring for an empty one.
//
// The buffers from ReadIndex up to WriteIndex (cyclically) are complete and
// unread, all of them while the ring is full; the tick writes none of them.
//
// The member functions are defined below the class, inline, so that the tick
// and the read-out calls compile them into their own code.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

#include "sample_block.h"

namespace wexlink {

class ContinuousRing {
 public:
  // Caller's thread, while no run is active: a zero-filled ring of
  // `bufferCount` buffers of `bufferValues` values (rows of `channelCount`),
  // every position 0. False when the allocation fails; nothing is held then.
  bool Allocate(uint16_t bufferCount, uint16_t channelCount, uint32_t bufferValues);
  void Release() { block_.Release(); }
  bool Held() const { return block_.Held(); }

  // Timer thread: stores one row of ChannelCount values, or drops and counts
  // it while the ring is full. True when the row completed a buffer.
  bool AppendRow(const uint16_t* row);

  // Caller's thread. The positions as a read-out sees them, each loaded once.
  struct Positions {
    uint16_t write;
    uint16_t read;
    bool full;
    bool BufferWaiting() const { return full || write != read; }
  };
  Positions Load() const {
    Positions p{};
    p.write = writeIndex_.load(std::memory_order_acquire);  // first, as said above
    const uint32_t word = readAndOverflow_.load(std::memory_order_acquire);
    p.read = static_cast<uint16_t>(word & 0xFFFFu);
    p.full = (word >> 16) != 0;
    return p;
  }
  // Complete buffers waiting: BufferCount when full, else 0 to BufferCount - 1.
  uint32_t Waiting() const {
    const uint16_t write = writeIndex_.load(std::memory_order_acquire);
    const uint32_t word = readAndOverflow_.load(std::memory_order_acquire);
    if ((word >> 16) != 0) return bufferCount_;
    return (write + bufferCount_ - (word & 0xFFFFu)) % bufferCount_;
  }
  // Copy one buffer (BufferBytes) to `destination` and hand buffers back to
  // the tick, given positions with a buffer waiting. TakeOldest takes the
  // buffer at ReadIndex; TakeNewest the newest and discards the rest.
  void TakeOldest(const Positions& at, void* destination);
  void TakeNewest(const Positions& at, void* destination);

  // Inspection, for tests and benchmarks.
  uint16_t BufferCount() const { return bufferCount_; }
  uint32_t BufferValues() const { return bufferValues_; }
  const uint16_t* Buffer(uint32_t index) const { return block_.Buffer(index); }
  const uint16_t* FillBuffer() const { return fillBuffer_; }
  uint32_t FillCount() const { return fillCount_; }
  uint16_t SequenceCount() const { return sequenceCount_.load(std::memory_order_relaxed); }
  uint16_t WriteIndex() const { return writeIndex_.load(std::memory_order_acquire); }
  uint16_t ReadIndex() const {
    return static_cast<uint16_t>(readAndOverflow_.load(std::memory_order_acquire) & 0xFFFFu);
  }
  uint16_t OverflowCount() const {
    return static_cast<uint16_t>(readAndOverflow_.load(std::memory_order_acquire) >> 16);
  }

 private:
  friend struct ContinuousRingPeer;  // benchmarks set the shared word directly

  void AdvanceSequence() {
    sequenceCount_.store(static_cast<uint16_t>(sequenceCount_.load(std::memory_order_relaxed) + 1),
                         std::memory_order_relaxed);
  }

  SampleBlock block_;
  uint16_t bufferCount_ = 0;
  uint16_t channelCount_ = 0;
  uint32_t bufferValues_ = 0;
  uint32_t bufferBytes_ = 0;
  // Completed buffers since the start, plus one per BufferValues rows dropped
  // while full; each buffer's head word is its value when the buffer was begun.
  std::atomic<uint16_t> sequenceCount_{0};
  std::atomic<uint16_t> writeIndex_{0};
  std::atomic<uint32_t> readAndOverflow_{0};
  uint16_t* fillBuffer_ = nullptr;
  uint32_t fillCount_ = 0;
};

inline bool ContinuousRing::Allocate(uint16_t bufferCount, uint16_t channelCount,
                                     uint32_t bufferValues) {
  bufferCount_ = bufferCount;
  channelCount_ = channelCount;
  bufferValues_ = bufferValues;
  bufferBytes_ = 2 * bufferValues + 2;
  sequenceCount_.store(0, std::memory_order_relaxed);
  writeIndex_.store(0, std::memory_order_relaxed);
  readAndOverflow_.store(0, std::memory_order_relaxed);
  fillCount_ = 0;
  fillBuffer_ = nullptr;
  if (!block_.Allocate(bufferCount, bufferValues)) return false;
  fillBuffer_ = block_.Buffer(0);
  return true;
}

inline bool ContinuousRing::AppendRow(const uint16_t* row) {
  // While the ring is full, rows are dropped and counted. Only the overflow
  // half of the shared word is changed, and only if a read-out has not just
  // replaced the word; if it has, the ring has room again and the row is kept.
  uint32_t word = readAndOverflow_.load(std::memory_order_acquire);
  while ((word >> 16) != 0) {
    auto overflow = static_cast<uint16_t>((word >> 16) + 1);
    bool advance = false;
    if (overflow == 0 || overflow > bufferValues_) {
      advance = true;
      overflow = 1;
    }
    const uint32_t desired = (word & 0xFFFFu) | (uint32_t{overflow} << 16);
    if (readAndOverflow_.compare_exchange_weak(word, desired, std::memory_order_acq_rel,
                                               std::memory_order_acquire)) {
      if (advance) AdvanceSequence();
      return false;
    }
  }

  if (fillCount_ == 0) fillBuffer_[0] = sequenceCount_.load(std::memory_order_relaxed);
  std::memcpy(fillBuffer_ + 1 + fillCount_, row, sizeof(uint16_t) * channelCount_);
  fillCount_ += channelCount_;
  if (fillCount_ < bufferValues_) return false;

  // The buffer is complete: move on to the next one and publish.
  auto next = static_cast<uint16_t>(writeIndex_.load(std::memory_order_relaxed) + 1);
  if (next >= bufferCount_) next = 0;
  fillBuffer_ = block_.Buffer(next);
  fillCount_ = 0;
  // The ring is full when the next buffer is the reader's oldest unread one.
  // This is decided before WriteIndex moves: afterwards WriteIndex equal to
  // ReadIndex could also mean that the reader has just taken the buffer
  // completed here and emptied the ring, and an empty ring taken for a full
  // one would hand out a stale buffer again. The swap fails, correctly, when a
  // read-out has moved ReadIndex meanwhile.
  uint32_t expected = next;
  readAndOverflow_.compare_exchange_strong(expected, next | (1u << 16), std::memory_order_acq_rel,
                                           std::memory_order_acquire);
  writeIndex_.store(next, std::memory_order_release);
  AdvanceSequence();
  return true;
}

inline void ContinuousRing::TakeOldest(const Positions& at, void* destination) {
  std::memcpy(destination, block_.Buffer(at.read), bufferBytes_);
  auto next = static_cast<uint16_t>(at.read + 1);
  if (next >= bufferCount_) next = 0;
  readAndOverflow_.store(next, std::memory_order_release);  // ReadIndex advanced, overflow cleared
}

inline void ContinuousRing::TakeNewest(const Positions& at, void* destination) {
  // On a full ring WriteIndex equals ReadIndex and the buffer there, the oldest
  // unread one, is taken. ReadIndex is used for it: the tick marks the ring
  // full just before it moves WriteIndex onto ReadIndex.
  uint16_t chosen = at.read;
  uint16_t taken = at.read;
  if (!at.full) {
    chosen = (at.write == 0) ? static_cast<uint16_t>(bufferCount_ - 1)
                             : static_cast<uint16_t>(at.write - 1);
    taken = at.write;
  }
  std::memcpy(destination, block_.Buffer(chosen), bufferBytes_);
  readAndOverflow_.store(taken, std::memory_order_release);  // everything up to WriteIndex taken
}

}  // namespace wexlink
