// A read-only Modbus TCP server of the newest row, for SCADA masters, PLCs
// and HMIs. Input registers (function 4), 0-based, for module m (in poll
// order) and channel c:
//   8m + c          the raw reading as the module sent it
//   256 + 8m + c    the temperature in tenths of the run's unit, signed;
//                   -32768 without a reading
//   512, 513        rows stored, 32 bits, high word first
//   514             seconds since the newest row (65535: none yet, or more)
// Discrete inputs (function 2) m: module m answering. Any unit id.
// Other functions: illegal function; other addresses: illegal data address.
//
// One thread of its own serves every connection with poll(): at most
// kMaxConnections at once (more are closed on accept), a connection without
// a request for the idle time is closed, and so is one that takes more than
// kFrameTime to send a frame it has begun or sends a frame that is not
// Modbus TCP. libmodbus builds each reply (or exception) from the request
// and sends it in one write. Update() copies the row under a lock that the
// server holds only to copy it back.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "options.h"
#include "plant_units.h"
#include "readings.h"

typedef struct _modbus modbus_t;
typedef struct _modbus_mapping_t modbus_mapping_t;

namespace wexread {

class ModbusServer {
 public:
  static constexpr unsigned kMaxConnections = 8;
  static constexpr std::chrono::seconds kIdleTime{60};
  static constexpr std::chrono::seconds kFrameTime{5};
  static constexpr unsigned kRawBase = 0;
  static constexpr unsigned kTenthsBase = 256;
  static constexpr unsigned kCountersBase = 512;

  // Listens at once (port 0: any free port); throws std::runtime_error.
  ModbusServer(const ListenAddress& where, unsigned modules, TemperatureUnit unit);
  ~ModbusServer();
  ModbusServer(const ModbusServer&) = delete;
  ModbusServer& operator=(const ModbusServer&) = delete;

  int port() const { return port_; }

  // The tenths from the channels' values as every output shows them: in the
  // run's unit and calibrated (the config file's). Without it, plain degrees
  // of the unit given at the start. The layout outlives the server.
  void UseLayout(const RunLayout* layout) { layout_ = layout; }

  // The newest row (8 values per module) and the rows stored so far.
  void Update(const std::uint16_t* values, std::uint64_t rows);

  struct Counters {
    std::uint64_t requests = 0;
    std::uint64_t exceptions = 0;
    std::uint64_t refused = 0;  // connections over the limit
    unsigned connections = 0;
  };
  Counters counters() const;

 private:
  struct Connection;
  void Run();
  bool Serve(Connection& c);  // false: close it
  bool Answer(Connection& c);
  void Refresh();

  const unsigned modules_;
  const TemperatureUnit unit_;
  const RunLayout* layout_ = nullptr;
  modbus_t* ctx_ = nullptr;
  modbus_mapping_t* map_ = nullptr;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  int port_ = 0;

  mutable std::mutex mutex_;
  std::vector<std::uint16_t> raw_;  // as Update left them
  std::vector<std::uint16_t> tenths_;
  std::vector<std::uint8_t> up_;
  std::uint64_t rows_ = 0;
  bool haveRow_ = false;
  std::chrono::steady_clock::time_point rowAt_;
  Counters counters_;
  std::thread thread_;
};

}  // namespace wexread
