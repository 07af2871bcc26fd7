// The Prometheus exposition, byte for byte, against golden files in
// tests/wexread/golden (exposition_*.prom): each case is a metrics snapshot
// and the exact text a scrape returns for it. A change of a metric's name,
// label, help text, order or number format shows here as a difference to
// review; a deliberate one is written back with WEXREAD_UPDATE_GOLDEN=1 and
// reviewed in the diff. The files also pass `promtool check metrics` (ctest
// wexread_exposition_golden_promtool).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "readings.h"

namespace wexread {
namespace {

// Eight values of one module.
std::vector<std::uint16_t> Module(std::vector<std::uint16_t> values) {
  values.resize(kChannelsPerModule, 0);
  return values;
}

std::vector<std::uint16_t> Join(std::initializer_list<std::vector<std::uint16_t>> modules) {
  std::vector<std::uint16_t> row;
  for (const auto& m : modules) row.insert(row.end(), m.begin(), m.end());
  return row;
}

struct GoldenCase {
  std::string name;  // golden/exposition_<name>.prom
  MetricsSnapshot snapshot;
};

std::vector<GoldenCase> Cases() {
  std::vector<GoldenCase> cases;
  {
    // Started, no row yet: help and type lines, the counters at 0, no gauge
    // samples and no timestamp.
    MetricsSnapshot m;
    m.layout = {1, {"01:00", "01:01"}, Unit::Celsius, {}};
    cases.push_back({"before_first_row", m});
  }
  {
    // Module 01:00 answers: both ends of the range (-55, 125), 0 and -0.0625
    // degrees, one step beyond either end (no sample) and 25.5; module 01:01
    // was blanked by the library (all 0): up 0 and no temperature.
    MetricsSnapshot m;
    m.layout = {3, {"01:00", "01:01"}, Unit::Celsius, {}};
    m.latest = Join({Module({31120, 34000, 32000, 31999, 31119, 34001, 32408, 0}), Module({})});
    m.latestUtcMs = 1714564800123;
    m.rows = 1234;
    m.dropped = 5;
    cases.push_back({"answering_and_blanked", m});
  }
  {
    // An address table's names as the module labels, on COM12; milliseconds
    // below 100 keep their leading zeros.
    MetricsSnapshot m;
    m.layout = {12, {"10:20", "02:07", "aa:55"}, Unit::Celsius, {}};
    m.latest = Join({Module({32016, 32017, 31984, 31983, 33600, 32000, 32000, 32000}),
                     Module({32400, 0, 0, 0, 0, 0, 0, 0}),
                     Module({31120, 31120, 31120, 31120, 31120, 31120, 31120, 31120})});
    m.latestUtcMs = 1700000000007;
    m.rows = 18446744073709551615u;
    m.dropped = 0;
    cases.push_back({"address_table_names", m});
  }
  return cases;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "(missing: " + path + ")";
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ExpositionGolden, EveryCaseMatchesItsFileByteForByte) {
  const char* update = std::getenv("WEXREAD_UPDATE_GOLDEN");
  const bool write = update != nullptr && std::string(update) == "1";
  for (const GoldenCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    const std::string path = std::string(EXPOSITION_GOLDEN_DIR) + "/exposition_" + c.name + ".prom";
    const std::string got = Exposition(c.snapshot);
    if (write) {
      std::ofstream(path, std::ios::binary | std::ios::trunc) << got;
      continue;
    }
    const std::string want = ReadFile(path);
    if (got == want) continue;
    // The first differing line, then the whole text.
    std::istringstream a(got), b(want);
    std::string la, lb;
    int line = 0;
    while (true) {
      ++line;
      const bool moreA = static_cast<bool>(std::getline(a, la));
      const bool moreB = static_cast<bool>(std::getline(b, lb));
      if (!moreA && !moreB) break;
      if (la != lb || moreA != moreB) break;
    }
    ADD_FAILURE() << path << " differs first at line " << line << ":\n  got:  " << la
                  << "\n  want: " << lb << "\nwhole exposition:\n"
                  << got << "(WEXREAD_UPDATE_GOLDEN=1 writes it back, for a deliberate change)";
  }
  if (write) GTEST_SKIP() << "golden files written, nothing compared";
}

}  // namespace
}  // namespace wexread
