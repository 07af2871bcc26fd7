// wexread's config file (--config FILE), in TOML: the top-level keys are the
// long option names, and [[channel]] tables name and calibrate channels:
//
//   device = "/dev/ttyUSB0"
//   address = ["01:00", "01:05"]
//   output = "/var/log/wexread/lab.csv"
//   unit = "F"
//   [[channel]]
//   module = "01:00"
//   channel = 0
//   name = "oven_top"
//   gain = 1.0
//   offset = 1.5
//
// Options on the command line override the file's.
#pragma once

#include "options.h"

namespace wexread {

// Reads commandLine.options->configPath and merges it under the command line
// it came from. An unreadable file, a syntax error, an unknown key or a bad
// value: exit status 2 and a message naming the file and the line.
ParseResult ApplyConfigFile(const ParseResult& commandLine, int argc, char** argv,
                            bool stdoutIsTerminal);

}  // namespace wexread
