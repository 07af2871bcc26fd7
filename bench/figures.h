// The figures a benchmark program reports, one line each, in a form that
// scripts/bench collects into the results table of docs/benchmarks.md.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "format.h"

namespace wexlink::bench {

// One line of the results table: what was measured, the figure, the goal and
// whether it was met ("yes", "no", or "-" where there is no goal).
inline void PrintFigure(const std::string& what, const std::string& figure, const std::string& goal,
                        const char* met) {
  std::printf("FIGURE | %s | %s | %s | %s\n", what.c_str(), figure.c_str(), goal.c_str(), met);
  std::fflush(stdout);
}

inline const char* Met(bool ok) { return ok ? "yes" : "no"; }

// A ratio no sound measurement can exceed (a copy faster than a plain copy of
// the same bytes, a tick cheaper than the serial calls it makes): beyond it
// the benchmark measured something other than what its figure says. Prints
// the breach on stderr and returns false; the program then exits with 1.
inline bool CheckSanity(const std::string& what, double ratio, double upperBound) {
  if (ratio <= upperBound) return true;
  std::fprintf(stderr, "SANITY BOUND BROKEN | %s | %.2f | bound <= %.2f\n", what.c_str(), ratio,
               upperBound);
  return false;
}

using test_support::Format;  // printf into a std::string

// The q-quantile (0 to 1) of a list of values, by nearest rank.
inline double Quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto last = static_cast<double>(values.size() - 1);
  return values[static_cast<std::size_t>(q * last + 0.5)];
}

}  // namespace wexlink::bench
