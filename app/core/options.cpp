#include "options.h"

#include <charconv>
#include <cmath>

namespace wexmon {

ParsedOptions ParseOptions(std::span<const std::string_view> arguments) {
  ParsedOptions result;
  Options& o = result.options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string_view arg = arguments[i];
    auto value = [&](std::string_view& out) {
      if (i + 1 >= arguments.size()) {
        result.error = std::string(arg) + " needs a value";
        return false;
      }
      out = arguments[++i];
      return true;
    };
    std::string_view text;
    if (arg == "--version") {
      o.version = true;
    } else if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg == "--autostart") {
      o.autostart = true;
    } else if (arg == "--dump-labels") {
      o.dumpLabels = true;
    } else if (arg == "--after") {
      if (!value(text)) return result;
      double seconds = 0.0;
      const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
      if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(seconds) ||
          seconds < 0.0 || seconds > 86400.0) {
        result.error = "--after needs a number of seconds from 0 to 86400";
        return result;
      }
      o.afterSeconds = seconds;
    } else if (arg == "--screenshot") {
      if (!value(text)) return result;
      if (text.empty()) {
        result.error = "--screenshot needs a file name";
        return result;
      }
      o.screenshotPath = std::string(text);
    } else {
      result.error = "unknown option " + std::string(arg);
      return result;
    }
  }
  if (!o.screenshotPath.empty() && !o.afterSeconds) {
    result.error = "--screenshot needs --after SECONDS";
  }
  return result;
}

std::string UsageText() {
  return "Usage: Wexmon [options]\n"
         "  --version          print the version and exit\n"
         "  --autostart        press the start button once the main window is up\n"
         "  --after SECONDS    end the program after that time\n"
         "  --screenshot PATH  with --after: save the whole screen as PNG before ending\n"
         "  --dump-labels      print the value captions on standard output at exit\n";
}

}  // namespace wexmon
