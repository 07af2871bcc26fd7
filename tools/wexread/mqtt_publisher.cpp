#include "mqtt_publisher.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace wexread {
namespace {

constexpr int kKeepaliveS = 30;
constexpr unsigned kReconnectFirstS = 1;
constexpr unsigned kReconnectMostS = 30;
constexpr auto kOfflineWait = std::chrono::seconds(2);

// Letters, digits, '_' and '-': what a discovery topic level and an id may hold.
std::string Safe(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-';
    out += ok ? c : '_';
  }
  return out.empty() ? "_" : out;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

struct LibraryInit {
  LibraryInit() { mosquitto_lib_init(); }
};

}  // namespace

std::optional<std::string> ParseMqttUrl(const std::string& url, MqttSettings& s) {
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) {
    rest = url.substr(7);
    s.tls = false;
  } else if (url.rfind("mqtts://", 0) == 0) {
    rest = url.substr(8);
    s.tls = true;
  } else {
    return "'" + url + "' is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  const auto at = rest.rfind('@');
  if (at != std::string::npos) {
    const std::string credentials = rest.substr(0, at);
    rest = rest.substr(at + 1);
    const auto colon = credentials.find(':');
    s.user = credentials.substr(0, colon);
    if (colon != std::string::npos) s.password = credentials.substr(colon + 1);
    if (s.user.empty()) return std::string("the user name before '@' is empty");
  }
  std::string portText;
  if (!rest.empty() && rest.front() == '[') {
    const auto close = rest.find(']');
    if (close == std::string::npos) return std::string("an IPv6 address lacks its ']'");
    s.host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') return std::string("junk after the ']'");
      portText = rest.substr(close + 2);
    }
  } else {
    const auto colon = rest.find(':');
    s.host = rest.substr(0, colon);
    if (colon != std::string::npos) portText = rest.substr(colon + 1);
  }
  if (s.host.empty() || s.host.find_first_of("/?#") != std::string::npos)
    return "no broker host in '" + url + "'";
  s.port = s.tls ? 8883 : 1883;
  if (!portText.empty() || rest.back() == ':') {
    if (portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos || std::stoi(portText) < 1 ||
        std::stoi(portText) > 65535)
      return "'" + portText + "' is not a port number";
    s.port = std::stoi(portText);
  }
  return std::nullopt;
}

std::string ReadPasswordFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) throw std::runtime_error(path + ": " + std::strerror(errno));
  char buffer[4096];
  std::size_t size = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer + size, sizeof buffer - size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size += static_cast<std::size_t>(n);
    if (size == sizeof buffer) break;
  }
  ::close(fd);
  std::string text(buffer, size);
  text = text.substr(0, text.find('\n'));
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

MqttTopics::MqttTopics(const MqttSettings& s, const RunLayout& layout)
    : node(Safe(s.nodeId.empty() ? HostName() : s.nodeId)) {
  base = s.prefix + "/" + node + "/com" + std::to_string(layout.port);
  availability = base + "/availability";
  for (const auto& name : layout.modules) {
    std::string key;
    for (const char c : name)
      if (c != ':') key += c;
    moduleKeys.push_back(key);
    modules.push_back(base + "/" + key);
  }
}

std::vector<std::pair<std::string, std::string>> DiscoveryConfigs(
    const MqttSettings& s, const RunLayout& layout, const MqttTopics& t, TemperatureUnit unit,
    const std::vector<std::string>& channelNames) {
  std::vector<std::pair<std::string, std::string>> out;
  const std::string port = "com" + std::to_string(layout.port);
  for (std::size_t m = 0; m < layout.modules.size(); ++m) {
    nlohmann::json device = {
        {"identifiers", {"wexlink_" + t.node + "_" + port + "_" + t.moduleKeys[m]}},
        {"name",
         "W316 " + layout.modules[m] + " on " + t.node + " COM" + std::to_string(layout.port)},
        {"model", "W316"}};
    if (!s.manufacturer.empty()) device["manufacturer"] = s.manufacturer;
    for (unsigned c = 0; c < kChannelsPerModule; ++c) {
      const std::size_t index = m * kChannelsPerModule + c;
      const std::string objectId = port + "_" + t.moduleKeys[m] + "_ch" + std::to_string(c);
      const bool named = index < channelNames.size() && !channelNames[index].empty();
      const nlohmann::json config = {
          {"name", named ? channelNames[index]
                         : "COM" + std::to_string(layout.port) + " " + layout.modules[m] + " ch" +
                               std::to_string(c)},
          {"unique_id", "wexlink_" + t.node + "_" + objectId},
          {"state_topic", t.modules[m] + "/ch" + std::to_string(c)},
          {"device_class", "temperature"},
          {"unit_of_measurement", UnitSymbol(unit)},
          {"state_class", "measurement"},
          {"availability_topic", t.availability},
          {"device", device}};
      out.emplace_back("homeassistant/sensor/" + t.node + "/" + objectId + "/config",
                       config.dump());
    }
  }
  return out;
}

MqttPublisher::MqttPublisher(MqttSettings settings, RunLayout layout, TemperatureUnit unit,
                             std::vector<std::string> channelNames)
    : settings_(std::move(settings)),
      layout_(std::move(layout)),
      unit_(unit),
      channelNames_(std::move(channelNames)),
      topics_(settings_, layout_) {
  static LibraryInit init;
  const std::string clientId = "wexread-" + topics_.node + "-com" + std::to_string(layout_.port);
  mosq_ = mosquitto_new(clientId.c_str(), true, this);
  if (mosq_ == nullptr) throw std::runtime_error("MQTT: cannot make a client");
  auto fail = [&](const std::string& what, int rc) {
    mosquitto_destroy(mosq_);
    throw std::runtime_error("MQTT: " + what + ": " + mosquitto_strerror(rc));
  };
  int rc;
  if (!settings_.user.empty() &&
      (rc = mosquitto_username_pw_set(
           mosq_, settings_.user.c_str(),
           settings_.password.empty() ? nullptr : settings_.password.c_str())) != MOSQ_ERR_SUCCESS)
    fail("user name", rc);
  if (settings_.tls) {
    const char* caFile = settings_.caFile.empty() ? nullptr : settings_.caFile.c_str();
    const char* caPath = caFile == nullptr ? "/etc/ssl/certs" : nullptr;
    if ((rc = mosquitto_tls_set(mosq_, caFile, caPath, nullptr, nullptr, nullptr)) !=
        MOSQ_ERR_SUCCESS)
      fail("TLS", rc);
  }
  if ((rc = mosquitto_will_set(mosq_, topics_.availability.c_str(), 7, "offline", 1, true)) !=
      MOSQ_ERR_SUCCESS)
    fail("will", rc);
  mosquitto_connect_callback_set(mosq_, &MqttPublisher::OnConnect);
  mosquitto_disconnect_callback_set(mosq_, &MqttPublisher::OnDisconnect);
  mosquitto_publish_callback_set(mosq_, &MqttPublisher::OnPublish);
  mosquitto_reconnect_delay_set(mosq_, kReconnectFirstS, kReconnectMostS, true);
  thread_ = std::thread(&MqttPublisher::Run, this);
}

MqttPublisher::~MqttPublisher() {
  // The rows still queued (the last of a counted run) and "offline" get
  // kOfflineWait together while the broker takes them.
  const auto deadline = std::chrono::steady_clock::now() + kOfflineWait;
  bool wasConnected;
  {
    std::unique_lock lock(mutex_);
    wake_.wait_until(lock, deadline, [&] {
      return !connected_ || (queue_.empty() && !sending_ && unacknowledged_.empty());
    });
    stop_ = true;
    wasConnected = connected_;
  }
  wake_.notify_all();
  thread_.join();
  if (!loopStarted_) {
    mosquitto_destroy(mosq_);
    return;
  }
  if (wasConnected) {
    int mid = -1;
    std::unique_lock lock(mutex_);
    // Held across the call so that the acknowledgement, which takes this
    // lock in its callback, cannot come before the id is known.
    if (mosquitto_publish(mosq_, &mid, topics_.availability.c_str(), 7, "offline", 1, true) ==
        MOSQ_ERR_SUCCESS) {
      offlineMid_ = mid;
      const auto least = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
      wake_.wait_until(lock, std::max(deadline, least),
                       [&] { return offlineAcknowledged_ || !connected_; });
    }
    lock.unlock();
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
  } else {
    // Perhaps inside a connect to an unreachable host: not waited for.
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, true);
  }
  mosquitto_destroy(mosq_);
}

void MqttPublisher::Publish(std::int64_t utcMs, const std::uint16_t* values) {
  QueuedRow row{utcMs, std::vector<std::uint16_t>(
                           values, values + layout_.modules.size() * kChannelsPerModule)};
  {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= kMaxQueuedRows) {
      queue_.pop_front();
      ++rowsDropped_;
    }
    queue_.push_back(std::move(row));
  }
  wake_.notify_one();
}

MqttPublisher::Counters MqttPublisher::counters() const {
  std::lock_guard lock(mutex_);
  return {rowsPublished_, rowsDropped_, connects_, connected_};
}

void MqttPublisher::OnConnect(mosquitto*, void* self, int rc) {
  auto* p = static_cast<MqttPublisher*>(self);
  {
    std::lock_guard lock(p->mutex_);
    if (rc != 0) return;
    p->connected_ = true;
    p->announce_ = true;
    ++p->connects_;
    // Messages of an earlier connection are either sent again by the
    // library or gone with the clean session: count from nought.
    p->unacknowledged_.clear();
  }
  p->wake_.notify_all();
}

void MqttPublisher::OnDisconnect(mosquitto*, void* self, int) {
  auto* p = static_cast<MqttPublisher*>(self);
  {
    std::lock_guard lock(p->mutex_);
    p->connected_ = false;
  }
  p->wake_.notify_all();
}

void MqttPublisher::OnPublish(mosquitto*, void* self, int mid) {
  auto* p = static_cast<MqttPublisher*>(self);
  {
    std::lock_guard lock(p->mutex_);
    p->unacknowledged_.erase(mid);
    if (mid == p->offlineMid_) p->offlineAcknowledged_ = true;
  }
  p->wake_.notify_all();
}

void MqttPublisher::PublishOne(const std::string& topic, const std::string& payload, bool retain) {
  int mid = -1;
  std::lock_guard lock(mutex_);
  if (mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                        payload.data(), 1, retain) == MOSQ_ERR_SUCCESS)
    unacknowledged_.insert(mid);
}

void MqttPublisher::Announce() {
  for (const auto& [topic, config] :
       DiscoveryConfigs(settings_, layout_, topics_, unit_, channelNames_))
    PublishOne(topic, config, true);
  PublishOne(topics_.availability, "online", true);
}

void MqttPublisher::Send(const QueuedRow& row) {
  std::string lines;
  AppendRowText(lines, Format::Jsonl, layout_, Row{row.utcMs, row.values.data()});
  std::size_t lineStart = 0;
  for (std::size_t m = 0; m < layout_.modules.size(); ++m) {
    const std::uint16_t* values = row.values.data() + m * kChannelsPerModule;
    const bool up = ModuleAnswering(values);
    const std::string& topic = topics_.modules[m];
    PublishOne(topic + "/up", up ? "up" : "down", true);
    std::string payload;
    for (unsigned c = 0; c < kChannelsPerModule; ++c) {
      payload.clear();
      // "None" is what Home Assistant takes for an unknown state.
      // The value every output shows: in the run's unit, calibrated.
      const auto value = up && IsTemperature(values[c])
                             ? ChannelValue(layout_, m * kChannelsPerModule + c, values[c])
                             : std::nullopt;
      if (value)
        AppendValue(payload, *value);
      else
        payload = "None";
      PublishOne(topic + "/ch" + std::to_string(c), payload, false);
    }
    const std::size_t lineEnd = lines.find('\n', lineStart);
    PublishOne(topic + "/row", lines.substr(lineStart, lineEnd - lineStart), false);
    lineStart = lineEnd + 1;
  }
}

// The first connection, tried again with a growing delay while it fails at
// once (a broker not running yet): libmosquitto's network thread reconnects
// only a connection that has been made or begun.
bool MqttPublisher::Connect() {
  std::unique_lock lock(mutex_);
  auto delay = std::chrono::seconds(kReconnectFirstS);
  for (;;) {
    if (stop_) return false;
    lock.unlock();
    const int rc =
        mosquitto_connect_async(mosq_, settings_.host.c_str(), settings_.port, kKeepaliveS);
    lock.lock();
    if (rc == MOSQ_ERR_SUCCESS) break;
    wake_.wait_for(lock, delay, [&] { return stop_; });
    delay = std::min(delay * 2, std::chrono::seconds(kReconnectMostS));
  }
  lock.unlock();
  const int rc = mosquitto_loop_start(mosq_);
  lock.lock();
  loopStarted_ = rc == MOSQ_ERR_SUCCESS;
  return loopStarted_;
}

void MqttPublisher::Run() {
  if (!Connect()) return;
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] {
      return stop_ ||
             (connected_ &&
              (announce_ || (!queue_.empty() && unacknowledged_.size() < kMaxUnacknowledged)));
    });
    if (stop_) return;
    if (announce_) {
      announce_ = false;
      lock.unlock();
      Announce();
      lock.lock();
      continue;
    }
    const QueuedRow row = std::move(queue_.front());
    queue_.pop_front();
    sending_ = true;
    lock.unlock();
    Send(row);
    lock.lock();
    sending_ = false;
    ++rowsPublished_;
    wake_.notify_all();  // a stop may wait for the queue to empty
  }
}

}  // namespace wexread
