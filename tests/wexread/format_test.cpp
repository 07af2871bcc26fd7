// Every text wexread writes, compared byte for byte with files kept beside
// this test (golden/): the four row formats and the Prometheus exposition,
// from one row of two modules that holds the cases a one-character slip
// would break (0 degrees from 32000, negatives, the range's edges, a reading
// out of range, a blanked module, a time whose milliseconds need their
// leading zeros). WEXREAD_GOLDEN_UPDATE=1 rewrites the files (review the diff).
// Also: the command line's address count, and the data file's own faults
// (a symbolic link, a write a stop interrupts half way).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "options.h"
#include "output.h"
#include "readings.h"

namespace {

using namespace wexread;

std::string Golden(const std::string& name, const std::string& actual) {
  const std::string path = std::string(WEXREAD_GOLDEN_DIR) + "/" + name;
  const char* update = std::getenv("WEXREAD_GOLDEN_UPDATE");
  if (update != nullptr && std::string(update) == "1") std::ofstream(path) << actual;
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Sample {
  RunLayout layout{1, {"01:00", "01:1F"}, Unit::Celsius, {}};
  // Module 01:00: 0.0, -0.0625, -55.0, 125.0, out of range both sides, 20.5,
  // -10.25; module 01:1F blanked by the library.
  std::vector<std::uint16_t> values{32000, 31999, 31120, 34000, 31119, 34001, 32328, 31836,
                                    0,     0,     0,     0,     0,     0,     0,     0};
  // 2026-12-07T17:26:05.005Z: five milliseconds, not fifty or five hundred.
  std::int64_t utcMs = 1796664365005;
};

TEST(Formats, RowsAndExpositionMatchTheGoldenFiles) {
  const Sample s;
  const Row row{s.utcMs, s.values.data()};
  for (const auto& [format, name] :
       {std::pair{Format::Csv, "row.csv"}, std::pair{Format::Jsonl, "row.jsonl"},
        std::pair{Format::Influx, "row.influx"}, std::pair{Format::Table, "row.table"}}) {
    std::string text =
        format == Format::Jsonl || format == Format::Influx ? "" : HeaderText(format, s.layout);
    AppendRowText(text, format, s.layout, row);
    EXPECT_EQ(text, Golden(name, text)) << name;
  }
  MetricsSnapshot m;
  m.layout = s.layout;
  m.latest = s.values;
  m.latestUtcMs = s.utcMs;
  m.rows = 12;
  m.dropped = 3;
  const std::string exposition = Exposition(m);
  EXPECT_EQ(exposition, Golden("metrics.prom", exposition));
}

TEST(Formats, InfluxTimesAreNanosecondsOfTheWallClock) {
  const Sample s;
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  std::string line;
  AppendRowText(line, Format::Influx, s.layout, Row{now, s.values.data()});
  const auto space = line.rfind(' ', line.find('\n'));
  const long long stamp = std::stoll(line.substr(space + 1));
  EXPECT_EQ(stamp / 1000000, now) << line;
}

TEST(Options, ThirtyOneAddressesAreTheMost) {
  std::string list;
  for (int k = 0; k < 32; ++k) {
    char item[8];
    std::snprintf(item, sizeof item, "%s01:%02X", k == 0 ? "" : ",", k);
    list += item;
  }
  const std::string upTo31 = list.substr(0, list.size() - 6);
  for (const auto& [addresses, good] : {std::pair{upTo31, true}, std::pair{list, false}}) {
    std::string a0 = "wexread", a1 = "--address", a2 = addresses;
    char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
    const ParseResult parsed = ParseOptions(3, argv, false);
    EXPECT_EQ(parsed.options.has_value(), good) << parsed.text;
    if (good) {
      EXPECT_EQ(parsed.options->addresses.size(), 31u);
    } else {
      EXPECT_EQ(parsed.exitStatus, 2);
    }
  }
}

volatile std::sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

TEST(Sink, AStopHalfWayThroughARowFinishesItWithinItsTime) {
  // A row larger than the pipe: the write blocks after part of it. A stop
  // then gives the reader the time to take the rest; one that never reads
  // ends the write within that time.
  struct sigaction action {};
  action.sa_handler = OnStop;  // no SA_RESTART, as in wexread
  sigaction(SIGUSR1, &action, nullptr);
  const std::string row(200000, 'x');
  const auto fifo =
      std::filesystem::temp_directory_path() / ("wexread-fifo-" + std::to_string(getpid()));
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const bool readerComes : {true, false}) {
    g_stop = 0;
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    Sink sink(fifo.string(), &g_stop);
    fcntl(reader, F_SETFL, 0);
    std::atomic<pthread_t> writer{pthread_self()};
    Sink::Result result{};
    const auto started = std::chrono::steady_clock::now();
    std::thread writing([&] {
      writer = pthread_self();
      result = sink.Write(row);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pthread_kill(writer, SIGUSR1);
    std::string got;
    if (readerComes) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      char buffer[65536];
      while (got.size() < row.size()) {
        pollfd p{reader, POLLIN, 0};
        if (poll(&p, 1, Sink::kFinishMs + 1000) <= 0) break;  // the writer gave up
        const ssize_t n = read(reader, buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
      }
    }
    writing.join();
    const auto took = std::chrono::steady_clock::now() - started;
    if (readerComes) {
      EXPECT_EQ(result, Sink::Result::Written);
      EXPECT_EQ(got.size(), row.size());
    } else {
      EXPECT_EQ(result, Sink::Result::Interrupted);
      EXPECT_LT(took, std::chrono::milliseconds(Sink::kFinishMs + 1500));
    }
    close(reader);
  }
  std::filesystem::remove(fifo);
}

TEST(Sink, RefusesASymbolicLinkAndLeavesItsTargetAlone) {
  const auto folder =
      std::filesystem::temp_directory_path() / ("wexread-sink-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const auto target = folder / "target";
  std::ofstream(target) << "kept\n";
  std::filesystem::create_symlink(target, folder / "link");
  EXPECT_THROW(Sink((folder / "link").string(), nullptr), OutputError);
  std::ifstream in(target);
  std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(kept, "kept\n");
  std::filesystem::remove_all(folder);
}

}  // namespace
