// What the Windows test programs share: one line per check ("ok" or "FAIL"),
// the counts for the closing line, and printf-style formatting.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

inline int g_checks = 0;
inline int g_failures = 0;

inline bool Check(bool ok, const char* what, const std::string& detail = {}) {
  ++g_checks;
  if (!ok) ++g_failures;
  std::printf("%s %s%s%s\n", ok ? "ok  " : "FAIL", what, detail.empty() ? "" : ": ",
              detail.c_str());
  std::fflush(stdout);
  return ok;
}

inline std::string Fmt(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
inline std::string Fmt(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}
