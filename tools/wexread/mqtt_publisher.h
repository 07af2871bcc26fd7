// Rows to an MQTT broker: a plain number per channel, up/down per module and
// the JSON line of each module, with Home Assistant discovery configs and a
// retained availability topic whose "offline" is also the will.
//
// Publish() copies the row into a bounded queue and returns: a thread of the
// publisher's own takes rows out and hands them to libmosquitto, whose
// network thread sends them and reconnects with a growing delay. While the
// broker is away or slow, the queue drops its oldest rows and counts them;
// the run never waits for the broker.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "plant_units.h"
#include "readings.h"

struct mosquitto;

namespace wexread {

struct MqttSettings {
  std::string host;
  int port = 1883;
  bool tls = false;    // mqtts://
  std::string caFile;  // --mqtt-ca; empty with TLS: the system's certificates
  std::string user;
  std::string password;
  std::string prefix = "wexlink";
  std::string nodeId;        // empty: this machine's host name
  std::string manufacturer;  // empty: left out of the discovery configs
};

// "mqtt://[user[:password]@]HOST[:PORT]" or "mqtts://...": the broker part of
// `settings`; otherwise an error text.
std::optional<std::string> ParseMqttUrl(const std::string& url, MqttSettings& settings);

// The first line of FILE (opened without following a symbolic link, at most
// 4 KiB): the broker password. Throws std::runtime_error.
std::string ReadPasswordFile(const std::string& path);

// Topics and discovery configs, apart from the connection so that they can be
// checked alone.
struct MqttTopics {
  MqttTopics(const MqttSettings& settings, const RunLayout& layout);
  std::string node;                     // host name or node id, made topic- and id-safe
  std::string base;                     // <prefix>/<node>/com<port>
  std::string availability;             // <base>/availability: online / offline
  std::vector<std::string> modules;     // <base>/<A1A2>: /up, /row, /ch<c> below
  std::vector<std::string> moduleKeys;  // "0100"
};

// Discovery topic and retained config of each channel, in channel order.
std::vector<std::pair<std::string, std::string>> DiscoveryConfigs(
    const MqttSettings& settings, const RunLayout& layout, const MqttTopics& topics,
    TemperatureUnit unit, const std::vector<std::string>& channelNames);

class MqttPublisher {
 public:
  static constexpr std::size_t kMaxQueuedRows = 1000;
  static constexpr std::size_t kMaxUnacknowledged = 512;  // QoS 1 messages in flight

  // Starts connecting in the background; throws std::runtime_error when the
  // client cannot be set up (bad TLS file, no library). `channelNames`:
  // one per channel (8 per module) or empty.
  MqttPublisher(MqttSettings settings, RunLayout layout, TemperatureUnit unit,
                std::vector<std::string> channelNames);
  // Sends the rows still queued and "offline", and disconnects: waits at
  // most about two seconds for a broker that does not take them.
  ~MqttPublisher();
  MqttPublisher(const MqttPublisher&) = delete;
  MqttPublisher& operator=(const MqttPublisher&) = delete;

  // Queues one row (8 values per module); never waits for the broker.
  void Publish(std::int64_t utcMs, const std::uint16_t* values);

  struct Counters {
    std::uint64_t rowsPublished = 0;
    std::uint64_t rowsDropped = 0;
    std::uint64_t connects = 0;
    bool connected = false;
  };
  Counters counters() const;

 private:
  struct QueuedRow {
    std::int64_t utcMs;
    std::vector<std::uint16_t> values;
  };
  bool Connect();
  void Run();
  void Announce();
  void Send(const QueuedRow& row);
  void PublishOne(const std::string& topic, const std::string& payload, bool retain);
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnPublish(mosquitto*, void* self, int mid);

  const MqttSettings settings_;
  const RunLayout layout_;
  const TemperatureUnit unit_;
  const std::vector<std::string> channelNames_;
  const MqttTopics topics_;
  mosquitto* mosq_ = nullptr;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<QueuedRow> queue_;
  std::unordered_set<int> unacknowledged_;
  bool stop_ = false;
  bool announce_ = false;  // connected again: configs and availability first
  bool connected_ = false;
  bool sending_ = false;      // a row taken out of the queue is being handed over
  bool loopStarted_ = false;  // written by the thread, read after it ends
  std::uint64_t rowsPublished_ = 0;
  std::uint64_t rowsDropped_ = 0;
  std::uint64_t connects_ = 0;
  int offlineMid_ = -1;
  bool offlineAcknowledged_ = false;
  std::thread thread_;
};

}  // namespace wexread
