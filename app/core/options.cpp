#include "options.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <vector>

namespace wexmon {

ParsedOptions ParseOptions(std::span<const std::string_view> arguments) {
  ParsedOptions result;
  Options& o = result.options;
  CLI::App app{"Wexmon", "Wexmon"};
  // --help and --version are answered by each host before the parse.
  app.set_help_flag();
  app.allow_extras();  // reported below in the program's own words
  app.add_flag("--version", o.version);
  app.add_flag("-h,--help", o.help);
  app.add_flag("--autostart", o.autostart);
  app.add_flag("--dump-labels", o.dumpLabels);
  double seconds = 0.0;
  CLI::Option* after = app.add_option("--after", seconds)->check([](const std::string& text) {
    // Decimal digits and a point only: no sign, exponent, "inf" or "nan".
    const bool plain = !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos;
    double value = 0.0;
    if (plain && CLI::detail::lexical_cast(text, value) && std::isfinite(value) &&
        value <= 86400.0) {
      return std::string();
    }
    return std::string("--after needs a number of seconds from 0 to 86400");
  });
  app.add_option("--screenshot", o.screenshotPath)->check([](const std::string& text) {
    return text.empty() ? std::string("--screenshot needs a file name") : std::string();
  });
  int port = kFirstPort;
  app.add_option("--port", port)->check(CLI::Range(kFirstPort, kLastPort));

  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    result.error = error.what();
    return result;
  }
  if (const std::vector<std::string> extra = app.remaining(); !extra.empty()) {
    result.error = "unknown option " + extra.front();
    return result;
  }
  if (after->count() != 0) o.afterSeconds = seconds;
  o.port = static_cast<std::int16_t>(port);
  if (!o.screenshotPath.empty() && !o.afterSeconds) {
    result.error = "--screenshot needs --after SECONDS";
  }
  return result;
}

std::string UsageText() {
  return "Usage: Wexmon [options]\n"
         "  --version          print the version and exit\n"
         "  --port N           the COM port the modules are on (default 1)\n"
         "  --autostart        press the start button once the main window is up\n"
         "  --after SECONDS    end the program after that time\n"
         "  --screenshot PATH  with --after: save the whole screen as PNG before ending\n"
         "  --dump-labels      print the value captions on standard output at exit\n";
}

}  // namespace wexmon
