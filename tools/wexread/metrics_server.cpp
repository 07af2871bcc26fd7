#include "metrics_server.h"

#include <httplib.h>

#include <charconv>
#include <nlohmann/json.hpp>
#include <mutex>
#include <thread>

#include "event_hub.h"
#include "history.h"
#include "output.h"
#include "web_assets.h"

namespace wexread {
namespace {

// Each page holds an /events stream, and with it one of the pool's threads;
// the few left over answer /metrics and the page's other requests.
constexpr std::size_t kMaxPages = 16;
constexpr std::size_t kSpareThreads = 4;
// Rows a page may fall behind by before it is dropped (its browser then
// reconnects): minutes of rows at any row period.
constexpr std::size_t kPageQueueRows = 256;
constexpr auto kKeepAlive = std::chrono::seconds(15);

}  // namespace

struct MetricsServer::Impl {
  Impl(const RunLayout& runLayout, std::chrono::milliseconds period)
      : layout(runLayout),
        rowPeriod(period),
        channels(static_cast<unsigned>(runLayout.modules.size()) * kChannelsPerModule),
        history(channels, period, &layout),
        hub(kMaxPages, kPageQueueRows) {}

  httplib::Server server;
  std::thread thread;
  std::mutex mutex;
  std::string exposition;
  int port = 0;
  RunLayout layout;
  std::chrono::milliseconds rowPeriod;
  unsigned channels;
  History history;
  EventHub hub;
  std::string text;  // the reader's, reused for every event
};

MetricsServer::MetricsServer(const ListenAddress& address, const RunLayout& layout,
                             std::chrono::milliseconds rowPeriod)
    : impl_(std::make_unique<Impl>(layout, rowPeriod)) {
  Impl& impl = *impl_;
  // A short keep-alive lets a stop end idle connections soon.
  impl.server.new_task_queue = [] { return new httplib::ThreadPool(kMaxPages + kSpareThreads); };
  impl.server.set_keep_alive_timeout(1);
  impl.server.set_read_timeout(5);
  // A browser that takes no bytes for this long is given up.
  impl.server.set_write_timeout(5);
  impl.server.Get("/metrics", [&impl](const httplib::Request&, httplib::Response& response) {
    std::string text;
    {
      std::lock_guard lock(impl.mutex);
      text = impl.exposition;
    }
    response.set_content(text, "text/plain; version=0.0.4; charset=utf-8");
  });
  for (std::size_t i = 0; i < kWebAssetCount; ++i) {
    const WebAsset& asset = kWebAssets[i];
    impl.server.Get(asset.path, [&asset](const httplib::Request&, httplib::Response& response) {
      response.set_content(reinterpret_cast<const char*>(asset.data), asset.size, asset.type);
      response.set_header("Cache-Control", "no-cache");
    });
  }
  impl.server.Get("/history", [&impl](const httplib::Request& request,
                                      httplib::Response& response) {
    int minutes = 60;
    if (request.has_param("minutes")) {
      const std::string text = request.get_param_value("minutes");
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), minutes);
      const int most = static_cast<int>(std::chrono::minutes(kHistorySpan).count());
      if (error != std::errc() || end != text.data() + text.size() || minutes < 1 ||
          minutes > most) {
        response.status = 400;
        response.set_content("minutes: a whole number from 1 to " + std::to_string(most) + "\n",
                             "text/plain; charset=utf-8");
        return;
      }
    }
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    nlohmann::ordered_json head;
    head["port"] = impl.layout.port;
    head["modules"] = impl.layout.modules;
    auto names = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < impl.channels; ++i) {
      const std::string& name = impl.layout.NameOf(i);
      if (name.empty())
        names.push_back(nullptr);
      else
        names.push_back(name);
    }
    head["names"] = std::move(names);
    head["unit"] = UnitSymbol(impl.layout.unit);
    head["rowPeriodMs"] = impl.rowPeriod.count();
    head["now"] = now.count();
    // The rows kept, already JSON, as the last member.
    std::string body = head.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    body.pop_back();
    body += ",\"rows\":" + impl.history.JsonSince((now - std::chrono::minutes(minutes)).count()) +
            '}';
    response.set_content(body, "application/json");
    response.set_header("Cache-Control", "no-store");
  });
  impl.server.Get("/events", [&impl](const httplib::Request&, httplib::Response& response) {
    auto client = impl.hub.Join();
    if (!client) {
      response.status = 503;
      response.set_content("too many pages connected\n", "text/plain; charset=utf-8");
      return;
    }
    response.set_header("Cache-Control", "no-store");
    response.set_chunked_content_provider(
        "text/event-stream",
        [&impl, client, first = true](std::size_t, httplib::DataSink& sink) mutable {
          if (first) {
            first = false;
            // The browser reconnects by itself this long after losing us.
            static constexpr char kHello[] = "retry: 2000\n\n";
            return sink.write(kHello, sizeof kHello - 1);
          }
          EventHub::Event event;
          switch (impl.hub.Wait(*client, event, kKeepAlive)) {
            case EventHub::Next::Event:
              return sink.write(event->data(), event->size());
            case EventHub::Next::Idle:
              // A comment: keeps proxies from closing the stream, and finds a
              // browser that has gone.
              return sink.write(":\n\n", 3);
            case EventHub::Next::Ended:
              break;
          }
          return false;
        },
        [&impl, client](bool) { impl.hub.Leave(client); });
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
  impl_->hub.Close();  // the streams' threads return to the pool, which is joined
  impl_->server.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

int MetricsServer::port() const { return impl_->port; }

void MetricsServer::Publish(std::string exposition) {
  std::lock_guard lock(impl_->mutex);
  impl_->exposition = std::move(exposition);
}

void MetricsServer::AddRow(std::int64_t utcMs, const std::uint16_t* values) {
  Impl& impl = *impl_;
  impl.history.Add(utcMs, values);
  impl.text = "data: ";
  AppendRowJson(impl.text, utcMs, values, impl.channels, &impl.layout);
  impl.text += "\n\n";
  impl.hub.Publish(impl.text);
}

std::size_t MetricsServer::historyBytes() const { return impl_->history.bytes(); }

}  // namespace wexread
