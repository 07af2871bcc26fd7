// End to end on a pseudo-terminal: the time from a module's reply to the
// moment its value shows in GetSnapshot. The shared library polls COM port 1,
// a pty whose other side this program serves as a W316 module: it answers
// each request after 23 ms (a 22-byte reply at 9600 baud) with eight values
// that carry a counter, and notes when each reply was written. The main
// thread calls GetSnapshot every millisecond and notes when each counter
// first appears. The poll step reads a reply at the tick after its request,
// so a value appears about one period after its request.
//
//   pty_latency [--samples N] [--period-ms P] [--reply-ms D]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "figures.h"
#include "frames.h"
#include "pty.h"
#include "wexlink.h"

namespace wexlink::bench {
namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Options {
  int samples = 20;
  int periodMs = 700;
  int replyMs = 23;
};

// Plays the module: one reply per request, values = a counter from 1 up.
class Module {
 public:
  Module(const wexlink::test_support::Pty& line, int replyMs, std::size_t capacity)
      : line_(line), replyDelay_(replyMs), requested_(capacity), written_(capacity) {}

  void Run(const std::atomic<bool>& stop) {
    std::vector<uint8_t> pending;
    uint8_t chunk[64];
    while (!stop.load(std::memory_order_relaxed)) {
      const int n = line_.Read(chunk, sizeof chunk, 50);
      if (n <= 0) continue;
      const auto arrived = Clock::now();
      pending.insert(pending.end(), chunk, chunk + n);
      // Requests are AA 03 a1 a2 04 55; anything else is skipped byte by byte.
      while (pending.size() >= 6) {
        if (pending[0] != 0xAA || pending[1] != 0x03 || pending[4] != 0x04 || pending[5] != 0x55) {
          pending.erase(pending.begin());
          continue;
        }
        pending.erase(pending.begin(), pending.begin() + 6);
        Answer(arrived);
      }
    }
  }

  // When request c was taken in and when its reply was written; c from 1.
  Clock::time_point Requested(std::size_t c) const { return requested_[c]; }
  Clock::time_point Written(std::size_t c) const { return written_[c]; }
  std::size_t Answered() const { return counter_; }

 private:
  void Answer(Clock::time_point arrived) {
    ++counter_;
    std::this_thread::sleep_until(arrived + replyDelay_);
    const auto value = static_cast<uint16_t>(counter_);
    line_.Send(test_support::ReplyFrame(0x01, 0x00, std::vector<uint16_t>(8, value)));
    const auto written = Clock::now();
    if (counter_ < written_.size()) {
      requested_[counter_] = arrived;
      written_[counter_] = written;
    }
  }

  const wexlink::test_support::Pty& line_;
  std::chrono::milliseconds replyDelay_;
  std::vector<Clock::time_point> requested_;
  std::vector<Clock::time_point> written_;
  std::size_t counter_ = 0;
};

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (arg == "--samples") {
      o.samples = std::max(value, 1);
    } else if (arg == "--period-ms") {
      o.periodMs = value;
    } else if (arg == "--reply-ms") {
      o.replyMs = std::max(value, 0);
    } else {
      argc = -1;
      break;
    }
  }
  if (argc < 0 || argc % 2 == 0) {
    std::fprintf(stderr, "usage: %s [--samples N] [--period-ms P] [--reply-ms D]\n", argv[0]);
    std::exit(2);
  }
  return o;
}

}  // namespace
}  // namespace wexlink::bench

int main(int argc, char** argv) {
  using namespace wexlink::bench;
  const Options o = Parse(argc, argv);
  wexlink::test_support::Pty line(1);
  if (!line.ok()) {
    std::fprintf(stderr, "no pseudo-terminal\n");
    return 1;
  }
  const auto capacity = static_cast<std::size_t>(o.samples) + 16;
  Module module(line, o.replyMs, capacity);
  std::atomic<bool> stop{false};
  std::thread moduleThread([&] { module.Run(stop); });

  int status = 0;
  std::vector<Clock::time_point> seen(capacity);
  std::size_t seenCount = 0;
  if (Initial(1, 5, 9600, 0) != 1 || StartSnapshot(1, 200, 0, 8, -o.periodMs, 0, 0, 0) <= 0) {
    std::fprintf(stderr, "start failed, code %d\n", static_cast<int>(GetLastADError()));
    status = 1;
  } else {
    // A record of one row: sequence word, 8 values, row position.
    uint8_t record[2 + 16 + 4];
    uint16_t last = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(o.periodMs) * (o.samples + 4);
    auto next = Clock::now();
    while (seenCount < static_cast<std::size_t>(o.samples) && Clock::now() < deadline) {
      next += std::chrono::milliseconds(1);
      std::this_thread::sleep_until(next);
      if (GetSnapshot(record, 1, nullptr) != 1) continue;
      uint16_t value = 0;
      std::memcpy(&value, record + 2, sizeof value);
      if (value != last && value != 0 && value < capacity) {
        seen[value] = Clock::now();
        last = value;
        ++seenCount;
      }
    }
    StopIntr();
  }
  stop = true;
  moduleThread.join();
  if (status != 0) return status;

  std::vector<double> fromReply;
  std::vector<double> fromRequest;
  for (std::size_t c = 1; c < capacity && c <= module.Answered(); ++c) {
    if (seen[c] == Clock::time_point{}) continue;
    fromReply.push_back(Ms(seen[c] - module.Written(c)));
    fromRequest.push_back(Ms(seen[c] - module.Requested(c)));
  }
  if (fromReply.size() < static_cast<std::size_t>(o.samples)) {
    std::fprintf(stderr, "only %zu of %d values seen\n", fromReply.size(), o.samples);
    PrintFigure("End to end on a pty: reply written to value in GetSnapshot", "did not complete",
                "one period", "no");
    return 1;
  }
  std::printf("%zu values, period %d ms, reply after %d ms, GetSnapshot every 1 ms\n",
              fromReply.size(), o.periodMs, o.replyMs);
  std::printf("  reply written -> seen: median %.2f ms, min %.2f ms, max %.2f ms\n",
              Quantile(fromReply, 0.5), Quantile(fromReply, 0), Quantile(fromReply, 1));
  std::printf("  request taken in -> seen: median %.2f ms, min %.2f ms, max %.2f ms\n",
              Quantile(fromRequest, 0.5), Quantile(fromRequest, 0), Quantile(fromRequest, 1));
  // The value is due at the tick after its request: one period from the
  // request, allowing for the timer's lateness and the 1 ms polling.
  const double median = Quantile(fromRequest, 0.5);
  PrintFigure(
      Format("End to end on a pty, %d ms period, %d values: request -> value in GetSnapshot",
             o.periodMs, static_cast<int>(fromRequest.size())),
      Format("median %.2f ms (min %.2f, max %.2f); reply written -> seen: median %.2f ms", median,
             Quantile(fromRequest, 0), Quantile(fromRequest, 1), Quantile(fromReply, 0.5)),
      "one period", Met(median > o.periodMs - 2.0 && median < o.periodMs + 5.0));
  return 0;
}
