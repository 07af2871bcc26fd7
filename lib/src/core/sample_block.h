// The heap block that holds a run's sample buffers, shared in shape by both
// rings: `count` buffers back to back, each a 16-bit head word followed by
// `values` 16-bit channel values. Zero-filled by calloc, so the pages of a large
// ring become resident only as rows are written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace wexlink {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

class SampleBlock {
 public:
  // Releases what is held and allocates a new zero-filled block. The caller has
  // checked the sizes against the library's limits. False when the allocation
  // fails; nothing is held then.
  bool Allocate(uint16_t count, uint32_t values) {
    block_.reset();
    values_ = values;
    const std::size_t words = kLead + std::size_t{count} * (std::size_t{values} + 1u);
    block_.reset(static_cast<uint16_t*>(std::calloc(words, sizeof(uint16_t))));
    return block_ != nullptr;
  }
  void Release() { block_.reset(); }
  bool Held() const { return block_ != nullptr; }

  // Buffer `index`: its head word, then its values.
  uint16_t* Buffer(uint32_t index) const {
    return block_.get() + kLead + static_cast<std::size_t>(index) * (values_ + 1u);
  }

 private:
  // The buffers begin kLead values into the block, so that the values of
  // buffer 0 (after its head word) are 8-byte aligned: the snapshot ring is
  // stored and copied in 64-bit words.
  static constexpr std::size_t kLead = 3;

  std::unique_ptr<uint16_t, FreeDeleter> block_;
  uint32_t values_ = 0;
};

}  // namespace wexlink
