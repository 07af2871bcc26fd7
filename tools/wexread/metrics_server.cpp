#include "metrics_server.h"

#include <httplib.h>

#include <mutex>
#include <thread>

#include "output.h"

namespace wexread {

struct MetricsServer::Impl {
  httplib::Server server;
  std::thread thread;
  std::mutex mutex;
  std::string exposition;
  int port = 0;
};

MetricsServer::MetricsServer(const ListenAddress& address) : impl_(std::make_unique<Impl>()) {
  Impl& impl = *impl_;
  // Two workers are plenty for a scraper or two; a short keep-alive lets a stop
  // end idle connections soon.
  impl.server.new_task_queue = [] { return new httplib::ThreadPool(2); };
  impl.server.set_keep_alive_timeout(1);
  impl.server.set_read_timeout(5);
  impl.server.set_write_timeout(5);
  impl.server.Get("/metrics", [&impl](const httplib::Request&, httplib::Response& response) {
    std::string text;
    {
      std::lock_guard lock(impl.mutex);
      text = impl.exposition;
    }
    response.set_content(text, "text/plain; version=0.0.4; charset=utf-8");
  });
  impl.server.Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("wexread: the metrics are at /metrics\n", "text/plain; charset=utf-8");
  });

  if (address.port == 0) {
    impl.port = impl.server.bind_to_any_port(address.host);
  } else if (impl.server.bind_to_port(address.host, address.port)) {
    impl.port = address.port;
  } else {
    impl.port = -1;
  }
  if (impl.port <= 0)
    throw OutputError("cannot listen on " + address.host + " port " + std::to_string(address.port) +
                      " (address in use, or not an address of this machine)");
  impl.thread = std::thread([&impl] { impl.server.listen_after_bind(); });
  // A stop before the loop runs would be lost and the join would wait forever.
  for (int i = 0; i < 2000 && !impl.server.is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

MetricsServer::~MetricsServer() {
  impl_->server.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

int MetricsServer::port() const { return impl_->port; }

void MetricsServer::Publish(std::string exposition) {
  std::lock_guard lock(impl_->mutex);
  impl_->exposition = std::move(exposition);
}

}  // namespace wexread
