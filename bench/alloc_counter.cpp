#include "alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* block, std::size_t size);
void* __wrap_malloc(std::size_t size);
void* __wrap_calloc(std::size_t count, std::size_t size);
void* __wrap_realloc(void* block, std::size_t size);
}

namespace {

// Relaxed atomics: the timer thread of a run may allocate while a reader looks.
std::atomic<uint64_t> g_news{0};
std::atomic<uint64_t> g_mallocs{0};
std::atomic<uint64_t> g_callocs{0};
std::atomic<uint64_t> g_reallocs{0};
std::atomic<uint64_t> g_bytes{0};
std::atomic<std::size_t> g_lastSize{0};

void Count(std::atomic<uint64_t>& kind, std::size_t size) {
  kind.fetch_add(1, std::memory_order_relaxed);
  g_bytes.fetch_add(size, std::memory_order_relaxed);
  g_lastSize.store(size, std::memory_order_relaxed);
}

void* NewBlock(std::size_t size) {
  Count(g_news, size);
  return __real_malloc(size == 0 ? 1 : size);
}

}  // namespace

namespace wexlink::bench {

AllocCounts CurrentAllocCounts() {
  constexpr auto r = std::memory_order_relaxed;
  return AllocCounts{g_news.load(r),     g_mallocs.load(r), g_callocs.load(r),
                     g_reallocs.load(r), g_bytes.load(r),   g_lastSize.load(r)};
}

}  // namespace wexlink::bench

extern "C" void* __wrap_malloc(std::size_t size) {
  Count(g_mallocs, size);
  return __real_malloc(size);
}

extern "C" void* __wrap_calloc(std::size_t count, std::size_t size) {
  Count(g_callocs, count * size);
  return __real_calloc(count, size);
}

extern "C" void* __wrap_realloc(void* block, std::size_t size) {
  Count(g_reallocs, size);
  return __real_realloc(block, size);
}

void* operator new(std::size_t size) {
  if (void* p = NewBlock(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = NewBlock(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return NewBlock(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return NewBlock(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
