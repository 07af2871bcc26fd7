// The HTTP endpoint of --listen: GET /metrics answers with the newest
// Prometheus exposition; GET / is the live page (every module's figures and a
// trend plot), fed by /history?minutes=N (the rows kept, as JSON), /alarms (the alarms'
// state) and /events (each new row, and each alarm change as an "alarm"
// event, as a Server-Sent Event). Everything is read-only.
//
// One thread serves every connection without blocking on any of them, and
// every client is bounded: the request head in bytes, fields and time, no
// request body, connections in all and per client address, the idle time
// between requests, and the time a reply may take to be taken. A stop closes
// every connection at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "options.h"
#include "readings.h"

namespace wexread {

struct WebLimits {
  std::size_t connections = 128;  // open at once, in all
  std::size_t perClient = 48;     // open at once from one address
  std::size_t headBytes = 8192;   // request line and fields together
  std::size_t headFields = 64;
  std::chrono::milliseconds idle{5000};       // for the first byte of a request
  std::chrono::milliseconds headTime{10000};  // from that byte to the whole head
  std::chrono::milliseconds sendTime{10000};  // for a reply, or one event, to be taken
  std::size_t pages = 16;                     // /events streams open at once
  std::size_t historyReplies = 2;             // /history replies in flight at once
};

class WebServer {
 public:
  // Binds at once (throws OutputError when it cannot, "address in use" among
  // the reasons) and serves from a thread of its own, started here: block the
  // signals the main thread handles before constructing it. The rows of the
  // last six hours are kept from the start: the ring for them is allocated here.
  WebServer(const ListenAddress& address, const RunLayout& layout,
            std::chrono::milliseconds rowPeriod, const WebLimits& limits = WebLimits());
  ~WebServer();  // closes every connection and joins the thread
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  int port() const;  // the bound port (the chosen one for port 0)
  void Publish(std::string exposition);

  // Keeps the row and sends it to every page connected; never waits for one.
  void AddRow(std::int64_t utcMs, const std::uint16_t* values);

  // An alarm change (`event`, JSON) to every page as an "alarm" event, and the
  // alarms' state (JSON) that GET /alarms answers with from now on; an empty
  // `event` sets the state only.
  void PublishAlarm(const std::string& event, std::string state);

  std::size_t historyBytes() const;

  class Impl;  // the server's state and its handlers (web_server.cpp)

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace wexread
