// printf into a std::string, for messages and figures.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

// mingw-w64's C++ library prints with its own (GNU-compatible) printf, which
// the compiler checks as gnu_printf there.
#if defined(__MINGW32__)
#define WEXLINK_TEST_PRINTF_LIKE __attribute__((format(gnu_printf, 1, 2)))
#else
#define WEXLINK_TEST_PRINTF_LIKE __attribute__((format(printf, 1, 2)))
#endif

namespace wexlink::test_support {

WEXLINK_TEST_PRINTF_LIKE inline std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
  if (size > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

}  // namespace wexlink::test_support
