// wexread: reads W316 modules through the wexlink library in a snapshot run
// and writes every row as it comes, optionally serving Prometheus metrics and
// a live web page.
//
// Threads: this one sleeps until the next row is due, reads the library's
// ring and writes the new rows, each with the time of its poll cycle; the
// library's timer thread polls the modules; the web server's thread answers
// /metrics from a copy of the newest exposition, and the page's requests from
// the rows kept (each page's event stream takes rows from a queue of its own:
// this thread never waits for a browser). SIGINT, SIGTERM and SIGHUP are
// blocked in every thread but this one, whose handler wakes the wait (and a
// blocked write); on Windows, Ctrl+C and Ctrl+Break (stop_signal.h).
//
// A device that goes away (or a line on which every module has fallen
// silent) stops the run; rows without values follow on the same schedule
// while the path is reopened with a growing pause, and the run starts again
// once it opens.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "acquisition.h"
#include "device_watch.h"
#include "alarms.h"
#include "options.h"
#include "output.h"
#include "plant_outputs.h"
#include "platform.h"
#include "readings.h"
#include "row_clock.h"
#include "stop_signal.h"
#include "wexlink.h"
#include "web_server.h"
#include "service_notify.h"

namespace wexread {
namespace {

using Clock = std::chrono::steady_clock;

std::string DeviceOf(const Options& o) { return PortDevice(o.port, o.device); }

RunLayout LayoutOf(const Options& o) {
  RunLayout layout;
  layout.port = o.port;
  if (o.addresses.empty()) {
    for (unsigned k = 0; k < o.modules; ++k)
      layout.modules.push_back(AddressName({1, static_cast<std::uint8_t>(k)}));
  } else {
    for (const auto& address : o.addresses) layout.modules.push_back(AddressName(address));
  }
  ApplyChannelSettings(layout, o);
  return layout;
}

std::int64_t UtcMs(Clock::time_point t, std::chrono::system_clock::duration offset) {
  const auto utc = t.time_since_epoch() + offset;
  return std::chrono::duration_cast<std::chrono::milliseconds>(utc).count();
}

constexpr int kExitDeviceLost = 4;
// After a row is due: the timer thread's own delay and its poll step.
constexpr auto kRowSlack = std::chrono::milliseconds(30);
// A row not there yet is looked for again this soon.
constexpr auto kRecheck = std::chrono::milliseconds(20);
constexpr auto kFirstRetry = std::chrono::seconds(1);
constexpr auto kLongestRetry = std::chrono::seconds(5);

std::chrono::system_clock::duration SystemOffset() {
  return std::chrono::system_clock::now().time_since_epoch() -
         std::chrono::duration_cast<std::chrono::system_clock::duration>(
             Clock::now().time_since_epoch());
}

class Reader {
 public:
  explicit Reader(const Options& o)
      : o_(o),
        sink_(o.outputPath, StopFlag()),
        status_(!o.quiet && isatty(2) == 1),
        acquisition_(o),
        watch_(DeviceOf(o)),
        tick_(std::chrono::milliseconds(o.periodMs)),
        blank_(acquisition_.channels(), 0),
        // Rows come once per row period, blank ones too while the device is
        // gone: a longer gap means the reading loop itself is stuck.
        service_(tick_ * o.ModuleCount() * 3) {
    metrics_.layout = LayoutOf(o);
    metrics_.deviceUp = false;  // until the run starts
    const auto rowPeriod = tick_ * o.ModuleCount();
    silentLimit_ = o.restartSilentS > 0
                       ? std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double>(o.restartSilentS))
                       : std::max<Clock::duration>(std::chrono::seconds(60),
                                                   rowPeriod * (o.missThreshold + 2));
    metrics_.rowPeriodMs = std::int64_t{o.periodMs} * o.ModuleCount();
    if (!o.alarms.empty())
      alarms_.emplace(o.alarms, metrics_.layout.modules, RelayWriter::PortAccess());
    if (alarms_) alarms_->UseLayout(&metrics_.layout);
  }

  int Run();
  void ClearStatus() { status_.Clear(); }

 private:
  void Publish();
  void StartRun();
  bool ReadRows();
  bool WriteBlankRows(Clock::time_point now);
  void Lose(const std::string& why, Clock::time_point now, bool silent);
  void TryReopen(Clock::time_point now);
  bool Emit(const std::uint16_t* values, Clock::time_point stored);
  bool CountReached() const { return o_.count != 0 && metrics_.rows >= o_.count; }
  void ShowStatus();
  void OnAlarms(std::int64_t utcMs, const std::uint16_t* values);
  void Reopen();

  const Options& o_;
  Sink sink_;
  StatusLine status_;
  Acquisition acquisition_;
  DeviceWatch watch_;
  const Clock::duration tick_;
  const std::vector<std::uint16_t> blank_;  // a row while the device is gone
  Clock::duration silentLimit_;
  MetricsSnapshot metrics_;
  ServiceNotify service_;
  std::unique_ptr<WebServer> server_;
  std::optional<RingRows> ring_;
  std::optional<RowSchedule> schedule_;
  std::uint64_t nextRow_ = 2;     // of the current schedule
  Clock::time_point readAt_;      // when to read the ring next
  Clock::time_point lastAnswer_;  // a module answered in a row due then
  Clock::time_point lostAt_;      // the device went
  Clock::time_point retryAt_;     // the next reopen
  Clock::duration retryPause_ = kFirstRetry;
  std::uint64_t droppedBefore_ = 0;  // by runs before the current one
  std::chrono::system_clock::duration offset_{};
  std::unique_ptr<PlantOutputs> plant_;  // --mqtt, --modbus
  std::optional<Alarms> alarms_;
  std::string text_;
  bool started_ = false;
  bool done_ = false;  // the count is reached, or the output has ended
  bool textfileFailing_ = false;
  // Restarts for silence since a module last answered: only the first is told.
  unsigned silentRestarts_ = 0;
};

void Reader::Publish() {
  if (!server_ && o_.textfile.empty()) return;
  metrics_.dropped = droppedBefore_ + (ring_ ? ring_->dropped() : 0);
  if (plant_) plant_->AddTo(metrics_);
  if (alarms_) {
    metrics_.extra.clear();
    alarms_->AppendExposition(metrics_.extra, metrics_.layout.port);
  }
  const std::string exposition = Exposition(metrics_);
  if (server_) server_->Publish(exposition);
  if (o_.textfile.empty()) return;
  try {
    WriteFileAtomically(o_.textfile, exposition);
    textfileFailing_ = false;
  } catch (const OutputError& e) {
    if (!started_) throw;  // at the start: the file cannot be kept at all
    if (!textfileFailing_) {
      status_.Clear();
      std::fprintf(stderr, "wexread: %s\n", e.what());
    }
    textfileFailing_ = true;
  }
}

void Reader::ShowStatus() {
  const unsigned modules = static_cast<unsigned>(metrics_.layout.modules.size());
  unsigned answering = 0;
  for (unsigned k = 0; k < modules && !metrics_.latest.empty(); ++k)
    answering += ModuleAnswering(metrics_.latest.data() + k * kChannelsPerModule) ? 1 : 0;
  service_.OnRows(metrics_.rows, metrics_.dropped, answering, modules);
  if (!status_.enabled()) return;
  status_.Show("rows " + std::to_string(metrics_.rows) + ", dropped " +
               std::to_string(metrics_.dropped) + ", modules answering " +
               (metrics_.latest.empty() ? std::string("-") : std::to_string(answering)) + "/" +
               std::to_string(modules) + (metrics_.deviceUp ? "" : ", device gone"));
}

// Every row written goes through here to every output: the file or standard
// output, the web page's rows and the metrics.
bool Reader::Emit(const std::uint16_t* values, Clock::time_point stored) {
  const Row row{UtcMs(stored, offset_), values};
  text_.clear();
  AppendRowText(text_, o_.format, metrics_.layout, row);
  if (sink_.isTerminal()) status_.Clear();
  if (sink_.Write(text_) != Sink::Result::Written) return false;
  if (server_) server_->AddRow(row.utcMs, values);
  metrics_.latest.assign(values, values + acquisition_.channels());
  metrics_.latestUtcMs = row.utcMs;
  ++metrics_.rows;
  if (plant_) plant_->Row(row.utcMs, values, metrics_.rows);
  if (alarms_) OnAlarms(row.utcMs, values);
  return true;
}

// Each change: its line on standard error (the journal under systemd), its
// event on the pages; the engine has already set the relays and started the
// programs.
void Reader::OnAlarms(std::int64_t utcMs, const std::uint16_t* values) {
  const auto& changes = alarms_->Feed(utcMs, values);
  if (changes.empty()) return;
  status_.Clear();
  for (const auto& change : changes) {
    std::fputs(alarms_->LogLine(change).c_str(), stderr);
    if (server_) server_->PublishAlarm(alarms_->EventJson(change), alarms_->StateJson());
  }
}

// Log rotation: the file was moved away; the rows from here on go to a new
// one under the name (with the CSV header). Every row is written whole to one
// file or the other, from this thread only: none is lost or written twice.
void Reader::Reopen() {
  try {
    if (sink_.Reopen() && o_.format == Format::Csv && sink_.isNew())
      sink_.Write(HeaderText(o_.format, metrics_.layout));
  } catch (const OutputError& e) {
    status_.Clear();
    std::fprintf(stderr, "wexread: %s (the rows go on to the file opened before)\n", e.what());
  }
}

void Reader::StartRun() {
  acquisition_.Start();
  const auto started = Clock::now();
  watch_.Opened();
  if (ring_) droppedBefore_ += ring_->dropped();
  ring_.emplace(acquisition_.ringRows());
  schedule_.emplace(tick_, o_.ModuleCount(), started);
  nextRow_ = 2;  // the first row is never written
  readAt_ = schedule_->RowTime(nextRow_) + kRowSlack;
  lastAnswer_ = started;
  metrics_.deviceUp = true;
}

// Writes the rows stored since the last read. False once no more rows are
// wanted.
bool Reader::ReadRows() {
  const auto before = Clock::now();
  const auto record = acquisition_.Read();
  const auto update = ring_->Advance(record.pass, record.newestPosition);
  schedule_->Observe(before, update.stored);
  // A stepped system clock moves the rows' UTC times; a slewed one does not.
  const auto offset = SystemOffset();
  if (offset - offset_ > std::chrono::milliseconds(50) ||
      offset_ - offset > std::chrono::milliseconds(50))
    offset_ = offset;
  if (update.dropped != 0 && !status_.enabled()) {
    std::fprintf(stderr, "wexread: %llu rows lost: the library's ring was overwritten\n",
                 static_cast<unsigned long long>(update.dropped));
  }
  const unsigned modules = o_.ModuleCount();
  for (std::uint64_t row = update.firstNew; row <= update.stored; ++row) {
    if (CountReached()) return false;
    const std::uint16_t* values = acquisition_.RecordRow(ring_->RecordIndex(row));
    const auto due = schedule_->RowTime(row);
    for (unsigned k = 0; k < modules; ++k) {
      if (ModuleAnswering(values + k * kChannelsPerModule)) {
        lastAnswer_ = std::max(lastAnswer_, due);
        silentRestarts_ = 0;
        break;
      }
    }
    if (!Emit(values, due)) return false;
  }
  if (update.stored >= nextRow_) {
    nextRow_ = update.stored + 1;
    readAt_ = schedule_->RowTime(nextRow_) + kRowSlack;
  } else {
    readAt_ = Clock::now() + kRecheck;  // not there yet
  }
  Publish();
  ShowStatus();
  return !CountReached();
}

// Rows without values for every row due while the device is gone.
bool Reader::WriteBlankRows(Clock::time_point now) {
  bool wrote = false;
  while (schedule_->RowTime(nextRow_) <= now) {
    if (CountReached()) return false;
    if (!Emit(blank_.data(), schedule_->RowTime(nextRow_))) return false;
    ++nextRow_;
    wrote = true;
  }
  if (wrote) {
    Publish();
    ShowStatus();
  }
  return !CountReached();
}

void Reader::Lose(const std::string& why, Clock::time_point now, bool silent) {
  silentRestarts_ = silent ? silentRestarts_ + 1 : 0;
  status_.Clear();
  if (silentRestarts_ <= 1) {
    std::fprintf(stderr,
                 silent ? "wexread: %s: restarting the run on %s\n"
                        : "wexread: %s: rows carry no values until it is back; reopening %s\n",
                 why.c_str(), watch_.path().c_str());
  }
  try {
    acquisition_.Stop();
  } catch (const LibraryError& e) {
    std::fprintf(stderr, "wexread: %s\n", e.what());
  }
  lostAt_ = now;
  retryPause_ = kFirstRetry;
  retryAt_ = now + retryPause_;
  metrics_.deviceUp = false;
  Publish();
  ShowStatus();
}

void Reader::TryReopen(Clock::time_point now) {
  try {
    StartRun();
  } catch (const LibraryError&) {
    retryPause_ = std::min<Clock::duration>(retryPause_ * 2, kLongestRetry);
    retryAt_ = now + retryPause_;
    return;
  }
  ++metrics_.reconnects;
  status_.Clear();
  if (silentRestarts_ <= 1) {
    std::fprintf(stderr, "wexread: %s is back after %.1f s: reading again\n", watch_.path().c_str(),
                 std::chrono::duration<double>(now - lostAt_).count());
  }
  Publish();
  ShowStatus();
}

int Reader::Run() {
  const auto rowPeriod = tick_ * o_.ModuleCount();
  if (o_.listen) {
    server_ = std::make_unique<WebServer>(
        *o_.listen, metrics_.layout,
        std::chrono::duration_cast<std::chrono::milliseconds>(rowPeriod));
    const bool v6 = o_.listen->host.find(':') != std::string::npos;
    char base[300];
    std::snprintf(base, sizeof base, "http://%s%s%s:%d", v6 ? "[" : "", o_.listen->host.c_str(),
                  v6 ? "]" : "", server_->port());
    std::fprintf(stderr, "wexread: metrics at %s/metrics\n", base);
    std::fprintf(stderr, "wexread: live page at %s/ (six hours of rows kept: %zu KiB)\n", base,
                 (server_->historyBytes() + 1023) / 1024);
  }
  // In the run's unit, with the config file's channel names.
  std::vector<std::string> names;
  for (std::size_t i = 0; i < acquisition_.channels(); ++i)
    names.push_back(metrics_.layout.NameOf(i));
  const TemperatureUnit unit = metrics_.layout.unit == Unit::Fahrenheit ? TemperatureUnit::F
                               : metrics_.layout.unit == Unit::Kelvin   ? TemperatureUnit::K
                                                                        : TemperatureUnit::C;
  plant_ = PlantOutputs::Start(o_, metrics_.layout, unit, names);
  if (alarms_ && !alarms_->StartNote().empty()) std::fputs(alarms_->StartNote().c_str(), stderr);
  if (server_ && alarms_) server_->PublishAlarm({}, alarms_->StateJson());
  Publish();

  offset_ = SystemOffset();
  StartRun();
  started_ = true;
  // Every thread is started: from here on the stop signals come to this one.
  ReceiveStopRequests();
  // After the start, which may be refused: no header without rows to follow.
  if (o_.format == Format::Table || (o_.format == Format::Csv && sink_.isNew())) {
    if (sink_.Write(HeaderText(o_.format, metrics_.layout)) != Sink::Result::Written) return 0;
  }
  if (status_.enabled()) {
    char firstRow[32];
    std::snprintf(firstRow, sizeof firstRow, "%.1f s",
                  std::chrono::duration<double>(rowPeriod * 2).count());
    status_.Show("reading " + std::to_string(o_.ModuleCount()) + " module(s) on COM" +
                 std::to_string(o_.port) + "; the first row comes in about " + firstRow);
  }

  const auto begun = Clock::now();
  // Never, unless asked for: far enough not to overflow when added to.
  constexpr auto kNever = std::chrono::hours(24 * 365 * 100);
  const Clock::time_point deadline =
      begun + (o_.durationS > 0 ? std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(o_.durationS))
                                : Clock::duration(kNever));
  const Clock::duration exitOnLoss = o_.exitOnLossS
                                         ? std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(*o_.exitOnLossS))
                                         : Clock::duration(kNever);

  while (!StopRequested() && !done_) {
    if (TakeReopenRequest()) Reopen();
    service_.Tick();
    auto now = Clock::now();
    if (now >= deadline) break;
    const bool running = acquisition_.running();
    Clock::time_point target = running ? readAt_ : std::min(schedule_->RowTime(nextRow_), retryAt_);
    if (!running) target = std::min(target, lostAt_ + exitOnLoss);
    target = std::min(target, deadline);
    if (target > now) {
      // The watchdog's ping may be due before the target.
      const auto tick = service_.untilTick();
      const auto until = tick ? std::min(target, now + *tick) : target;
      // A signal: SIGHUP's reopen and the loop goes on; the others end it.
      if (WaitForStop(until)) continue;
      now = Clock::now();
      if (now < target) continue;
    }
    if (now >= deadline) break;

    if (running) {
      if (const auto why = watch_.Lost()) {
        Lose(*why, now, false);
        continue;
      }
      if (!ReadRows()) {
        done_ = true;
        break;
      }
      if (Clock::now() - lastAnswer_ >= silentLimit_) {
        char why[96];
        std::snprintf(why, sizeof why, "no module has answered for %.0f s",
                      std::chrono::duration<double>(Clock::now() - lastAnswer_).count());
        Lose(why, Clock::now(), true);
      }
      continue;
    }
    if (!WriteBlankRows(now)) {
      done_ = true;
      break;
    }
    if (now - lostAt_ >= exitOnLoss) {
      status_.Finish();
      std::fprintf(stderr, "wexread: %s has been gone for %.1f s: ending (--exit-on-loss)\n",
                   watch_.path().c_str(), std::chrono::duration<double>(now - lostAt_).count());
      server_.reset();
      return kExitDeviceLost;
    }
    if (now >= retryAt_) TryReopen(now);
  }

  // The rows stored before the stop are still in the ring.
  if (acquisition_.running()) {
    acquisition_.Stop();
    if (!done_) ReadRows();
  }
  service_.Stopping();
  status_.Finish();
  const std::uint64_t dropped = droppedBefore_ + ring_->dropped();
  if (dropped != 0 && !status_.enabled()) {
    std::fprintf(stderr, "wexread: %llu rows in all were lost\n",
                 static_cast<unsigned long long>(dropped));
  }
  server_.reset();
  plant_.reset();
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

  std::unique_ptr<Reader> reader;
  try {
    // Before any thread exists, so that every thread started from here on
    // inherits the mask and only this one takes the signals.
    InstallStopHandlers();
    if (!o.device.empty()) NamePortDevice(o.port, o.device);
    reader = std::make_unique<Reader>(o);
    return reader->Run();
  } catch (const LibraryError& e) {
    if (reader) reader->ClearStatus();
    std::string message = e.what();
    if (e.code() == WEXLINK_E_PORT)
      message += " (COM" + std::to_string(o.port) + " is " + DeviceOf(o) +
                 "): " + DiagnosePortOpen(DeviceOf(o));
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
