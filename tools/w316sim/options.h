// Command-line options of w316sim.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model.h"
#include "protocol.h"

namespace w316sim {

struct Options {
  std::vector<Address> addresses;  // one module per entry
  int baud = 9600;
  std::string link;     // symlink to the pty's slave side
  std::string device;   // serve this serial device instead of a pty
  std::string iospace;  // file whose byte 256 is the relay port
  std::string control;  // FIFO for commands
  bool log = false;
  bool readStdin = true;
  bool help = false;
  uint64_t seed = 1;
  // Channel and fault settings, as control commands, applied in order at start.
  // `setupOrigins` names the option each came from, for error messages.
  std::vector<std::string> setup;
  std::vector<std::string> setupOrigins;
};

struct ParsedOptions {
  bool ok = false;
  std::string error;  // when !ok
  Options options;
};

// Parses argv[1..] with CLI11. Accepts "--name value" and "--name=value";
// the error names the first problem in command-line order.
ParsedOptions ParseOptions(const std::vector<std::string>& args);

// Applies the start-up settings to a fresh simulator; returns an error text
// naming the option, or "" when all were accepted.
std::string ApplySetup(const Options& options, Simulator& simulator, int64_t now);

// The --help text.
std::string Usage();

}  // namespace w316sim
