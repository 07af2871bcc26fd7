// The simulated modules on one line: their addresses, channel models and
// faults, the answers they give to requests, and the control commands.
//
// No I/O and no clock of its own: the caller passes the current time and gets
// back the bytes to put on the line with the time each piece is due.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"
#include "temperature.h"

namespace w316sim {

// Bytes to write to the line at time `at` (microseconds, the caller's clock).
struct Emission {
  int64_t at = 0;
  std::vector<uint8_t> bytes;
};

enum class Corruption { None, First, Last };

struct ModuleFaults {
  bool silent = false;  // no answer at all
  int lateMs = 0;       // extra delay before the answer
  int splitMs = 0;      // answer in two pieces this far apart (0: one piece)
  int splitAt = 11;     // bytes in the first piece
  int length = static_cast<int>(kReplyLength);  // 22, or a wrong length 1..64
  Corruption corruption = Corruption::None;     // wrong first or last byte

  bool Any() const;
  std::string Describe() const;  // "none" or "silent,late=600,..."
};

struct Module {
  Address address;
  std::array<ChannelModel, kChannels> channels;
  ModuleFaults faults;
  uint64_t requests = 0;
  uint64_t replies = 0;
};

struct Stats {
  uint64_t requests = 0;  // well-formed requests, to any address
  uint64_t replies = 0;   // answers sent (well-formed or faulty)
  uint64_t unknown = 0;   // requests to addresses no module has
  uint64_t garbage = 0;   // bytes from the host that were not part of a request
};

enum class Action { None, Quit, Hangup };

struct CommandResult {
  bool ok = false;
  std::string line;  // the one answer line: "ok ..." or "error: ..."; empty for a blank line
  Action action = Action::None;
};

// Byte values written instead of 0xAA / 0x55 by the corrupt-framing fault.
inline constexpr uint8_t kCorruptStart = 0xA5;
inline constexpr uint8_t kCorruptEnd = 0x5A;

class Simulator {
 public:
  // One module per address, in order (module index i has addresses[i]); the
  // channels start at DefaultCelsius. baud sets the transmission time of replies.
  Simulator(std::vector<Address> addresses, int baud, uint64_t seed);

  // Bytes from the host, received at `now`. Appends what the line sends back.
  void Receive(const uint8_t* data, std::size_t count, int64_t now, std::vector<Emission>& out);

  // One control command line (see CommandHelp()). Appends bytes that the
  // command puts on the line at once (stray).
  CommandResult Execute(std::string_view line, int64_t now, std::vector<Emission>& out);

  const std::vector<Module>& modules() const { return modules_; }
  Stats stats() const;
  bool echo() const { return echo_; }
  int strayPerReply() const { return strayPerReply_; }
  int baud() const { return baud_; }

  // Receives one line per request handled, for the --log option.
  std::function<void(const std::string&)> log;

 private:
  void Answer(Module& module, Address address, int64_t now, std::vector<Emission>& out);
  std::vector<uint8_t> RandomBytes(std::size_t count);

  std::vector<Module> modules_;
  int baud_;
  std::mt19937_64 rng_;
  RequestParser parser_;
  bool echo_ = false;
  int strayPerReply_ = 0;
  uint64_t requests_ = 0;
  uint64_t replies_ = 0;
  uint64_t unknown_ = 0;
};

// One line listing the commands, for "help".
std::string CommandHelp();

}  // namespace w316sim
