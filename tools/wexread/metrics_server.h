// The Prometheus endpoint: GET /metrics answers with the newest exposition,
// served by a small pool of threads of the HTTP library.
#pragma once

#include <memory>
#include <string>

#include "options.h"

namespace wexread {

class MetricsServer {
 public:
  // Binds at once (throws OutputError when it cannot) and serves from threads
  // of its own, started here: block the signals the main thread handles
  // before constructing it.
  explicit MetricsServer(const ListenAddress& address);
  ~MetricsServer();  // stops serving and joins the threads
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  int port() const;  // the bound port (the chosen one for port 0)
  void Publish(std::string exposition);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace wexread
