// A failed invariant inside a fuzzer: print what was expected and abort, which
// libFuzzer (and the replay driver) reports as a crash with the input saved.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, ...)                                              \
  do {                                                                          \
    if (!(condition)) {                                                         \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n  ", __FILE__, __LINE__, \
                   #condition);                                                 \
      std::fprintf(stderr, __VA_ARGS__);                                        \
      std::fprintf(stderr, "\n");                                               \
      std::abort();                                                             \
    }                                                                           \
  } while (0)

// With WEXLINK_FUZZ_TRACE set, the fuzzers print each call they make, which
// shows what a crashing input does (run the fuzzer on that one file).
inline bool FuzzTraceOn() {
  static const bool on = std::getenv("WEXLINK_FUZZ_TRACE") != nullptr;
  return on;
}

__attribute__((format(printf, 1, 2))) inline void FuzzTrace(const char* format, ...) {
  if (!FuzzTraceOn()) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}
