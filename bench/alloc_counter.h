// Counts the heap allocations of the program it is linked into: operator new
// is replaced, and malloc, calloc and realloc are wrapped at link time
// (-Wl,--wrap=...), which catches the calls made from the statically linked
// core. Calls from shared libraries to malloc are not seen; their operator new
// calls are.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wexlink::bench {

struct AllocCounts {
  uint64_t news = 0;
  uint64_t mallocs = 0;
  uint64_t callocs = 0;
  uint64_t reallocs = 0;
  uint64_t bytes = 0;        // bytes asked for, all kinds together
  std::size_t lastSize = 0;  // size of the latest request

  uint64_t Total() const { return news + mallocs + callocs + reallocs; }
};

AllocCounts CurrentAllocCounts();

// Allocations between two readings.
inline AllocCounts operator-(const AllocCounts& a, const AllocCounts& b) {
  return AllocCounts{a.news - b.news,         a.mallocs - b.mallocs, a.callocs - b.callocs,
                     a.reallocs - b.reallocs, a.bytes - b.bytes,     a.lastSize};
}

}  // namespace wexlink::bench
