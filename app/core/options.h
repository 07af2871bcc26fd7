// Command-line options of Wexmon.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace wexmon {

inline constexpr std::string_view kVersionText = "Wexmon 1.00";

struct Options {
  bool version = false;
  bool help = false;
  bool autostart = false;              // press the start button once the main window is up
  bool dumpLabels = false;             // print the value captions on standard output at exit
  std::optional<double> afterSeconds;  // end the program (after a screenshot) then
  std::string screenshotPath;          // save the whole screen as PNG before ending
  std::int16_t port = 1;               // the COM port the modules are on
};

// COM port numbers --port accepts.
inline constexpr int kFirstPort = 1;
inline constexpr int kLastPort = 256;

struct ParsedOptions {
  Options options;
  std::string error;  // empty when the arguments were understood
};

// Parses the arguments after the program name.
ParsedOptions ParseOptions(std::span<const std::string_view> arguments);

// The options, one a line; each host adds how it finds the library.
std::string UsageText();

}  // namespace wexmon
