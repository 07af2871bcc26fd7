// The HTTP endpoint of --listen, served by a pool of threads of the HTTP
// library: GET /metrics answers with the newest Prometheus exposition; GET /
// is the live page (every module's figures and a trend plot), fed by
// /history?minutes=N (the rows kept, as JSON), /events (each new row as a
// Server-Sent Event, each alarm change as an "alarm" event) and /alarms. Everything is read-only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "options.h"
#include "readings.h"

namespace wexread {

class MetricsServer {
 public:
  // Binds at once (throws OutputError when it cannot) and serves from threads
  // of its own, started here: block the signals the main thread handles
  // before constructing it. The rows of the last six hours are kept from the
  // start: the ring for them is allocated here.
  MetricsServer(const ListenAddress& address, const RunLayout& layout,
                std::chrono::milliseconds rowPeriod);
  ~MetricsServer();  // ends the event streams, stops serving, joins the threads
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  int port() const;  // the bound port (the chosen one for port 0)
  void Publish(std::string exposition);

  // Keeps the row and sends it to every page connected; never waits for one.
  void AddRow(std::int64_t utcMs, const std::uint16_t* values);

  // An alarm change (`event`, JSON) to every page as an "alarm" event, and the
  // alarms' state (JSON) that GET /alarms answers with from now on; an empty
  // `event` sets the state only.
  void PublishAlarm(const std::string& event, std::string state);

  std::size_t historyBytes() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace wexread
