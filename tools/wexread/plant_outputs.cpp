#include "plant_outputs.h"

#include <cstdio>

#ifdef WEXREAD_WITH_MQTT
#include "mqtt_publisher.h"
#endif
#ifdef WEXREAD_WITH_MODBUS
#include "modbus_server.h"
#endif

namespace wexread {

#ifndef WEXREAD_WITH_MQTT
class MqttPublisher {};
#endif
#ifndef WEXREAD_WITH_MODBUS
class ModbusServer {};
#endif

PlantOutputs::~PlantOutputs() = default;

std::unique_ptr<PlantOutputs> PlantOutputs::Start(const Options& o, const RunLayout& layout,
                                                  TemperatureUnit unit,
                                                  const std::vector<std::string>& channelNames) {
  if (o.mqttUrl.empty() && !o.modbus) return nullptr;
  std::unique_ptr<PlantOutputs> p(new PlantOutputs);
  if (!o.mqttUrl.empty()) {
#ifdef WEXREAD_WITH_MQTT
    MqttSettings s;
    if (const auto error = ParseMqttUrl(o.mqttUrl, s)) throw PlantError("--mqtt: " + *error);
    if (!o.mqttPasswordFile.empty()) {
      try {
        s.password = ReadPasswordFile(o.mqttPasswordFile);
      } catch (const std::exception& e) {
        throw PlantError("--mqtt-password-file: " + std::string(e.what()));
      }
      if (s.user.empty()) throw PlantError("--mqtt-password-file: the URL names no user");
    } else if (!s.password.empty()) {
      std::fprintf(stderr,
                   "wexread: the MQTT password is on the command line, where other users can "
                   "see it; --mqtt-password-file keeps it in a file\n");
    }
    if (!o.mqttCa.empty() && !s.tls) throw PlantError("--mqtt-ca: only for an mqtts:// URL");
    s.caFile = o.mqttCa;
    s.prefix = o.mqttPrefix;
    try {
      p->mqtt_ = std::make_unique<MqttPublisher>(s, layout, unit, channelNames);
    } catch (const std::runtime_error& e) {
      throw PlantError(e.what());
    }
    std::fprintf(stderr, "wexread: MQTT to %s:%d, topics under %s/\n", s.host.c_str(), s.port,
                 s.prefix.c_str());
#elif defined(_WIN32)
    throw PlantError("--mqtt is not available on Windows (no libmosquitto for Windows builds)");
#else
    throw PlantError("--mqtt: this wexread was built without libmosquitto (libmosquitto-dev)");
#endif
  }
  if (o.modbus) {
#ifdef WEXREAD_WITH_MODBUS
    try {
      p->modbus_ = std::make_unique<ModbusServer>(
          *o.modbus, static_cast<unsigned>(layout.modules.size()), unit);
      p->modbus_->UseLayout(&layout);
    } catch (const std::runtime_error& e) {
      throw PlantError(e.what());
    }
    const bool v6 = o.modbus->host.find(':') != std::string::npos;
    std::fprintf(stderr, "wexread: Modbus TCP at %s%s%s:%d\n", v6 ? "[" : "",
                 o.modbus->host.c_str(), v6 ? "]" : "", p->modbus_->port());
#elif defined(_WIN32)
    throw PlantError("--modbus is not available on Windows (no libmodbus for Windows builds)");
#else
    throw PlantError("--modbus: this wexread was built without libmodbus (libmodbus-dev)");
#endif
  }
  (void)layout;
  (void)unit;
  (void)channelNames;
  return p;
}

void PlantOutputs::Row(std::int64_t utcMs, const std::uint16_t* values, std::uint64_t rowsStored) {
#ifdef WEXREAD_WITH_MQTT
  if (mqtt_) mqtt_->Publish(utcMs, values);
#endif
#ifdef WEXREAD_WITH_MODBUS
  if (modbus_) modbus_->Update(values, rowsStored);
#endif
  (void)utcMs;
  (void)values;
  (void)rowsStored;
}

void PlantOutputs::AddTo(MetricsSnapshot& m) const {
#ifdef WEXREAD_WITH_MQTT
  if (mqtt_) {
    const auto c = mqtt_->counters();
    m.mqtt = true;
    m.mqttConnected = c.connected;
    m.mqttRowsPublished = c.rowsPublished;
    m.mqttRowsDropped = c.rowsDropped;
  }
#endif
#ifdef WEXREAD_WITH_MODBUS
  if (modbus_) {
    const auto c = modbus_->counters();
    m.modbus = true;
    m.modbusRequests = c.requests;
    m.modbusExceptions = c.exceptions;
    m.modbusRefused = c.refused;
    m.modbusConnections = c.connections;
  }
#endif
  (void)m;
}

}  // namespace wexread
