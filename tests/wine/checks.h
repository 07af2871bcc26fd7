// What the Windows test programs share: one line per check ("ok" or "FAIL"),
// the counts for the closing line, and printf-style formatting (the tests'
// own helper, tests/support/format.h).
#pragma once

#include <cstdio>
#include <string>

#include "format.h"

using wexlink::test_support::Format;

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
