// wexread: reads W316 modules through the wexlink library in a continuous run
// and writes every row as it comes, optionally serving Prometheus metrics and
// a live web page.
//
// Threads: this one waits on the run's notification descriptor, takes the
// buffers out and writes the rows; the library's timer thread polls the
// modules; the HTTP library's threads answer /metrics from a copy of the
// newest exposition, and the page's requests from the rows kept (each page's
// event stream takes rows from a queue of its own: this thread never waits
// for a browser). SIGINT, SIGTERM and SIGHUP are blocked in every thread
// but this one, whose handler wakes the wait (and a blocked write).
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "acquisition.h"
#include "metrics_server.h"
#include "options.h"
#include "output.h"
#include "readings.h"
#include "row_clock.h"
#include "wexlink.h"
#include "wexlink_com_device.h"

namespace wexread {
namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_stopSignal = 0;
int g_wakeWrite = -1;

void OnStopSignal(int signo) {
  const int savedErrno = errno;
  g_stopSignal = signo;
  const char byte = 1;
  if (g_wakeWrite >= 0 && ::write(g_wakeWrite, &byte, 1) < 0) {
    // The pipe is full: a wake-up is already waiting.
  }
  errno = savedErrno;
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string DeviceOf(const Options& o) {
  if (!o.device.empty()) return o.device;
  return wexlink::ComDevicePath(o.port);
}

RunLayout LayoutOf(const Options& o) {
  RunLayout layout;
  layout.port = o.port;
  if (o.addresses.empty()) {
    for (unsigned k = 0; k < o.modules; ++k)
      layout.modules.push_back(AddressName({1, static_cast<std::uint8_t>(k)}));
  } else {
    for (const auto& address : o.addresses) layout.modules.push_back(AddressName(address));
  }
  return layout;
}

std::int64_t UtcMs(Clock::time_point t, std::chrono::system_clock::duration offset) {
  const auto utc = t.time_since_epoch() + offset;
  return std::chrono::duration_cast<std::chrono::milliseconds>(utc).count();
}

class Reader {
 public:
  explicit Reader(const Options& o)
      : o_(o),
        sink_(o.outputPath, &g_stopSignal),
        status_(!o.quiet && isatty(2) == 1),
        notify_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
        acquisition_(o) {
    metrics_.layout = LayoutOf(o);
  }

  int Run();
  void ClearStatus() { status_.Clear(); }

 private:
  void Publish();
  bool TakeBatch(bool awaited);
  bool Emit(const std::uint16_t* values, Clock::time_point stored,
            std::chrono::system_clock::duration offset);
  void ShowStatus();

  const Options& o_;
  Sink sink_;
  StatusLine status_;
  Descriptor notify_;  // outlives the run that posts to it
  Acquisition acquisition_;
  MetricsSnapshot metrics_;
  std::unique_ptr<MetricsServer> server_;
  std::optional<RowClock> clock_;
  std::string text_;
  bool done_ = false;  // the count is reached, or the output has ended
  bool textfileFailing_ = false;
};

void Reader::Publish() {
  if (!server_ && o_.textfile.empty()) return;
  metrics_.dropped = clock_ ? clock_->dropped() : 0;
  const std::string exposition = Exposition(metrics_);
  if (server_) server_->Publish(exposition);
  if (o_.textfile.empty()) return;
  try {
    WriteFileAtomically(o_.textfile, exposition);
    textfileFailing_ = false;
  } catch (const OutputError& e) {
    if (!clock_) throw;  // at the start: the file cannot be kept at all
    if (!textfileFailing_) {
      status_.Clear();
      std::fprintf(stderr, "wexread: %s\n", e.what());
    }
    textfileFailing_ = true;
  }
}

void Reader::ShowStatus() {
  if (!status_.enabled()) return;
  const unsigned modules = static_cast<unsigned>(metrics_.layout.modules.size());
  unsigned answering = 0;
  for (unsigned k = 0; k < modules && !metrics_.latest.empty(); ++k)
    answering += ModuleAnswering(metrics_.latest.data() + k * kChannelsPerModule) ? 1 : 0;
  status_.Show("rows " + std::to_string(metrics_.rows) + ", dropped " +
               std::to_string(clock_ ? clock_->dropped() : 0) + ", modules answering " +
               (metrics_.latest.empty() ? std::string("-") : std::to_string(answering)) + "/" +
               std::to_string(modules));
}

bool Reader::Emit(const std::uint16_t* values, Clock::time_point stored,
                  std::chrono::system_clock::duration offset) {
  const Row row{UtcMs(stored, offset), values};
  text_.clear();
  AppendRowText(text_, o_.format, metrics_.layout, row);
  if (sink_.isTerminal()) status_.Clear();
  if (sink_.Write(text_) != Sink::Result::Written) return false;
  if (server_) server_->AddRow(row.utcMs, values);
  metrics_.latest.assign(values, values + acquisition_.channels());
  metrics_.latestUtcMs = row.utcMs;
  ++metrics_.rows;
  return true;
}

// Takes out every buffer waiting and writes its rows. False once no more rows
// are wanted.
bool Reader::TakeBatch(bool awaited) {
  const std::uint64_t droppedBefore = clock_->dropped();
  bool first = true;
  acquisition_.TakeWaiting([&](unsigned waiting, const std::vector<std::uint16_t>& buffer) {
    const auto takenAt = Clock::now();
    const auto offset =
        std::chrono::system_clock::now().time_since_epoch() -
        std::chrono::duration_cast<std::chrono::system_clock::duration>(takenAt.time_since_epoch());
    const auto placed = clock_->Place(waiting, takenAt, buffer[0], awaited && first);
    first = false;
    for (unsigned r = 0; r < kRowsPerBuffer; ++r) {
      if (o_.count != 0 && metrics_.rows >= o_.count) {
        done_ = true;
        return false;
      }
      const std::uint16_t* values = buffer.data() + 1 + r * acquisition_.channels();
      if (!Emit(values, placed.firstRow + clock_->rowPeriod() * r, offset)) {
        done_ = true;
        return false;
      }
    }
    return true;
  });
  if (o_.count != 0 && metrics_.rows >= o_.count) done_ = true;
  if (clock_->dropped() != droppedBefore && !status_.enabled()) {
    std::fprintf(stderr, "wexread: %llu rows dropped by the library (its buffer ring was full)\n",
                 static_cast<unsigned long long>(clock_->dropped() - droppedBefore));
  }
  Publish();
  ShowStatus();
  return !done_;
}

int Reader::Run() {
  int wake[2];
  if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0)
    throw OutputError("pipe: " + std::string(std::strerror(errno)));
  const Descriptor wakeRead(wake[0]);
  const Descriptor wakeWrite(wake[1]);
  struct WakeRegistration {
    explicit WakeRegistration(int fd) { g_wakeWrite = fd; }
    ~WakeRegistration() { g_wakeWrite = -1; }
  } const wakeRegistration(wake[1]);

  if (o_.listen) {
    server_ = std::make_unique<MetricsServer>(
        *o_.listen, metrics_.layout, std::chrono::milliseconds(o_.periodMs) * o_.ModuleCount());
    const bool v6 = o_.listen->host.find(':') != std::string::npos;
    char base[300];
    std::snprintf(base, sizeof base, "http://%s%s%s:%d", v6 ? "[" : "", o_.listen->host.c_str(),
                  v6 ? "]" : "", server_->port());
    std::fprintf(stderr, "wexread: metrics at %s/metrics\n", base);
    std::fprintf(stderr, "wexread: live page at %s/ (six hours of rows kept: %zu KiB)\n", base,
                 (server_->historyBytes() + 1023) / 1024);
  }
  Publish();

  if (notify_.get() < 0) throw OutputError("eventfd: " + std::string(std::strerror(errno)));
  acquisition_.Start(notify_.get());
  const auto started = Clock::now();
  // Every thread is started: from here on the stop signals come to this one.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, s);
  pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
  // After the start, which may be refused: no header without rows to follow.
  if (o_.format == Format::Table || (o_.format == Format::Csv && sink_.isNew())) {
    if (sink_.Write(HeaderText(o_.format)) != Sink::Result::Written) return 0;
  }
  const auto rowPeriod = std::chrono::milliseconds(o_.periodMs) * o_.ModuleCount();
  clock_.emplace(rowPeriod, kRowsPerBuffer, acquisition_.bufferCount(), acquisition_.bufferValues(),
                 started);
  if (status_.enabled()) {
    // The library hands rows out in buffers of five.
    char firstRows[32];
    std::snprintf(firstRows, sizeof firstRows, "%.1f s",
                  std::chrono::duration<double>(rowPeriod * kRowsPerBuffer).count());
    status_.Show("reading " + std::to_string(o_.ModuleCount()) + " module(s) on COM" +
                 std::to_string(o_.port) + "; the first rows come in about " + firstRows);
  }

  const std::optional<Clock::time_point> deadline =
      o_.durationS > 0 ? std::optional(started + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(o_.durationS)))
                       : std::nullopt;
  const auto idleWake = rowPeriod * kRowsPerBuffer + std::chrono::seconds(1);

  while (g_stopSignal == 0) {
    const auto now = Clock::now();
    if (deadline && now >= *deadline) break;
    Clock::duration wait = idleWake;
    if (deadline) wait = std::min<Clock::duration>(wait, *deadline - now);
    const int timeoutMs =
        static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());

    pollfd fds[2] = {{notify_.get(), POLLIN, 0}, {wakeRead.get(), POLLIN, 0}};
    // A notification already there was not awaited: its buffer may be old.
    int ready = poll(fds, 2, 0);
    bool awaited = false;
    if (ready == 0) {
      ready = poll(fds, 2, timeoutMs);
      awaited = ready > 0 && (fds[0].revents & POLLIN) != 0;
    }
    if (ready < 0) continue;  // a signal: the loop's condition decides
    if ((fds[0].revents & POLLIN) != 0) {
      std::uint64_t notifications;  // reset the count; the buffers say how many there are
      [[maybe_unused]] const ssize_t n =
          ::read(notify_.get(), &notifications, sizeof notifications);
    }
    if (!TakeBatch(awaited)) break;
  }

  // The buffers completed before the stop stay readable after it.
  acquisition_.Stop();
  if (!done_) TakeBatch(false);
  status_.Finish();
  if (clock_->dropped() != 0 && !status_.enabled()) {
    std::fprintf(stderr, "wexread: %llu rows in all were dropped by the library\n",
                 static_cast<unsigned long long>(clock_->dropped()));
  }
  server_.reset();
  return 0;
}

int Main(int argc, char** argv) {
  const ParseResult parsed = ParseOptions(argc, argv, isatty(1) == 1);
  if (!parsed.options) {
    std::fputs(parsed.text.c_str(), parsed.exitStatus == 0 ? stdout : stderr);
    if (parsed.exitStatus != 0) std::fputc('\n', stderr);
    return parsed.exitStatus;
  }
  const Options& o = *parsed.options;

  // Before any thread exists, so that every thread started from here on
  // inherits the mask and only this one takes the signals.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, s);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a write blocked on a full pipe gives way
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);  // a closed reader is EPIPE, the end of the output

  if (!o.device.empty()) {
    setenv(wexlink::ComDeviceVariable(o.port).c_str(), o.device.c_str(), 1);
  }

  std::unique_ptr<Reader> reader;
  try {
    reader = std::make_unique<Reader>(o);
    return reader->Run();
  } catch (const LibraryError& e) {
    if (reader) reader->ClearStatus();
    std::string message = e.what();
    if (e.code() == WEXLINK_E_PORT)
      message += " (COM" + std::to_string(o.port) + " is " + DeviceOf(o) + ")";
    std::fprintf(stderr, "wexread: %s\n", message.c_str());
    return 3;
  } catch (const std::exception& e) {
    if (reader) reader->ClearStatus();
    std::fprintf(stderr, "wexread: %s\n", e.what());
    return 1;
  }
}

}  // namespace
}  // namespace wexread

int main(int argc, char** argv) { return wexread::Main(argc, argv); }
