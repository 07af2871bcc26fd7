// wexread under systemd (Type=notify): READY=1 once the first row is stored,
// STATUS= with the rows and the modules answering, WATCHDOG=1 from the
// reader's loop at half the watchdog interval, and STOPPING=1 at the end.
// Outside systemd (no NOTIFY_SOCKET) every call does nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace wexread {

class ServiceNotify {
 public:
  using Clock = std::chrono::steady_clock;

  // `rowGap`: the longest a healthy run goes without storing a row (the
  // library hands rows out five at a time). Reads the environment.
  explicit ServiceNotify(Clock::duration rowGap);

  // After each batch of rows stored: READY=1 with the first, and the status.
  void OnRows(std::uint64_t rows, std::uint64_t dropped, unsigned answering, unsigned modules);

  // From the reader's loop, again within untilTick(): WATCHDOG=1 when it is
  // due, unless no row has come for far longer than `rowGap` (the
  // acquisition has stalled: systemd then restarts the service). Before the
  // first row it also extends the start's time-out, which rows five periods
  // away may exceed.
  void Tick();

  // How long the loop may wait before the next Tick; nullopt: no watchdog.
  std::optional<Clock::duration> untilTick() const;

  void Stopping();

 private:
  bool enabled_ = false;
  std::optional<Clock::duration> watchdog_;
  Clock::duration rowGap_;
  Clock::time_point lastRows_;
  Clock::time_point lastPing_;
  bool ready_ = false;
};

}  // namespace wexread
