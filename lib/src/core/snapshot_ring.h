// The snapshot run's ring: one buffer whose rows the tick overwrites
// cyclically, and from which the caller copies the latest rows at any moment.
//
// Two threads use the ring without a lock, and unlike a continuous buffer
// the ring is never handed over: the reader may copy any part of it while the
// tick stores a row. So both sides access its values only as relaxed atomic
// 64-bit words (four values; rows are whole words, aligned), and a sequence
// lock tells the reader whether its copy is one state of the ring:
//
//  - RowsStored counts twice per row: the tick raises it to an odd number
//    (a read-modify-write, acquire) before it stores a row, and to the next
//    even number (release) after the row and PublishedPosition are stored.
//  - The reader takes RowsStored (acquire) and retries while it is odd, then
//    reads PublishedPosition and SequenceCount and copies relative to them,
//    then takes RowsStored again with a read-modify-write (acq_rel), which
//    keeps its loads of the ring before it. Unchanged means no row was stored
//    during the copy; otherwise it copies again. Rows come once per timer
//    period (700 ms or more), so a retry is rare and the next copy succeeds.
//
// PublishedPosition is FillCount after the last complete row, always a
// multiple of ChannelCount; the reader never looks at FillCount.
//
// The member functions are defined below the class, inline, so that the tick
// and GetSnapshot compile them into their own code.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>

#include "sample_block.h"

namespace wexlink {

class SnapshotRing {
 public:
  // Caller's thread, while no run is active: a zero-filled ring of
  // `bufferValues` values (rows of `channelCount`), every position 0. False
  // when the allocation fails; nothing is held then.
  bool Allocate(uint16_t channelCount, uint32_t bufferValues);
  void Release() { block_.Release(); }
  bool Held() const { return block_.Held(); }

  // Timer thread: stores one row of ChannelCount values at FillCount.
  void AppendRow(const uint16_t* row);

  // Caller's thread: writes the record of the newest `rows` rows (at most the
  // ring's rows, which the caller has checked) to `destination`: the pass
  // count, the rows oldest first, and the ring position of the newest row.
  void CopyRecord(void* destination, uint32_t rows);

  // Inspection, for tests and benchmarks.
  uint32_t BufferValues() const { return bufferValues_; }
  // The ring: its head word, then BufferValues values.
  const uint16_t* Buffer() const { return block_.Buffer(0); }
  uint32_t FillCount() const { return fillCount_; }
  uint16_t SequenceCount() const { return sequenceCount_.load(std::memory_order_relaxed); }
  uint32_t PublishedPosition() const { return publishedPosition_.load(std::memory_order_acquire); }
  uint32_t RowsStored() const { return rowsStored_.load(std::memory_order_acquire); }

 private:
  using Word = uint64_t;
  static constexpr uint32_t kValuesPerWord = sizeof(Word) / sizeof(uint16_t);
  static uint8_t* CopyWords(uint8_t* out, uint16_t* values, uint32_t from, uint32_t count);

  SampleBlock block_;
  uint16_t channelCount_ = 0;
  uint32_t bufferValues_ = 0;
  // Completed passes over the ring since the start; the head word holds its
  // value when the current pass began.
  std::atomic<uint16_t> sequenceCount_{0};
  uint32_t fillCount_ = 0;
  std::atomic<uint32_t> publishedPosition_{0};
  std::atomic<uint32_t> rowsStored_{0};
};

inline bool SnapshotRing::Allocate(uint16_t channelCount, uint32_t bufferValues) {
  channelCount_ = channelCount;
  bufferValues_ = bufferValues;
  sequenceCount_.store(0, std::memory_order_relaxed);
  fillCount_ = 0;
  publishedPosition_.store(0, std::memory_order_relaxed);
  rowsStored_.store(0, std::memory_order_relaxed);
  return block_.Allocate(1, bufferValues);
}

inline void SnapshotRing::AppendRow(const uint16_t* row) {
  constexpr auto kRelaxed = std::memory_order_relaxed;
  uint16_t* ring = block_.Buffer(0);
  // Odd while the row is being stored. The read-modify-write orders the stores
  // below after any reader's final check.
  const uint32_t generation = rowsStored_.fetch_add(1, std::memory_order_acquire);

  if (fillCount_ == 0)
    std::atomic_ref<uint16_t>(ring[0]).store(sequenceCount_.load(kRelaxed), kRelaxed);
  uint16_t* values = ring + 1;
  for (uint32_t i = 0; i < channelCount_; i += kValuesPerWord) {
    Word word;
    std::memcpy(&word, row + i, sizeof word);
    std::atomic_ref<Word>(*reinterpret_cast<Word*>(values + fillCount_ + i)).store(word, kRelaxed);
  }
  fillCount_ += channelCount_;
  if (fillCount_ >= bufferValues_) {
    fillCount_ -= bufferValues_;
    sequenceCount_.store(static_cast<uint16_t>(sequenceCount_.load(kRelaxed) + 1), kRelaxed);
  }
  publishedPosition_.store(fillCount_, std::memory_order_release);
  rowsStored_.store(generation + 2, std::memory_order_release);
}

inline void SnapshotRing::CopyRecord(void* destination, uint32_t rows) {
  auto* out = static_cast<uint8_t*>(destination);
  const uint32_t n = channelCount_ * rows;  // rows <= the ring's rows, so it fits
  uint16_t* values = block_.Buffer(0) + 1;

  for (bool first = true;; first = false) {
    if (!first) std::this_thread::yield();
    const uint32_t before = rowsStored_.load(std::memory_order_acquire);
    if ((before & 1u) != 0) continue;  // a row is being stored right now
    const uint32_t position = publishedPosition_.load(std::memory_order_acquire);
    const uint16_t sequence = sequenceCount_.load(std::memory_order_relaxed);
    // The values before the position that need no wrap; at 0, the whole ring.
    const uint32_t h = (position > 0) ? position : bufferValues_;

    std::memcpy(out, &sequence, sizeof sequence);
    // Segments start at row boundaries and hold whole rows: whole words.
    uint8_t* end = out + sizeof sequence;
    if (h >= n) {
      end = CopyWords(end, values, h - n, n);
    } else {
      end = CopyWords(end, values, bufferValues_ - (n - h), n - h);
      end = CopyWords(end, values, 0, h);
    }
    const auto newestRow = static_cast<int32_t>(h / channelCount_) - 1;
    std::memcpy(end, &newestRow, sizeof newestRow);

    // Read-modify-write rather than a load: its release half keeps the loads
    // above before it, so a tick that starts a row after it cannot have fed them.
    if (rowsStored_.fetch_add(0, std::memory_order_acq_rel) == before) return;
  }
}

// Copies `count` values (whole words) of the ring from value `from` to `out`.
// The loads stay word-sized atomics, but a copy this way is bound by its
// stores: two words gathered into one 16-byte store halve their number, which
// makes a large copy about twice as fast as word by word.
inline uint8_t* SnapshotRing::CopyWords(uint8_t* out, uint16_t* values, uint32_t from,
                                        uint32_t count) {
  using WordPair [[gnu::vector_size(2 * sizeof(Word))]] = Word;
  const std::size_t words = count / kValuesPerWord;
  Word* source = reinterpret_cast<Word*>(values + from);
  auto load = [source](std::size_t word) {
    return std::atomic_ref<Word>(source[word]).load(std::memory_order_relaxed);
  };
  std::size_t w = 0;
  for (; w + 4 <= words; w += 4) {
    const WordPair low = {load(w), load(w + 1)};
    const WordPair high = {load(w + 2), load(w + 3)};
    std::memcpy(out, &low, sizeof low);
    std::memcpy(out + sizeof low, &high, sizeof high);
    out += sizeof low + sizeof high;
  }
  for (; w < words; ++w) {
    const Word word = load(w);
    std::memcpy(out, &word, sizeof word);
    out += sizeof word;
  }
  return out;
}

}  // namespace wexlink
