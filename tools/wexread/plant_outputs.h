// The plant protocols of a run (--mqtt, --modbus) behind one call per row,
// so that the reader loop needs one line for them. Either is left out of a
// build without its library; asking for it then is an error at the start.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "options.h"
#include "plant_units.h"
#include "readings.h"

namespace wexread {

class MqttPublisher;
class ModbusServer;

class PlantError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class PlantOutputs {
 public:
  // Starts what the options ask for; nullptr when they ask for neither.
  // Throws PlantError (a bad --mqtt URL, a port that cannot be listened
  // at, a library missing from this build).
  static std::unique_ptr<PlantOutputs> Start(const Options& o, const RunLayout& layout,
                                             TemperatureUnit unit,
                                             const std::vector<std::string>& channelNames);
  ~PlantOutputs();

  // One stored row; returns at once whatever the broker or the clients do.
  void Row(std::int64_t utcMs, const std::uint16_t* values, std::uint64_t rowsStored);

  // The counters into the exposition.
  void AddTo(MetricsSnapshot& m) const;

 private:
  PlantOutputs() = default;
  std::unique_ptr<MqttPublisher> mqtt_;
  std::unique_ptr<ModbusServer> modbus_;
};

}  // namespace wexread
